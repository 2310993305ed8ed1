// Writing to the COM port: what the application writes reaches the printer
// byte for byte, as one request of the same length, on synchronous and
// overlapped handles; writes in flight together arrive in order; write
// time-outs do not end a write the printer holds up; a failing transfer
// fails the write.
#include "port_fixture.h"

namespace winsim::test {
namespace {

using testing::ElementsAre;

std::vector<UCHAR> Bytes(const std::string &text) { return {text.begin(), text.end()}; }

// Writes `data` and waits for it; returns the bytes written, or -1 on failure.
long long WriteAll(HANDLE port, bool overlapped, const std::string &data)
{
    DWORD n = 0;
    Overlapped request;
    BOOL ok = WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &n, overlapped ? &request.o : nullptr);
    if (!ok && overlapped && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(port, &request.o, &n, TRUE);
    return ok ? static_cast<long long>(n) : -1;
}

class PortWrite : public PortTest, public testing::WithParamInterface<std::tuple<bool, size_t>> {
protected:
    PortOptions Options() override { return {std::get<0>(GetParam())}; }
};

// Each size on a synchronous and then on an overlapped handle: one
// IRP_MJ_WRITE of that length goes to the USB driver, and the printer
// receives exactly the bytes written.
TEST_P(PortWrite, ArrivesByteExactAsOneRequest)
{
    size_t size = std::get<1>(GetParam());
    for (bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped ? "overlapped handle" : "synchronous handle");
        // The previous handle's close may still be on its way: in winsim the
        // write's final completion can drop the file object's last reference
        // after WriteFile has returned, and the close then runs on a worker.
        HANDLE port = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(WaitUntil([&] {
            port = Open("COM1", overlapped ? FILE_FLAG_OVERLAPPED : 0);
            return port != INVALID_HANDLE_VALUE;
        }));
        std::string data = PatternText(size);
        RequestLog usb("tarvik_usb");
        EXPECT_EQ(WriteAll(port, overlapped, data), static_cast<long long>(size));
        EXPECT_THAT(usb.Matching("IRP_MJ_WRITE"), ElementsAre("IRP_MJ_WRITE " + std::to_string(size) + " bytes"));
        EXPECT_EQ(printer_->TakeReceived(), Bytes(data));
        EXPECT_EQ(printer_->Printer()->Spool().size(), overlapped ? 2 * size : size);
        Close(port);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PortWrite,
                         testing::Combine(testing::Bool(), testing::Values(0, 1, 64, 4096, 64 * 1024)),
                         [](const auto &info) {
                             return std::to_string(std::get<1>(info.param)) + "Bytes" +
                                    (std::get<0>(info.param) ? "_ForcedPending" : "_Inline");
                         });

class PortWriteFlow : public PortTest, public testing::WithParamInterface<bool> {
protected:
    PortOptions Options() override { return {GetParam()}; }
};

TEST_P(PortWriteFlow, WritesInFlightTogetherArriveInOrder)
{
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    std::string all = PatternText(4 * 4096 + 3);
    Overlapped requests[5];
    size_t offsets[] = {0, 4096, 8192, 12288, 16384, all.size()};
    for (int i = 0; i < 5; i++) {
        DWORD n = 0;
        if (!WriteFile(port, all.data() + offsets[i], static_cast<DWORD>(offsets[i + 1] - offsets[i]), &n,
                       &requests[i].o)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
    }
    for (int i = 0; i < 5; i++) {
        DWORD n = 0;
        ASSERT_TRUE(GetOverlappedResult(port, &requests[i].o, &n, TRUE)) << i;
        EXPECT_EQ(n, offsets[i + 1] - offsets[i]);
    }
    EXPECT_EQ(printer_->Received(), Bytes(all));
}

// The write time-outs are kept and reported, nothing more: a write the
// printer holds up (offline, its bulk-out endpoint NAKs) stays pending far
// beyond them and completes in full once the printer is back. Meanwhile the
// handle answers status queries: the modem status is read from the printer.
TEST_P(PortWriteFlow, AHeldWriteOutlastsItsTimeoutsAndStatusQueries)
{
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    COMMTIMEOUTS timeouts{0, 0, 0, 1, 1};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(port, &back));
    EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 1u);

    printer_->Printer()->SetOnline(false);
    std::string job = PatternText(300);
    Overlapped write;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port, job.data(), static_cast<DWORD>(job.size()), &n, &write.o));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(write.Wait(100ms)) << "ended by a write time-out";
    // Status queries on the handle are answered while the write is held.
    COMSTAT stat{};
    DWORD errors = 0, modem = 0;
    EXPECT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem & MS_DSR_ON, 0u) << "the printer is offline";
    EXPECT_FALSE(write.Wait(0ms));
    printer_->Printer()->SetOnline(true);
    ASSERT_TRUE(write.Wait());
    ASSERT_TRUE(GetOverlappedResult(port, &write.o, &n, FALSE));
    EXPECT_EQ(n, job.size());
    EXPECT_EQ(printer_->Received(), Bytes(job));
}

// A stalled bulk-out endpoint fails the transfer, and the write with it;
// nothing counts as written.
TEST_P(PortWriteFlow, FailedTransferFailsTheWrite)
{
    HANDLE port = OpenPort();
    printer_->Stall(0x01);
    DWORD n = 77;
    EXPECT_FALSE(WriteFile(port, "lost", 4, &n, nullptr));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(printer_->ReceivedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Delivery, PortWriteFlow, testing::Bool(),
                         [](const auto &info) { return info.param ? "ForcedPending" : "Inline"; });

// On the full-speed wire 64 KiB take at least 1024 packets, 54 frames.
class PortWriteFullSpeed : public PortTest {
protected:
    PortOptions Options() override { return {false, usb::WireModel::FullSpeed}; }
};

TEST_F(PortWriteFullSpeed, LargeWriteTakesTheWireTime)
{
    HANDLE port = OpenPort();
    std::string job = PatternText(64 * 1024);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WriteAll(port, false, job), static_cast<long long>(job.size()));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 53ms);
    EXPECT_EQ(printer_->Received(), Bytes(job));
}

}  // namespace
}  // namespace winsim::test
