// The full-speed wire model: 1 ms frames, at most 19 bulk packets of 64
// bytes a frame shared by every device on the bus; a request submitted
// during a frame starts in the next one and completes at the end of the
// frame that carried its last packet. Timing is checked in frames against
// bounds: never earlier than the rule allows, and not much later.
#include "usb_test_support.h"

namespace winsim::usb::test {
namespace {

// How many frames late a completion may be reported on a busy machine.
constexpr ULONG kSlackFrames = 25;

class FullSpeed : public UsbTest {
protected:
    HostOptions Options() override
    {
        HostOptions options;
        options.wire = WireModel::FullSpeed;
        return options;
    }
    void SetUp() override
    {
        UsbTest::SetUp();
        config_ = Configure(pdo_);
        ASSERT_EQ(config_.status, STATUS_SUCCESS);
    }
    Configuration config_;
};

struct FrameCase {
    const char *name;
    std::vector<ULONG> writes;   // bulk OUT transfers submitted together, in order
    std::vector<ULONG> frames;   // frames each needs after the one it was submitted in
};

class FrameRule : public FullSpeed, public testing::WithParamInterface<FrameCase> {};

TEST_P(FrameRule, CompletionFollowsTheLastPacketsFrame)
{
    const FrameCase &c = GetParam();
    std::vector<std::vector<UCHAR>> data;
    std::vector<std::unique_ptr<URB>> urbs;
    std::vector<std::unique_ptr<PendingRequest>> requests;
    for (ULONG length : c.writes) {
        data.emplace_back(length, 0xA5);
        urbs.push_back(NewUrb());
        BuildBulk(*urbs.back(), config_.Out(), data.back().data(), length, 0);
        requests.push_back(std::make_unique<PendingRequest>(pdo_, urbs.back().get()));
    }
    ULONG before = host_->CurrentFrame();
    for (auto &r : requests)
        EXPECT_EQ(r->Send(), STATUS_PENDING);
    ULONG after = host_->CurrentFrame();
    for (size_t i = 0; i < requests.size(); i++) {
        ASSERT_TRUE(requests[i]->Wait());
        ULONG done = host_->CurrentFrame();
        EXPECT_EQ(requests[i]->Status(), STATUS_SUCCESS);
        // Reported at the end of frame (submitted + n): frame submitted + n + 1 has begun.
        EXPECT_GE(done, before + c.frames[i] + 1) << "transfer " << i << " completed too early";
        EXPECT_LE(done, after + c.frames[i] + 1 + kSlackFrames) << "transfer " << i << " completed too late";
    }
    size_t total = 0;
    for (ULONG length : c.writes)
        total += length;
    EXPECT_EQ(printer_->ReceivedCount(), total);
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, FrameRule,
    testing::Values(FrameCase{"OnePacket", {64}, {1}},
                    FrameCase{"ExactlyOneFrameOfPackets", {19 * 64}, {1}},
                    FrameCase{"OnePacketMoreThanAFrame", {19 * 64 + 1}, {2}},
                    FrameCase{"FourKilobytes", {4096}, {4}},
                    // The second starts where the first ends, in the same frame.
                    FrameCase{"TwoInFlightShareTheFrames", {4096, 4096}, {4, 7}}),
    [](const testing::TestParamInfo<FrameCase> &info) { return info.param.name; });

// A control transfer takes one frame of the control bandwidth.
TEST_F(FullSpeed, ControlTransferTakesAFrame)
{
    USB_DEVICE_DESCRIPTOR d;
    auto urb = NewUrb();
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &d, nullptr, sizeof d, nullptr);
    PendingRequest request(pdo_, urb.get());
    ULONG before = host_->CurrentFrame();
    EXPECT_EQ(request.Send(), STATUS_PENDING);
    ASSERT_TRUE(request.Wait());
    EXPECT_GE(host_->CurrentFrame(), before + 2);
    EXPECT_EQ(request.Status(), STATUS_SUCCESS);
}

// The 19 packets of a frame are the bus's, not each device's.
TEST_F(FullSpeed, DevicesShareTheBandwidth)
{
    auto second = host_->Plug(PrinterConfig(BuildIdentity()), 2);
    Configuration other = Configure(second->Pdo());
    ASSERT_EQ(other.status, STATUS_SUCCESS);
    std::vector<UCHAR> a(4096, 1), b(4096, 2);
    auto ua = NewUrb(), ub = NewUrb();
    BuildBulk(*ua, config_.Out(), a.data(), 4096, 0);
    BuildBulk(*ub, other.Out(), b.data(), 4096, 0);
    PendingRequest ra(pdo_, ua.get()), rb(second->Pdo(), ub.get());
    ULONG before = host_->CurrentFrame();
    ra.Send();
    rb.Send();
    ASSERT_TRUE(ra.Wait());
    ASSERT_TRUE(rb.Wait());
    // 128 packets need at least 7 frames between them.
    EXPECT_GE(host_->CurrentFrame(), before + 7 + 1);
    EXPECT_EQ(printer_->ReceivedCount(), 4096u);
    EXPECT_EQ(second->ReceivedCount(), 4096u);
}

// A device that NAKs takes no bandwidth: another device's transfer moves at
// the full rate meanwhile.
TEST_F(FullSpeed, NakingEndpointUsesNoBandwidth)
{
    printer_->SetNak(0x01, true);
    std::vector<UCHAR> held(64);
    auto uh = NewUrb();
    BuildBulk(*uh, config_.Out(), held.data(), 64, 0);
    PendingRequest stuck(pdo_, uh.get());
    stuck.Send();

    auto second = host_->Plug(PrinterConfig(BuildIdentity()), 2);
    Configuration other = Configure(second->Pdo());
    std::vector<UCHAR> data(4096);
    auto urb = NewUrb();
    BuildBulk(*urb, other.Out(), data.data(), 4096, 0);
    PendingRequest moving(second->Pdo(), urb.get());
    ULONG after = host_->CurrentFrame();
    moving.Send();
    ASSERT_TRUE(moving.Wait());
    EXPECT_LE(host_->CurrentFrame(), after + 4 + 1 + kSlackFrames);
    EXPECT_FALSE(stuck.Completed());
    stuck.Cancel();
}

// Unplugged mid-transfer: what the wire carried before is at the device
// and reported in TransferBufferLength; the rest is not.
TEST_F(FullSpeed, UnplugMidTransferReportsThePartMoved)
{
    std::vector<UCHAR> data(64 * 1024, 0x11);
    auto urb = NewUrb();
    BuildBulk(*urb, config_.Out(), data.data(), static_cast<ULONG>(data.size()), 0);
    PendingRequest write(pdo_, urb.get());
    write.Send();
    ASSERT_TRUE(printer_->WaitReceived(19 * 64, 5s));
    host_->Unplug(*printer_);
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    EXPECT_GT(moved, 0u);
    EXPECT_LT(moved, data.size());
    EXPECT_EQ(moved % 64, 0u);
    EXPECT_EQ(printer_->ReceivedCount(), moved);
}

}  // namespace
}  // namespace winsim::usb::test
