// The COM port's life on a machine where allocations fail: every allocation
// site the two drivers reach (pool, IRPs, work items, URBs, MDLs), once per
// distinct call stack, over add-device, start, naming, open, the line set-up,
// mask requests and a wait, writes, reads, purge, modem status, stop and
// restart with the port open, sleep and resume, close, and surprise removal
// with the port open. Each run is a fresh machine; the runs go on until one
// reaches no site that has not failed before. Whatever fails must fail
// cleanly: no crash, no hang, no leak, nothing left behind.
#include "low_resources.h"
#include "port_fixture.h"

namespace winsim::test {
namespace {

HANDLE OpenPort(DWORD flags)
{
    return CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Line set-up, a wait on the mask, a write, a reply read back, purge and
// modem status; every call may fail.
void UsePort(HANDLE port, usb::UsbDevice &printer)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(port, &dcb)) {
        dcb.BaudRate = CBR_19200;
        SetCommState(port, &dcb);
    }
    COMMTIMEOUTS timeouts{0, 0, 50, 0, 1000};
    SetCommTimeouts(port, &timeouts);
    SetupComm(port, 4096, 4096);
    SetCommMask(port, EV_RXCHAR | EV_TXEMPTY);

    Overlapped wait;
    DWORD events = 0, bytes = 0;
    bool waiting = !WaitCommEvent(port, &events, &wait.o) && GetLastError() == ERROR_IO_PENDING;

    const char job[] = "low resources\r\n";
    OVERLAPPED write{};
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!WriteFile(port, job, sizeof job - 1, &bytes, &write) && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(port, &write, &bytes, TRUE);
    CloseHandle(write.hEvent);

    UCHAR reply[] = {1, 2, 3};
    printer.FeedBulkIn(reply);
    if (waiting) {
        SetCommMask(port, 0);  // releases the wait if nothing else did
        EXPECT_TRUE(wait.Wait()) << "a wait on the mask was never completed";
    }
    OVERLAPPED read{};
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    UCHAR buffer[16];
    if (!ReadFile(port, buffer, sizeof buffer, &bytes, &read) && GetLastError() == ERROR_IO_PENDING) {
        EXPECT_EQ(WaitForSingleObject(read.hEvent, 5000), WAIT_OBJECT_0) << "a read with a 50 ms time-out hung";
    }
    CloseHandle(read.hEvent);

    PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    DWORD modem;
    GetCommModemStatus(port, &modem);
    COMSTAT stat;
    DWORD errors;
    ClearCommError(port, &errors, &stat);
}

void RunScenario()
{
    harness::TestMachine machine;
    ASSERT_TRUE(machine.InstallPackage(TARVIK_PACKAGE_INF).ok);
    auto printer = machine.PlugPrinter();
    std::string id = harness::TestMachine::InstanceIdOf(*printer);

    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    if (port != INVALID_HANDLE_VALUE) {
        UsePort(port, *printer);
        machine.StopAndRestart(id);
        UsePort(port, *printer);
        machine.Sleep(PowerSystemSleeping3);
        machine.Resume();
        CloseHandle(port);
    }
    port = OpenPort(FILE_FLAG_OVERLAPPED);  // again at once, then pulled out while open
    if (port != INVALID_HANDLE_VALUE)
        UsePort(port, *printer);
    machine.Unplug(*printer);
    if (port != INVALID_HANDLE_VALUE) {
        DWORD bytes;
        OVERLAPPED write{};
        write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        BOOL written = WriteFile(port, "x", 1, &bytes, &write);
        if (!written && GetLastError() == ERROR_IO_PENDING) {
            EXPECT_EQ(WaitForSingleObject(write.hEvent, 5000), WAIT_OBJECT_0) << "a write after removal hung";
            written = GetOverlappedResult(port, &write, &bytes, FALSE);
        }
        EXPECT_FALSE(written) << "a write to a printer that is gone";
        CloseHandle(write.hEvent);
        CloseHandle(port);
    }
    EXPECT_THAT(machine.Shutdown(), testing::ElementsAre());
}

TEST(PortLowResources, EveryAllocationSiteFailsOnceWithoutHarm)
{
    SystematicRun run = FailEverySiteOnce(RunScenario, 300, "tarvik_serial and tarvik_usb");
    EXPECT_LT(run.runs, 300) << "still failing new sites";
    EXPECT_GE(run.report.sitesFailed, 30u) << "too few sites reached to prove anything";
}

}  // namespace
}  // namespace winsim::test
