// The recording serial port fixture (see serial_recorder.h).
#include "serial_recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace winsim::test {
namespace {

struct CodeName {
    ULONG code;
    const char *name;
};

const CodeName kNames[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"},     {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"}, {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"},
    {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"},             {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"},
    {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"},       {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"},
    {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"},       {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
    {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"},     {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"},
    {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"},       {IOCTL_SERIAL_PURGE, "PURGE"},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},   {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"},
    {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"}, {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"},
    {IOCTL_SERIAL_SET_DTR, "SET_DTR"},                 {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
    {IOCTL_SERIAL_SET_RTS, "SET_RTS"},                 {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},
    {IOCTL_SERIAL_SET_XON, "SET_XON"},                 {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"},
    {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"},       {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"},
    {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE"},       {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR"},
    {IOCTL_SERIAL_CONFIG_SIZE, "CONFIG_SIZE"},
};

}  // namespace

std::string RequestName(ULONG code)
{
    for (const CodeName &n : kNames)
        if (n.code == code)
            return n.name;
    char text[32];
    snprintf(text, sizeof text, "0x%08x", code);
    return text;
}

namespace {

std::string HexOf(const uint8_t *bytes, size_t n)
{
    std::string out;
    char digits[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(digits, sizeof digits, "%02x", bytes[i]);
        out += digits;
    }
    return out;
}

const pnp::DeviceIdentity kPort{u"ROOT\\RECORDING_SERIAL\\0000", {u"ROOT\\RECORDING_SERIAL"}, {}};

}  // namespace

std::string Request(const std::string &name, const Bytes &input, ULONG outputLength)
{
    std::string text = name;
    if (!input.empty())
        text += " in=" + HexOf(input.data(), input.size());
    if (outputLength != 0)
        text += " out=" + std::to_string(outputLength);
    return text;
}

std::string Describe(const RECORDED_REQUEST &request)
{
    size_t shown = std::min<size_t>(request.InputLength, RECORDER_INPUT_BYTES);
    std::string text = Request(RequestName(request.IoControlCode), Bytes(request.Input, request.Input + shown),
                               request.OutputLength);
    if (request.InputLength > RECORDER_INPUT_BYTES)
        text += " (input of " + std::to_string(request.InputLength) + " bytes)";
    return text;
}

std::string DcbFields(const DCB &d)
{
    char text[512];
    snprintf(text, sizeof text,
             "length=%u baud=%u binary=%u parity=%u cts=%u dsr=%u dtr=%u dsrSens=%u txCont=%u outX=%u inX=%u "
             "errChar=%u null=%u rts=%u abort=%u xonLim=%u xoffLim=%u bits=%u parity=%u stop=%u xon=%02x "
             "xoff=%02x err=%02x eof=%02x evt=%02x",
             d.DCBlength, d.BaudRate, d.fBinary, d.fParity, d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDtrControl,
             d.fDsrSensitivity, d.fTXContinueOnXoff, d.fOutX, d.fInX, d.fErrorChar, d.fNull, d.fRtsControl,
             d.fAbortOnError, d.XonLim, d.XoffLim, d.ByteSize, d.Parity, d.StopBits, d.XonChar & 0xFF,
             d.XoffChar & 0xFF, d.ErrorChar & 0xFF, d.EofChar & 0xFF, d.EvtChar & 0xFF);
    return text;
}

void SerialPortTest::SetUp()
{
    node_ = pnp::AddRootDevice(kPort, pnp::DriverStack{{"recording_serial"}});
    ASSERT_NE(node_, nullptr);
    ASSERT_EQ(pnp::StateOf(node_), pnp::NodeState::Started);
    ASSERT_EQ(machine_.CreateLink("\\??\\COM7", pnp::PdoOf(node_)), STATUS_SUCCESS);
    control_ = CreateFileA(kPortPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(control_, INVALID_HANDLE_VALUE);
}

void SerialPortTest::TearDown()
{
    for (HANDLE port : ports_)
        CloseHandle(port);
    ports_.clear();
    if (control_ != INVALID_HANDLE_VALUE)
        CloseHandle(control_);
    auto findings = machine_.Shutdown();
    EXPECT_TRUE(findings.empty()) << testing::PrintToString(findings);
}

HANDLE SerialPortTest::OpenPort(bool overlapped)
{
    HANDLE port = CreateFileA(kPortPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    if (port != INVALID_HANDLE_VALUE)
        ports_.push_back(port);
    return port;
}

void SerialPortTest::ClosePort(HANDLE port)
{
    std::erase(ports_, port);
    CloseHandle(port);
}

void SerialPortTest::Control(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength)
{
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(control_, code, const_cast<void *>(input), inputLength, output, outputLength,
                                &returned, nullptr))
        << "recorder request failed with error " << GetLastError();
}

std::vector<std::string> SerialPortTest::TakeLog()
{
    RECORDER_LOG log{};
    Control(IOCTL_RECORDER_TAKE_LOG, nullptr, 0, &log, sizeof log);
    EXPECT_EQ(log.Dropped, 0u) << "the recorder's log overflowed";
    std::vector<std::string> lines;
    for (ULONG i = 0; i < log.Count; i++)
        lines.push_back(Describe(log.Requests[i]));
    return lines;
}

void SerialPortTest::Script(ULONG code, const Answer &answer)
{
    RECORDER_ANSWER script{};
    script.IoControlCode = code;
    script.How = answer.how;
    script.Status = answer.status;
    script.Information = answer.information.value_or(static_cast<ULONG>(answer.output.size()));
    script.Times = answer.times;
    ASSERT_LE(answer.output.size(), sizeof script.Output);
    std::copy(answer.output.begin(), answer.output.end(), script.Output);
    Control(IOCTL_RECORDER_SCRIPT, &script, sizeof script, nullptr, 0);
}

void SerialPortTest::Release(NTSTATUS status, const Bytes &output)
{
    RECORDER_ANSWER answer{};
    answer.Status = status;
    answer.Information = static_cast<ULONG>(output.size());
    ASSERT_LE(output.size(), sizeof answer.Output);
    std::copy(output.begin(), output.end(), answer.Output);
    Control(IOCTL_RECORDER_RELEASE, &answer, sizeof answer, nullptr, 0);
}

ULONG SerialPortTest::HeldCount()
{
    ULONG count = 0;
    Control(IOCTL_RECORDER_HELD_COUNT, nullptr, 0, &count, sizeof count);
    return count;
}

void SerialPortTest::WaitUntilHeld(ULONG count)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (HeldCount() != count) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the port never held " << count << " request(s)";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace winsim::test
