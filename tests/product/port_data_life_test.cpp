// The port's data path across the life of a handle and of the device: one
// handle at a time, reopening at once, the receive worker running from open
// to close and close ending its bulk-in read quickly, a read that outlives
// its handle, and reads and writes in progress when the device is stopped
// and restarted, asked to go, or pulled out.
#include "port_fixture.h"

namespace winsim::test {
namespace {

using Clock = std::chrono::steady_clock;

// The receive worker's bulk-in read and the abort that ends it, as they
// reach the USB driver.
constexpr char kBulkRead[] = "IRP_MJ_DEVICE_CONTROL 0x222000";
constexpr char kAbortRead[] = "IRP_MJ_DEVICE_CONTROL 0x222004";

// Close waits at most 201 pauses of 10 ms for the worker; once the abort has
// ended the bulk-in read it needs only one or a few.
constexpr auto kCloseGivesUp = 2010ms;
constexpr auto kCloseAfterAbort = 1000ms;

class PortHandle : public PortTest, public testing::WithParamInterface<bool> {
protected:
    PortOptions Options() override { return {GetParam()}; }

    // Closes the handle on another thread (so that a close that never ends
    // stops the test) and returns how long it took.
    std::chrono::milliseconds TimedClose(HANDLE port)
    {
        std::erase(handles_, port);
        auto closing = std::async(std::launch::async, [port] {
            auto start = Clock::now();
            EXPECT_TRUE(CloseHandle(port));
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        });
        return Finish(closing);
    }
};

TEST_P(PortHandle, OneHandleAtATimeAndReopenAtOnce)
{
    HANDLE port = OpenPort();
    for (DWORD flags : {0u, static_cast<DWORD>(FILE_FLAG_OVERLAPPED)}) {
        EXPECT_EQ(Open("COM1", flags), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    for (int i = 0; i < 10; i++) {
        Close(port);
        port = OpenPort(i % 2 ? FILE_FLAG_OVERLAPPED : 0);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "reopen " << i;
    }
    Receive(port, "still receiving");
    EXPECT_EQ(InQueue(port), 15u);
}

// No worker before the open; one bulk-in read after another while open;
// after close no more, so bytes the printer sends stay in the printer until
// the next open's worker fetches them.
TEST_P(PortHandle, ReceiveWorkerRunsFromOpenToClose)
{
    RequestLog usb("tarvik_usb");
    EXPECT_FALSE(usb.WaitFor(kBulkRead, 50ms)) << "a worker without an open handle";
    HANDLE port = OpenPort();
    ASSERT_TRUE(usb.WaitFor(kBulkRead)) << "no worker after the open";
    Receive(port, "while open");

    usb.Take();
    auto took = TimedClose(port);
    EXPECT_LT(took, kCloseAfterAbort);
    std::vector<std::string> atClose = usb.Take();
    EXPECT_EQ(std::count(atClose.begin(), atClose.end(), kAbortRead), 1) << "close aborts the bulk-in read";

    Feed("after close");
    EXPECT_FALSE(usb.WaitFor(kBulkRead, 50ms)) << "the worker went on after close";
    EXPECT_EQ(printer_->QueuedBulkIn(), 11u);

    port = OpenPort();
    EXPECT_TRUE(WaitUntil([&] { return InQueue(port) == 11; })) << "the next open's worker fetches them";
}

// Close while the worker's bulk-in read is held by the USB driver, with the
// printer idle or NAKing its bulk-in endpoint: the abort ends the read and
// close returns after a few pauses, far inside its limit, every time.
TEST_P(PortHandle, CloseEndsTheBulkReadTheWorkerWaitsIn)
{
    for (bool nak : {false, true}) {
        SCOPED_TRACE(nak ? "bulk-in NAKs" : "printer idle");
        printer_->SetNak(0x82, nak);
        std::vector<std::chrono::milliseconds> times;
        for (int i = 0; i < 5; i++) {
            RequestLog usb("tarvik_usb");
            HANDLE port = OpenPort(i % 2 ? FILE_FLAG_OVERLAPPED : 0);
            ASSERT_TRUE(usb.WaitFor(kBulkRead));
            times.push_back(TimedClose(port));
        }
        for (auto took : times) {
            EXPECT_LT(took, kCloseAfterAbort);
            EXPECT_LT(took, kCloseGivesUp);
        }
    }
    printer_->SetNak(0x82, false);
}

TEST_P(PortHandle, BytesNotReadBeforeCloseAreGoneAtTheNextOpen)
{
    HANDLE port = OpenPort();
    Receive(port, "stale");
    Close(port);
    port = OpenPort();
    EXPECT_EQ(InQueue(port), 0u);
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &immediate));
    ReadResult r = Finish(StartRead(port, 16));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, "");
}

// Closing the handle while a read with no time-outs is polling: the cleanup
// leaves the read alone, the read goes on until data arrives, and the close
// reaches the port only once every request on the handle has completed (here
// the read, and a write the offline printer holds up).
TEST_P(PortHandle, ReadOutlivesItsHandleUntilDataArrives)
{
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    COMMTIMEOUTS unlimited{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &unlimited));
    printer_->Printer()->SetOnline(false);
    Overlapped write;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port, "held", 4, &n, &write.o));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    auto read = StartReadInDriver(port, 16);
    RequestLog serial("tarvik_serial");
    TimedClose(port);
    EXPECT_TRUE(serial.WaitFor("IRP_MJ_CLEANUP"));
    EXPECT_EQ(read.wait_for(50ms), std::future_status::timeout) << "cleanup ended the read";

    Feed("late");
    ReadResult r = Finish(read);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, "late");
    EXPECT_FALSE(serial.WaitFor("IRP_MJ_CLOSE", 20ms)) << "close while the write is in progress";

    printer_->Printer()->SetOnline(true);
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.o.InternalHigh, 4u);
    EXPECT_TRUE(serial.WaitFor("IRP_MJ_CLOSE"));
    EXPECT_TRUE(WaitUntil([&] { return Open() != INVALID_HANDLE_VALUE; }))
        << "the port opens again once the close has been through";
}

