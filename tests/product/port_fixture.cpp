// The COM port fixture (see port_fixture.h).
#include "port_fixture.h"

#include "../../winsim/registry/registry.h"

namespace winsim::test {

std::vector<std::pair<std::string, std::string>> SerialCommValues()
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const registry::Value &v : registry::Values(kSerialComm))
        out.emplace_back(v.name, registry::GetString(kSerialComm, v.name).value_or("?"));
    return out;
}

std::vector<std::string> SerialCommPorts()
{
    std::vector<std::string> ports;
    for (auto &[name, data] : SerialCommValues())
        ports.push_back(data);
    return ports;
}

std::string HardwareKey(const std::string &instanceId)
{
    return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters";
}

RequestLog::RequestLog(std::string driver) : driver_("-> \\Driver\\" + std::move(driver))
{
    harness::SetTrace([this](const std::string &line) {
        if (line.find(driver_) == std::string::npos || line.find(" returned ") != std::string::npos)
            return;
        std::lock_guard<std::mutex> lock(lock_);
        lines_.push_back(line.substr(0, line.find(" -> ")));
    });
}

RequestLog::~RequestLog() { harness::SetTrace({}); }

std::vector<std::string> RequestLog::Take()
{
    std::lock_guard<std::mutex> lock(lock_);
    return std::exchange(lines_, {});
}

std::vector<std::string> RequestLog::Matching(const std::string &text)
{
    std::vector<std::string> out;
    for (std::string &line : Take())
        if (line.find(text) != std::string::npos)
            out.push_back(std::move(line));
    return out;
}

void PortTest::SetUp()
{
    PortOptions options = Options();
    usb::HostOptions host;
    host.forcePending = options.forcePending;
    host.wire = options.wire;
    machine_.SetUsbOptions(host);
    auto package = machine_.InstallPackage(TARVIK_PACKAGE_INF);
    ASSERT_TRUE(package.ok) << package.error;
    printer_ = machine_.PlugPrinter();
    id_ = harness::TestMachine::InstanceIdOf(*printer_);
    ASSERT_EQ(machine_.DeviceState(id_), "started");
}

void PortTest::TearDown()
{
    for (HANDLE h : handles_)
        CloseHandle(h);
    handles_.clear();
    EXPECT_THAT(machine_.Shutdown(), testing::ElementsAre());
}

HANDLE PortTest::Open(const std::string &name, DWORD flags)
{
    std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        handles_.push_back(h);
    return h;
}

void PortTest::Close(HANDLE handle)
{
    std::erase(handles_, handle);
    EXPECT_TRUE(CloseHandle(handle));
}

void PortTest::SetUpPort(HANDLE port, COMMTIMEOUTS timeouts)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts)) << GetLastError();
    ASSERT_TRUE(SetupComm(port, 4096, 4096)) << GetLastError();
}

Overlapped::Overlapped() { o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
Overlapped::~Overlapped() { CloseHandle(o.hEvent); }

bool Overlapped::Wait(std::chrono::milliseconds timeout)
{
    return WaitForSingleObject(o.hEvent, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

}  // namespace winsim::test
