// Reading from the COM port as an application does: ReadFile under each read
// time-out mode with the printer's bytes arriving before or during the read,
// the order in which buffered bytes are handed out, purging the receive
// side, and what happens when more arrives than the receive queue holds.
#include "port_fixture.h"

namespace winsim::test {
namespace {

// One read: what is buffered before it starts, what the printer sends once
// it is inside the driver, and what the application gets back.
struct ReadCase {
    const char *name;
    COMMTIMEOUTS timeouts;
    DWORD length;
    const char *before;  // in the receive buffer when the read starts
    int quietMs;         // the read is still waiting this long after it started (0: not checked)
    const char *during;  // sent by the printer after that; nullptr: nothing
    NTSTATUS status;
    const char *returned;
    int minMs, maxMs;    // bounds of the read's duration, with slack for a busy machine
    DWORD left;          // bytes still buffered afterwards
};

constexpr DWORD kMax = MAXDWORD;

// Timed reads count at least 1 ms per 5 ms poll plus the ticks that passed,
// so a total of T ms ends between about T/1.2 and T after the start.
const ReadCase kReadCases[] = {
    // Return at once (MAXDWORD, 0, 0): after one poll, with whatever is there.
    {"ImmediateOnEmptyBufferReturnsNothing", {kMax, 0, 0, 0, 0}, 10, "", 0, nullptr, STATUS_SUCCESS, "", 0, 400, 0},
    {"ImmediateReturnsWhatIsBuffered", {kMax, 0, 0, 0, 0}, 10, "abc", 0, nullptr, STATUS_SUCCESS, "abc", 0, 400, 0},
    {"ImmediateTakesNoMoreThanAskedFor", {kMax, 0, 0, 0, 0}, 2, "abcd", 0, nullptr, STATUS_SUCCESS, "ab", 0, 400, 2},
    // Total time-outs: multiplier x length + constant.
    {"TotalConstantExpires", {0, 0, 120, 0, 0}, 10, "", 0, nullptr, STATUS_TIMEOUT, "", 60, 900, 0},
    {"TotalMultiplierExpires", {0, 12, 0, 0, 0}, 10, "", 0, nullptr, STATUS_TIMEOUT, "", 60, 900, 0},
    {"TotalMultiplierAndConstantExpire", {0, 5, 70, 0, 0}, 10, "", 0, nullptr, STATUS_TIMEOUT, "", 60, 900, 0},
    {"DefaultTimeoutsExpireAfterFiveMsAByteAndTen", {15, 5, 10, 20, 20}, 22, "", 0, nullptr, STATUS_TIMEOUT, "",
     60, 900, 0},
    {"TotalReturnsFirstArrivalWithoutWaitingToFill", {0, 0, 3000, 0, 0}, 10, "", 60, "ok", STATUS_SUCCESS, "ok", 60,
     2000, 0},
    {"TotalReturnsBufferedBytesAtOnce", {0, 0, 3000, 0, 0}, 100, "thirty bytes of the printer's.", 0, nullptr,
     STATUS_SUCCESS, "thirty bytes of the printer's.", 0, 400, 0},
    {"MaxMaxConstantIsJustATotal", {kMax, kMax, 100, 0, 0}, 10, "", 0, nullptr, STATUS_TIMEOUT, "", 45, 900, 0},
    {"MaxMaxConstantBelowLengthWaitsForData", {kMax, kMax, 5, 0, 0}, 10, "", 150, "z", STATUS_SUCCESS, "z", 150,
     2000, 0},
    // Interval time-outs: the interval is not timed, it only selects the timed mode.
    {"IntervalAloneExpiresAtTheFirstPoll", {50, 0, 0, 0, 0}, 10, "", 0, nullptr, STATUS_TIMEOUT, "", 0, 400, 0},
    {"IntervalAloneReturnsBufferedBytes", {50, 0, 0, 0, 0}, 10, "xy", 0, nullptr, STATUS_SUCCESS, "xy", 0, 400, 0},
    {"IntervalDoesNotShortenTheTotal", {5, 0, 120, 0, 0}, 10, "", 0, nullptr, STATUS_TIMEOUT, "", 60, 900, 0},
    // No time-outs: wait until something arrives.
    {"UnlimitedWaitsForData", {0, 0, 0, 0, 0}, 10, "", 200, "late", STATUS_SUCCESS, "late", 200, 3000, 0},
    {"UnlimitedReturnsBufferedBytesAtOnce", {0, 0, 0, 0, 0}, 10, "now", 0, nullptr, STATUS_SUCCESS, "now", 0, 400, 0},
    // A zero-length read neither waits nor takes anything.
    {"ZeroLengthReadLeavesTheBuffer", {0, 0, 0, 0, 0}, 0, "abc", 0, nullptr, STATUS_SUCCESS, "", 0, 400, 3},
};

class PortRead : public PortTest, public testing::WithParamInterface<std::tuple<bool, ReadCase>> {
protected:
    PortOptions Options() override { return {std::get<0>(GetParam())}; }
};

// On an overlapped handle, so that the status block shows STATUS_TIMEOUT
// apart from STATUS_SUCCESS; the read is never left pending.
TEST_P(PortRead, ReturnsPerTheReadTimeouts)
{
    ReadCase c = std::get<1>(GetParam());
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_TRUE(SetCommTimeouts(port, &c.timeouts));
    Receive(port, c.before);

    auto read = StartReadInDriver(port, c.length);
    if (c.quietMs != 0) {
        EXPECT_EQ(read.wait_for(std::chrono::milliseconds(c.quietMs)), std::future_status::timeout)
            << "the read did not wait";
    }
    if (c.during != nullptr)
        Feed(c.during);
    ReadResult r = Finish(read);

    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.pended) << "reads complete in the caller's thread";
    EXPECT_EQ(r.status, c.status) << harness::StatusName(r.status);
    EXPECT_EQ(r.data, c.returned);
    EXPECT_GE(r.took.count(), c.minMs);
    EXPECT_LE(r.took.count(), c.maxMs);
    EXPECT_EQ(InQueue(port), c.left);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortRead, testing::Combine(testing::Bool(), testing::ValuesIn(kReadCases)),
                         [](const auto &info) {
                             return std::string(std::get<1>(info.param).name) +
                                    (std::get<0>(info.param) ? "_ForcedPending" : "_Inline");
                         });

class PortReceive : public PortTest, public testing::WithParamInterface<bool> {
protected:
    PortOptions Options() override { return {GetParam()}; }
};

// Packets of 64 bytes go into the buffer in arrival order, and reads of odd
// sizes take them off the front, each byte once.
TEST_P(PortReceive, BytesAreHandedOutOnceInArrivalOrder)
{
    HANDLE port = OpenPort();
    ASSERT_TRUE(SetupComm(port, 4096, 4096));
    COMMTIMEOUTS immediate{kMax, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &immediate));
    std::string sent = PatternText(1000);
    Receive(port, sent);
    std::string got;
    char chunk[37];
    DWORD n = 0;
    while (ReadFile(port, chunk, sizeof chunk, &n, nullptr) && n != 0)
        got.append(chunk, n);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(InQueue(port), 0u);
}