// The same with the read as the last request on the handle: its completion
// drops the last reference and the close goes down from inside it.
TEST_P(PortHandle, ReadEndingAfterItsHandleClosedReportsItsBytes)
{
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    COMMTIMEOUTS unlimited{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &unlimited));
    auto read = StartReadInDriver(port, 16);
    RequestLog serial("tarvik_serial");
    TimedClose(port);
    Feed("late");
    ReadResult r = Finish(read);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(r.data, "late");
    EXPECT_TRUE(serial.WaitFor("IRP_MJ_CLOSE"));
}

INSTANTIATE_TEST_SUITE_P(Delivery, PortHandle, testing::Bool(),
                         [](const auto &info) { return info.param ? "ForcedPending" : "Inline"; });

// ---------------------------------------------------------------------------
// Plug and Play under a busy port

// A request the application has in progress when the device changes.
struct InFlight {
    const char *name;
    DWORD flags;             // of the handle
    COMMTIMEOUTS timeouts;
    bool write;              // a write the offline printer holds up, else a read
};

const InFlight kInFlight[] = {
    {"UnlimitedReadOverlappedHandle", FILE_FLAG_OVERLAPPED, {0, 0, 0, 0, 0}, false},
    {"UnlimitedReadSynchronousHandle", 0, {0, 0, 0, 0, 0}, false},
    {"LongTimedRead", FILE_FLAG_OVERLAPPED, {0, 0, 60000, 0, 0}, false},
    {"HeldWrite", FILE_FLAG_OVERLAPPED, {0, 0, 0, 0, 0}, true},
};

class PortBusy : public PortTest, public testing::WithParamInterface<std::tuple<bool, InFlight>> {
protected:
    PortOptions Options() override { return {std::get<0>(GetParam())}; }

    // Starts the case's request on its own thread and waits until it is in
    // the driver that holds it.
    std::future<ReadResult> Start(HANDLE port, const InFlight &c)
    {
        if (!c.write) {
            auto read = StartReadInDriver(port, 32);
            return read;
        }
        printer_->Printer()->SetOnline(false);
        RequestLog usb("tarvik_usb");
        auto write = std::async(std::launch::async, [port] {
            ReadResult r;
            Overlapped request;
            DWORD n = 0;
            r.ok = WriteFile(port, "held", 4, &n, &request.o);
            if (!r.ok && GetLastError() == ERROR_IO_PENDING) {
                r.pended = true;
                r.ok = GetOverlappedResult(port, &request.o, &n, TRUE);
            }
            r.error = r.ok ? 0 : GetLastError();
            r.bytes = n;
            return r;
        });
        EXPECT_TRUE(usb.WaitFor("IRP_MJ_WRITE"));
        return write;
    }

    // Runs a Plug and Play change on another thread; a change that never
    // finishes stops the test.
    template <class F>
    auto Pnp(F change)
    {
        return Finish(std::async(std::launch::async, change));
    }
};

