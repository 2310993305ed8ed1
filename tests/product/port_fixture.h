// A machine with the product's package installed and the printer plugged in,
// seen from the application's side: the COM port, its registry entries and
// the requests that pass each driver.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>

#include <chrono>
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

private:
    std::string driver_;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

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

    harness::TestMachine machine_;
    std::shared_ptr<usb::UsbDevice> printer_;
    std::string id_;
    std::vector<HANDLE> handles_;
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
