// The printer model behind the simulated device: it spools what the host
// prints, answers the status request ESC 's' '?' with four bytes on the bulk
// IN pipe, and holds the host off (NAK) while offline.
#include "usb_test_support.h"

namespace winsim::usb::test {
namespace {

constexpr ULONG kRead = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class Printer : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        model_ = &printer_->AttachPrinterModel();
        config_ = Configure(pdo_);
        ASSERT_EQ(config_.status, STATUS_SUCCESS);
    }

    void Print(std::vector<UCHAR> bytes)
    {
        auto urb = NewUrb();
        BuildBulk(*urb, config_.Out(), bytes.data(), static_cast<ULONG>(bytes.size()), 0);
        ASSERT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
    }

    std::vector<UCHAR> ReadReply()
    {
        std::vector<UCHAR> buffer(64);
        auto urb = NewUrb();
        BuildBulk(*urb, config_.In(), buffer.data(), 64, kRead);
        EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
        buffer.resize(urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
        return buffer;
    }

    PrinterModel *model_ = nullptr;
    Configuration config_;
};

// The status request can arrive in any pieces; a near-miss is print data.
struct StreamCase {
    const char *name;
    std::vector<std::vector<UCHAR>> transfers;
    std::vector<UCHAR> spooled;
    size_t replies;
};

class StatusRequestStream : public Printer, public testing::WithParamInterface<StreamCase> {};

TEST_P(StatusRequestStream, SpoolsDataAndAnswersEachRequest)
{
    const StreamCase &c = GetParam();
    for (auto &t : c.transfers)
        Print(t);
    EXPECT_EQ(model_->Spool(), c.spooled);
    EXPECT_EQ(model_->StatusRequestsAnswered(), c.replies);
    EXPECT_EQ(printer_->QueuedBulkIn(), 4 * c.replies);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StatusRequestStream,
    testing::Values(StreamCase{"PlainData", {{'a', 'b', 'c'}}, {'a', 'b', 'c'}, 0},
                    StreamCase{"RequestInsideData", {{'a', 0x1B, 's', '?', 'b'}}, {'a', 'b'}, 1},
                    StreamCase{"RequestSplitAcrossTransfers", {{'x', 0x1B}, {'s'}, {'?', 'y'}}, {'x', 'y'}, 1},
                    StreamCase{"NearMissIsPrinted", {{0x1B, 's', 'X'}}, {0x1B, 's', 'X'}, 0},
                    StreamCase{"EscapeBeforeRequest", {{0x1B, 0x1B, 's', '?'}}, {0x1B}, 1},
                    StreamCase{"TwoRequests", {{0x1B, 's', '?', 0x1B, 's', '?'}}, {}, 2}),
    [](const testing::TestParamInfo<StreamCase> &info) { return info.param.name; });

// The reply: the status flags of vendor request 1, then the spooled byte
// count, little-endian.
TEST_F(Printer, StatusReplyCarriesFlagsAndSpoolCount)
{
    std::vector<UCHAR> data(300, 'p');
    Print(data);
    Print({0x1B, 's', '?'});
    EXPECT_EQ(ReadReply(), (std::vector<UCHAR>{0x00, 300 & 0xFF, 300 >> 8, 0}));
}

// Offline, the printer is not ready and takes no data: a write waits until
// it is back online.
TEST_F(Printer, OfflinePrinterHoldsWritesAndReportsNotReady)
{
    model_->SetOnline(false);
    UCHAR status[4];
    auto vendor = NewUrb();
    BuildVendor(*vendor, URB_FUNCTION_VENDOR_INTERFACE, kRead, kVendorStatusRequest, 0, 0, status, sizeof status);
    ASSERT_EQ(SubmitUrb(pdo_, vendor.get()), STATUS_SUCCESS);
    EXPECT_EQ(status[0] & kStatusNotReady, kStatusNotReady);

    std::vector<UCHAR> data(10, 'q');
    auto urb = NewUrb();
    BuildBulk(*urb, config_.Out(), data.data(), 10, 0);
    PendingRequest write(pdo_, urb.get());
    EXPECT_EQ(write.Send(), STATUS_PENDING);
    EXPECT_FALSE(write.Wait(20ms));
    model_->SetOnline(true);
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(model_->Spool().size(), 10u);
}

TEST_F(Printer, SpoolFileReceivesWhatIsPrinted)
{
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("winsim_spool_" + std::to_string(getpid()) + ".bin");
    std::filesystem::remove(path);
    model_->SetSpoolFile(path);
    Print({'h', 'i', 0x1B, 's', '?', '!'});
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "hi!");
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace winsim::usb::test