// A synchronous handle waits the same way; a read on it is not queued
// behind anything the receive worker does.
TEST_P(PortReceive, SynchronousHandleWaitsForTheFirstBytes)
{
    HANDLE port = OpenPort();
    COMMTIMEOUTS unlimited{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &unlimited));
    auto read = StartReadInDriver(port, 64);
    Feed("first");
    ReadResult r = Finish(read);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, "first");
}

// The printer answers its status request on the bulk-in pipe: its flags and
// the number of bytes spooled so far.
TEST_P(PortReceive, PrinterStatusReplyIsRead)
{
    HANDLE port = OpenPort();
    COMMTIMEOUTS total{0, 0, 3000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &total));
    std::string job = "hello" + std::string(reinterpret_cast<const char *>(usb::kStatusRequest), 3);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, job.data(), static_cast<DWORD>(job.size()), &n, nullptr));
    UCHAR reply[8] = {};
    ASSERT_TRUE(ReadFile(port, reply, sizeof reply, &n, nullptr));
    ASSERT_EQ(n, 4u);
    EXPECT_THAT(std::vector<UCHAR>(reply, reply + 4), testing::ElementsAre(0x00, 5, 0, 0));
}

// A read with no time-outs runs in the caller's thread even on an
// overlapped handle; another thread ends it with PurgeComm(PURGE_RXABORT).
TEST_P(PortReceive, PurgeRxAbortEndsAnUnlimitedRead)
{
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    COMMTIMEOUTS unlimited{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &unlimited));
    auto read = StartReadInDriver(port, 16);
    EXPECT_EQ(read.wait_for(50ms), std::future_status::timeout);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    ReadResult r = Finish(read);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.pended);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_LT(r.took, 2s);

    // The port goes on receiving; the next read gets what arrives.
    Receive(port, "after");
    ReadResult next = Finish(StartRead(port, 16));
    EXPECT_TRUE(next.ok);
    EXPECT_EQ(next.data, "after");
}

