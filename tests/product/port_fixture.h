// A machine with the product's package installed and the printer plugged in,
// seen from the application's side: the COM port, its registry entries and
// the requests that pass each driver.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <harness.h>
#include "../../winsim/usb/printer_model.h"
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::test {

using namespace std::chrono_literals;

constexpr char kSerialComm[] = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// name -> data of every value under SERIALCOMM.
std::vector<std::pair<std::string, std::string>> SerialCommValues();
std::vector<std::string> SerialCommPorts();

// The hardware key ("Device Parameters") of a device instance.
std::string HardwareKey(const std::string &instanceId);

// Trace lines of requests as they reach one driver (without the "returned" lines).
class RequestLog {
public:
    explicit RequestLog(std::string driver);
    ~RequestLog();
    std::vector<std::string> Take();
    // The lines that contain `text`.
    std::vector<std::string> Matching(const std::string &text);
    // Waits until a request whose line contains `text` has reached the
    // driver (since the last Take); false on time-out. Lines stay for Take.
    bool WaitFor(const std::string &text, std::chrono::milliseconds timeout = 5s);
    // Requests the driver completed itself, as "<request> completed <status>
    // Information=<n>", oldest first; taken out of the log.
    std::vector<std::string> TakeCompletions();

private:
    std::string driver_;
    std::string completer_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;
    std::vector<std::string> completions_;
};

// Checks `done` until it holds or the time is up; for states that no event
// announces (the receive buffer filling up, a worker going away).
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = 5s);

// What one ReadFile gave back. On an overlapped handle the status is the
// one the status block received; on a synchronous handle it is only known
// to be a success or not.
struct ReadResult {
    bool ok = false;
    DWORD error = 0;     // GetLastError when not ok
    DWORD bytes = 0;
    bool pended = false; // ReadFile said ERROR_IO_PENDING
    NTSTATUS status = STATUS_PENDING;
    std::string data;
    std::chrono::milliseconds took{};
};

// Waits for a request running on another thread. A request that never ends
// is a hang of the product: the test program stops with a message rather
// than waiting forever.
template <class T>
T Finish(std::future<T> &pending, std::chrono::milliseconds limit = 10s)
{
    if (pending.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "a request did not end within " << limit.count() << " ms";
        fprintf(stderr, "*** a request did not end within %lld ms; stopping\n", static_cast<long long>(limit.count()));
        fflush(stderr);
        std::abort();
    }
    return pending.get();
}

template <class T>
T Finish(std::future<T> &&pending, std::chrono::milliseconds limit = 10s)
{
    return Finish(pending, limit);
}

// Printable bytes that never contain the printer's status request.
std::string PatternText(size_t length);

struct PortOptions {
    bool forcePending = false;
    usb::WireModel wire = usb::WireModel::Instant;
};

class PortTest : public testing::Test {
protected:
    // Installs the package and plugs the printer in.
    void SetUp() override;
    void TearDown() override;
    virtual PortOptions Options() { return {}; }

    // Opens \\.\COM1 (or `name`); the handle is closed at the end of the test.
    HANDLE Open(const std::string &name = "COM1", DWORD flags = 0);
    void Close(HANDLE handle);

    // Sets a line, time-outs and buffer sizes as an application would.
    void SetUpPort(HANDLE port, COMMTIMEOUTS timeouts);

    // ---- data path helpers
    // Opens COM1 and remembers whether the handle is overlapped.
    HANDLE OpenPort(DWORD flags = 0);
    // ReadFile of `length` bytes on another thread (with an OVERLAPPED on an
    // overlapped handle); the future is ready when ReadFile has returned.
    std::future<ReadResult> StartRead(HANDLE port, DWORD length);
    // The same, returning once the read has reached the port's driver.
    std::future<ReadResult> StartReadInDriver(HANDLE port, DWORD length);
    // The printer sends these bytes on its bulk-in pipe.
    void Feed(const std::string &bytes);
    // Feeds them and waits until the port has them in its receive buffer.
    void Receive(HANDLE port, const std::string &bytes);
    // Bytes in the receive buffer (ClearCommError's cbInQue).
    DWORD InQueue(HANDLE port);

    harness::TestMachine machine_;
    std::shared_ptr<usb::UsbDevice> printer_;
    std::string id_;
    std::vector<HANDLE> handles_;
    std::vector<HANDLE> overlapped_;
};

// One overlapped request in flight on an overlapped handle.
struct Overlapped {
    Overlapped();
    ~Overlapped();
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
    // Waits for completion; false on time-out.
    bool Wait(std::chrono::milliseconds timeout = 5s);
    OVERLAPPED o{};
};

}  // namespace winsim::test