// The open port survives a stop and restart with the request still in
// progress; once the device is back the request completes normally.
TEST_P(PortBusy, StopAndRestartLeavesItRunning)
{
    const InFlight &c = std::get<1>(GetParam());
    HANDLE port = OpenPort(c.flags);
    ASSERT_TRUE(SetCommTimeouts(port, const_cast<COMMTIMEOUTS *>(&c.timeouts)));
    auto pending = Start(port, c);
    if (c.write) {
        // A held write is the USB driver's: the stop aborts the pipe under it.
        EXPECT_EQ(Pnp([&] { return machine_.StopAndRestart(id_); }), STATUS_SUCCESS);
        printer_->Printer()->SetOnline(true);
        ReadResult r = Finish(pending);
        if (r.ok) {
            EXPECT_EQ(r.bytes, 4u);
        }
    } else {
        EXPECT_EQ(Pnp([&] { return machine_.StopAndRestart(id_); }), STATUS_SUCCESS);
        EXPECT_EQ(pending.wait_for(30ms), std::future_status::timeout) << "the restart ended the read";
        Feed("back again");
        ReadResult r = Finish(pending);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.data, "back again") << "the worker kept polling across the restart";
    }
    DWORD n = 0;
    Overlapped w;
    BOOL ok = WriteFile(port, "after", 5, &n, c.flags ? &w.o : nullptr);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(port, &w.o, &n, TRUE);
    EXPECT_TRUE(ok);
    std::vector<UCHAR> received = printer_->Received();
    EXPECT_EQ(std::string(received.end() - 5, received.end()), "after");
}

// Removal is refused while the port is open, and the request carries on.
TEST_P(PortBusy, RemovalIsRefusedAndTheRequestCarriesOn)
{
    const InFlight &c = std::get<1>(GetParam());
    HANDLE port = OpenPort(c.flags);
    ASSERT_TRUE(SetCommTimeouts(port, const_cast<COMMTIMEOUTS *>(&c.timeouts)));
    auto pending = Start(port, c);
    EXPECT_EQ(Pnp([&] { return machine_.QueryRemoveAndRemove(id_); }), STATUS_DEVICE_BUSY);
    EXPECT_EQ(machine_.DeviceState(id_), "started");
    EXPECT_EQ(pending.wait_for(30ms), std::future_status::timeout) << "the refused removal ended the request";
    if (c.write)
        printer_->Printer()->SetOnline(true);
    else
        Feed("carried on");
    ReadResult r = Finish(pending);
    EXPECT_TRUE(r.ok) << r.error;
    if (c.write) {
        EXPECT_EQ(r.bytes, 4u);
    } else {
        EXPECT_EQ(r.data, "carried on");
    }
}

// Pulled out with the request in progress: it ends with a failure (or, for a
// read, nothing read), later requests on the handle fail or return nothing,
// no call hangs, and the device goes once the handle is closed.
TEST_P(PortBusy, SurpriseRemovalEndsItWithAFailure)
{
    const InFlight &c = std::get<1>(GetParam());
    HANDLE port = OpenPort(c.flags);
    ASSERT_TRUE(SetCommTimeouts(port, const_cast<COMMTIMEOUTS *>(&c.timeouts)));
    auto pending = Start(port, c);
    Pnp([&] { machine_.Unplug(*printer_); return 0; });
    ReadResult r = Finish(pending, 3s);
    EXPECT_FALSE(r.ok && r.bytes != 0) << "the request went on as if nothing happened";
    EXPECT_FALSE(r.ok) << "ended with success";

    auto later = std::async(std::launch::async, [port, flags = c.flags] {
        Overlapped o;
        DWORD n = 0;
        char buffer[8];
        bool wrote = WriteFile(port, "x", 1, &n, flags ? &o.o : nullptr) ||
                     (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(port, &o.o, &n, TRUE));
        Overlapped o2;
        bool readSome = ReadFile(port, buffer, sizeof buffer, &n, flags ? &o2.o : nullptr) && n != 0;
        DWORD modem = 0;
        GetCommModemStatus(port, &modem);
        return std::make_pair(wrote, readSome);
    });
    auto [wrote, readSome] = Finish(later);
    EXPECT_FALSE(wrote);
    EXPECT_FALSE(readSome);
    Close(port);
    machine_.FlushPnp();
    EXPECT_EQ(machine_.DeviceState(id_), "removed");
}

INSTANTIATE_TEST_SUITE_P(Cases, PortBusy, testing::Combine(testing::Bool(), testing::ValuesIn(kInFlight)),
                         [](const auto &info) {
                             return std::string(std::get<1>(info.param).name) +
                                    (std::get<0>(info.param) ? "_ForcedPending" : "_Inline");
                         });

}  // namespace
}  // namespace winsim::test