// An abort with no read polling is forgotten by the next read.
TEST_P(PortReceive, PurgeRxAbortWithoutAReadAffectsNoLaterRead)
{
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    COMMTIMEOUTS total{0, 0, 30, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &total));
    ReadResult r = Finish(StartRead(port, 4));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.status, STATUS_TIMEOUT) << harness::StatusName(r.status);
}

TEST_P(PortReceive, PurgeClearsOnlyTheReceiveBuffer)
{
    HANDLE port = OpenPort();
    COMMTIMEOUTS immediate{kMax, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &immediate));
    Receive(port, "abc");
    EXPECT_TRUE(PurgeComm(port, 0));
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(InQueue(port), 3u) << "there is no transmit queue to purge";

    EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(port), 0u);
    char buffer[8];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);

    Receive(port, "d");
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "d") << "receiving goes on after the purge";
}

// With a receive queue of 512 bytes, 520 arriving leave the first 512 and
// one overrun, reported once.
TEST_P(PortReceive, OverrunKeepsTheFirstBytesAndIsReportedOnce)
{
    HANDLE port = OpenPort();
    ASSERT_TRUE(SetupComm(port, 512, 512));
    std::string sent = PatternText(520);
    Feed(sent);
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(WaitUntil([&] {
        return ClearCommError(port, &errors, &stat) && errors != 0;
    })) << "no overrun reported";
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER));
    EXPECT_EQ(stat.cbInQue, 512u);
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u) << "reported once";

    COMMTIMEOUTS immediate{kMax, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &immediate));
    std::string got(1024, '\0');
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port, got.data(), static_cast<DWORD>(got.size()), &n, nullptr));
    got.resize(n);
    EXPECT_EQ(got, sent.substr(0, 512));
}

// With a receive queue of 0 every byte is dropped, yet arrivals still raise
// EV_RXCHAR.
TEST_P(PortReceive, ZeroQueueDropsEverythingButStillSignalsArrival)
{
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_TRUE(SetupComm(port, 0, 0));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    Overlapped wait;
    DWORD events = 0;
    if (!WaitCommEvent(port, &events, &wait.o)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    Feed("gone");
    ASSERT_TRUE(wait.Wait());
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER));
}

INSTANTIATE_TEST_SUITE_P(Delivery, PortReceive, testing::Bool(),
                         [](const auto &info) { return info.param ? "ForcedPending" : "Inline"; });

}  // namespace
}  // namespace winsim::test

namespace winsim::test {
namespace {

// On the full-speed wire the receive worker's bulk-in read waits at the
// printer across frames; bytes the printer has ready later must still reach
// it within a frame or two.
class PortReceiveFullSpeed : public PortTest {
protected:
    PortOptions Options() override { return {false, usb::WireModel::FullSpeed}; }
};

TEST_F(PortReceiveFullSpeed, BytesArrivingWhileTheWorkerWaitsAreRead)
{
    RequestLog usb("tarvik_usb");  // before the open, which starts the worker's first read
    HANDLE port = OpenPort();
    COMMTIMEOUTS total{0, 0, 2000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &total));
    ASSERT_TRUE(usb.WaitFor("IRP_MJ_DEVICE_CONTROL 0x222000"));
    std::this_thread::sleep_for(20ms);  // the worker's read waits through a few frames
    Feed("abcd");
    ReadResult r = Finish(StartRead(port, 16));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, "abcd");
    EXPECT_EQ(printer_->QueuedBulkIn(), 0u);
}

}  // namespace
}  // namespace winsim::test
