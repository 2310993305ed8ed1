// The COM port fixture (see port_fixture.h).
#include "port_fixture.h"

#include "../../winsim/registry/registry.h"

#include <algorithm>
#include <thread>

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

RequestLog::RequestLog(std::string driver) : driver_("-> \\Driver\\" + driver), completer_(" by " + driver)
{
    harness::SetTrace([this](const std::string &line) {
        if (line.find(" returned ") != std::string::npos)
            return;
        std::lock_guard<std::mutex> lock(lock_);
        if (line.find(driver_) != std::string::npos) {
            lines_.push_back(line.substr(0, line.find(" -> ")));
            arrived_.notify_all();
        } else if (line.find(" completed ") != std::string::npos && line.ends_with(completer_)) {
            completions_.push_back(line.substr(0, line.size() - completer_.size()));
        }
    });
}

RequestLog::~RequestLog() { harness::SetTrace({}); }

std::vector<std::string> RequestLog::Take()
{
    std::lock_guard<std::mutex> lock(lock_);
    return std::exchange(lines_, {});
}

bool RequestLog::WaitFor(const std::string &text, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(lock_);
    return arrived_.wait_for(lock, timeout, [&] {
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string &line) { return line.find(text) != std::string::npos; });
    });
}

std::vector<std::string> RequestLog::TakeCompletions()
{
    std::lock_guard<std::mutex> lock(lock_);
    return std::exchange(completions_, {});
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
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
    overlapped_.clear();
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

std::string PatternText(size_t length)
{
    std::string text(length, ' ');
    for (size_t i = 0; i < length; i++)
        text[i] = static_cast<char>('!' + (i * 7 + i / 94) % 94);
    return text;
}

HANDLE PortTest::OpenPort(DWORD flags)
{
    HANDLE h = Open("COM1", flags);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    if (flags & FILE_FLAG_OVERLAPPED)
        overlapped_.push_back(h);
    return h;
}

std::future<ReadResult> PortTest::StartReadInDriver(HANDLE port, DWORD length)
{
    RequestLog serial("tarvik_serial");
    auto read = StartRead(port, length);
    EXPECT_TRUE(serial.WaitFor("IRP_MJ_READ")) << "the read never reached the port's driver";
    return read;
}

std::future<ReadResult> PortTest::StartRead(HANDLE port, DWORD length)
{
    bool overlapped = std::find(overlapped_.begin(), overlapped_.end(), port) != overlapped_.end();
    return std::async(std::launch::async, [port, length, overlapped] {
        ReadResult r;
        std::string buffer(length, '\0');
        Overlapped request;
        DWORD n = 0;
        auto start = std::chrono::steady_clock::now();
        r.ok = ReadFile(port, buffer.data(), length, &n, overlapped ? &request.o : nullptr);
        r.error = r.ok ? 0 : GetLastError();
        if (!r.ok && r.error == ERROR_IO_PENDING) {
            r.pended = true;
            r.ok = GetOverlappedResult(port, &request.o, &n, TRUE);
            r.error = r.ok ? 0 : GetLastError();
        }
        r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (overlapped && (r.ok || r.pended))
            r.status = static_cast<NTSTATUS>(request.o.Internal);
        else if (r.ok)
            r.status = STATUS_SUCCESS;
        r.bytes = n;
        r.data = buffer.substr(0, r.ok ? n : 0);
        return r;
    });
}

void PortTest::Feed(const std::string &bytes)
{
    printer_->FeedBulkIn(std::span(reinterpret_cast<const UCHAR *>(bytes.data()), bytes.size()));
}

DWORD PortTest::InQueue(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(port, &errors, &stat)) << GetLastError();
    return stat.cbInQue;
}

void PortTest::Receive(HANDLE port, const std::string &bytes)
{
    if (bytes.empty())
        return;
    DWORD target = InQueue(port) + static_cast<DWORD>(bytes.size());
    Feed(bytes);
    EXPECT_TRUE(WaitUntil([&] { return InQueue(port) >= target; })) << bytes.size() << " bytes did not arrive";
}

Overlapped::Overlapped() { o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
Overlapped::~Overlapped() { CloseHandle(o.hEvent); }

bool Overlapped::Wait(std::chrono::milliseconds timeout)
{
    return WaitForSingleObject(o.hEvent, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

}  // namespace winsim::test
