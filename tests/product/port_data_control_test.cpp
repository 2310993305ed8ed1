// The serial control requests as applications send them, through
// DeviceIoControl and the communications API: buffer checks and the status
// and byte count of every control code the port answers, the settings it
// keeps, the modem status it asks of the printer, its properties and
// status, and the two vendor requests it hands to the USB driver.
#include "port_fixture.h"

#include <ntddser.h>

#include "tarvik_usb_ioctl.h"
#include "vendor_block.h"

#include <cstring>

namespace winsim::test {
namespace {

using testing::ElementsAre;
using testing::EndsWith;
using testing::SizeIs;

constexpr ULONG kNone = MAXULONG;  // no minimum length

// One control code the port answers from its table.
struct Entry {
    const char *name;
    ULONG code;
    ULONG minInput, minOutput;  // kNone: no minimum
    ULONG information;          // on success
    bool completesAtOnce;       // false: a valid request may stay pending
};

#define ENTRY(code, in, out, info) {#code, code, in, out, info, true}
const Entry kEntries[] = {
    ENTRY(IOCTL_SERIAL_SET_BAUD_RATE, 4, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_QUEUE_SIZE, 8, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_LINE_CONTROL, 3, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_BREAK_ON, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_BREAK_OFF, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_TIMEOUTS, 20, kNone, 0),
    ENTRY(IOCTL_SERIAL_GET_TIMEOUTS, kNone, 20, 20),
    ENTRY(IOCTL_SERIAL_SET_DTR, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_CLR_DTR, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_RTS, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_CLR_RTS, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_XOFF, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_SET_XON, 0, kNone, 0),
    ENTRY(IOCTL_SERIAL_GET_WAIT_MASK, kNone, 4, 4),
    ENTRY(IOCTL_SERIAL_SET_WAIT_MASK, 4, kNone, 0),
    {"IOCTL_SERIAL_WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, kNone, 4, 4, false},
    ENTRY(IOCTL_SERIAL_PURGE, 4, kNone, 0),
    ENTRY(IOCTL_SERIAL_GET_BAUD_RATE, kNone, 4, 4),
    ENTRY(IOCTL_SERIAL_GET_LINE_CONTROL, kNone, 3, 3),
    ENTRY(IOCTL_SERIAL_GET_CHARS, kNone, 6, 6),
    ENTRY(IOCTL_SERIAL_SET_CHARS, 6, kNone, 0),
    ENTRY(IOCTL_SERIAL_GET_HANDFLOW, kNone, 16, 16),
    ENTRY(IOCTL_SERIAL_SET_HANDFLOW, 16, kNone, 0),
    ENTRY(IOCTL_SERIAL_GET_MODEMSTATUS, kNone, 4, 4),
    ENTRY(IOCTL_SERIAL_GET_COMMSTATUS, kNone, 20, 20),
    ENTRY(IOCTL_SERIAL_GET_PROPERTIES, kNone, 64, 64),
    ENTRY(IOCTL_SERIAL_CONFIG_SIZE, kNone, 4, 4),
};
#undef ENTRY

// Codes of the serial interface (and of the USB driver) the port refuses.
const std::pair<const char *, ULONG> kRefused[] = {
    {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR},   {"RESET_DEVICE", IOCTL_SERIAL_RESET_DEVICE},
    {"XOFF_COUNTER", IOCTL_SERIAL_XOFF_COUNTER},       {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS},
    {"LSRMST_INSERT", IOCTL_SERIAL_LSRMST_INSERT},     {"GET_COMMCONFIG", IOCTL_SERIAL_GET_COMMCONFIG},
    {"SET_COMMCONFIG", IOCTL_SERIAL_SET_COMMCONFIG},   {"GET_STATS", IOCTL_SERIAL_GET_STATS},
    {"CLEAR_STATS", IOCTL_SERIAL_CLEAR_STATS},         {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL},
    {"SET_FIFO_CONTROL", IOCTL_SERIAL_SET_FIFO_CONTROL}, {"USB bulk read", IOCTL_BULK_READ},
    {"USB bulk abort", IOCTL_BULK_ABORT_READ},         {"code 0", 0},
};

// The outcome of one DeviceIoControl, with the status and Information the
// serial driver completed it with.
struct Outcome {
    BOOL ok;
    DWORD error;
    DWORD returned;
    std::vector<std::string> completions;
};

std::string Completed(NTSTATUS status, ULONG information)
{
    return " completed " + harness::StatusName(status) + " Information=" + std::to_string(information);
}

class PortControl : public PortTest, public testing::WithParamInterface<bool> {
protected:
    PortOptions Options() override { return {GetParam()}; }

    void SetUp() override
    {
        PortTest::SetUp();
        port_ = OpenPort();
    }

    // DeviceIoControl on the port, without looking at the drivers.
    Outcome Ioctl(ULONG code, std::vector<UCHAR> input, DWORD outputLength, std::vector<UCHAR> *output = nullptr)
    {
        std::vector<UCHAR> out(outputLength, 0xEE);
        Outcome o;
        o.returned = 0xFFFF;
        o.ok = DeviceIoControl(port_, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                               out.empty() ? nullptr : out.data(), outputLength, &o.returned, nullptr);
        o.error = o.ok ? 0 : GetLastError();
        if (output != nullptr)
            *output = out;
        return o;
    }

    // The same, with the completions of the serial driver.
    Outcome Send(ULONG code, std::vector<UCHAR> input, DWORD outputLength, std::vector<UCHAR> *output = nullptr)
    {
        RequestLog serial("tarvik_serial");
        Outcome o = Ioctl(code, std::move(input), outputLength, output);
        for (std::string &line : serial.TakeCompletions())
            if (line.rfind("IRP_MJ_DEVICE_CONTROL", 0) == 0)
                o.completions.push_back(line);
        return o;
    }

    Outcome Send(ULONG code, DWORD inputLength, DWORD outputLength)
    {
        return Send(code, std::vector<UCHAR>(inputLength, 0), outputLength);
    }

    template <class T>
    T Get(ULONG code)
    {
        std::vector<UCHAR> out;
        Outcome o = Send(code, {}, sizeof(T), &out);
        EXPECT_TRUE(o.ok) << o.error;
        T value{};
        memcpy(&value, out.data(), sizeof value);
        return value;
    }

    template <class T>
    void Set(ULONG code, const T &value)
    {
        std::vector<UCHAR> in(sizeof value);
        memcpy(in.data(), &value, sizeof value);
        Outcome o = Send(code, in, 0);
        EXPECT_TRUE(o.ok) << o.error;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

ULONG Or0(ULONG minimum) { return minimum == kNone ? 0 : minimum; }

// Every entry with its minimum buffers, with generous ones, and with each
// buffer one byte short; zero-filled input is a valid value for every SET.
TEST_P(PortControl, EveryCodeChecksItsBuffersAndReportsItsLength)
{
    for (const Entry &e : kEntries) {
        SCOPED_TRACE(e.name);
        struct Shape {
            const char *what;
            DWORD in, out;
            bool fits;
        };
        std::vector<Shape> shapes;
        if (e.completesAtOnce) {
            shapes.push_back({"minimum buffers", Or0(e.minInput), Or0(e.minOutput), true});
            shapes.push_back({"generous buffers", Or0(e.minInput) + 12, Or0(e.minOutput) + 64, true});
        }
        if (e.minInput != kNone && e.minInput > 0) {
            shapes.push_back({"input one byte short", e.minInput - 1, Or0(e.minOutput), false});
            shapes.push_back({"no buffers", 0, 0, false});
        }
        if (e.minOutput != kNone && e.minOutput > 0) {
            shapes.push_back({"output one byte short", Or0(e.minInput), e.minOutput - 1, false});
            shapes.push_back({"no buffers", 0, 0, false});
        }
        for (const Shape &s : shapes) {
            SCOPED_TRACE(s.what);
            Outcome o = Send(e.code, s.in, s.out);
            NTSTATUS status = s.fits ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
            ULONG information = s.fits ? e.information : 0;
            EXPECT_EQ(o.ok, s.fits);
            EXPECT_EQ(o.error, s.fits ? 0u : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            if (s.fits) {
                EXPECT_EQ(o.returned, information);
            }
            EXPECT_THAT(o.completions, ElementsAre(EndsWith(Completed(status, information))));
        }
    }
}

// Refused by the port itself, whatever the buffers: nothing is passed down.
TEST_P(PortControl, OtherCodesAreRefusedByThePort)
{
    for (auto [name, code] : kRefused) {
        SCOPED_TRACE(name);
        Outcome o = Send(code, 16, 72);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_THAT(o.completions, ElementsAre(EndsWith(Completed(STATUS_INVALID_PARAMETER, 0))));
    }
}

// What a new device reports before anyone has set anything.
TEST_P(PortControl, SettingsOfANewDevice)
{
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);
    auto line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(std::make_tuple(line.StopBits, line.Parity, line.WordLength), std::make_tuple(0, 0, 8));
    auto chars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(std::vector<UCHAR>(reinterpret_cast<UCHAR *>(&chars), reinterpret_cast<UCHAR *>(&chars) + 6),
              std::vector<UCHAR>(6, 0));
    auto flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(std::make_tuple(flow.ControlHandShake, flow.FlowReplace, flow.XonLimit, flow.XoffLimit),
              std::make_tuple(0u, 0u, 0, 0));
    auto t = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_THAT(std::vector<ULONG>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                    t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
                ElementsAre(15, 5, 10, 20, 20));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_CONFIG_SIZE), 0u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    EXPECT_EQ(Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 512u);
}

// Values are stored as given, without validation, read back unchanged, and
// kept across handles and a stop and restart of the device; a device that
// comes back after being unplugged starts from the defaults.
TEST_P(PortControl, SettingsAreKeptAsGivenUntilTheDeviceGoes)
{
    const ULONG bauds[] = {0, 115200, 0xFFFFFFFF, 12345};
    for (ULONG baud : bauds) {
        Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{baud});
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, baud);
    }
    Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{7, 9, 3});
    Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{1, 2, 3, 4, 5, 6});
    Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0xFFFFFFFF, 0x80000001, -5, 70000});
    Set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{MAXULONG, 0, 1, 2, MAXULONG});

    auto check = [&](const char *when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 12345u);
        auto line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(std::make_tuple(line.StopBits, line.Parity, line.WordLength), std::make_tuple(7, 9, 3));
        auto chars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
        EXPECT_EQ(std::make_tuple(chars.EofChar, chars.ErrorChar, chars.BreakChar, chars.EventChar, chars.XonChar,
                                  chars.XoffChar),
                  std::make_tuple(1, 2, 3, 4, 5, 6));
        auto flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
        EXPECT_EQ(std::make_tuple(flow.ControlHandShake, flow.FlowReplace, flow.XonLimit, flow.XoffLimit),
                  std::make_tuple(0xFFFFFFFFu, 0x80000001u, -5, 70000));
        auto t = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
        EXPECT_THAT(std::vector<ULONG>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                        t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                        t.WriteTotalTimeoutConstant}),
                    ElementsAre(MAXULONG, 0, 1, 2, MAXULONG));
    };
    check("as set");
    Close(port_);
    port_ = OpenPort();
    check("on the next handle");
    ASSERT_EQ(machine_.StopAndRestart(id_), STATUS_SUCCESS);
    check("after a stop and restart");

    Close(port_);
    machine_.Unplug(*printer_);
    printer_ = machine_.PlugPrinter();
    ASSERT_EQ(machine_.DeviceState(id_), "started");
    port_ = OpenPort();
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u) << "a new device";
}

// The two settings that are checked: the receive queue (at most 8192 bytes)
// and the wait mask (no bit above EV_EVENT2).
TEST_P(PortControl, QueueSizeAndWaitMaskAreChecked)
{
    COMMPROP props{};
    ASSERT_TRUE(SetupComm(port_, 8192, 100));
    ASSERT_TRUE(GetCommProperties(port_, &props));
    EXPECT_EQ(props.dwCurrentRxQueue, 8192u);
    EXPECT_FALSE(SetupComm(port_, 8193, 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetCommProperties(port_, &props));
    EXPECT_EQ(props.dwCurrentRxQueue, 8192u) << "a refused size changes nothing";
    ASSERT_TRUE(SetupComm(port_, 0, 0xFFFFFFFF)) << "no receive queue at all, any transmit size";
    ASSERT_TRUE(GetCommProperties(port_, &props));
    EXPECT_EQ(props.dwCurrentRxQueue, 0u);

    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(port_, 0x1FFF));
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, 0x1FFFu);
    EXPECT_FALSE(SetCommMask(port_, 0x2000));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, 0x1FFFu) << "a refused mask changes nothing";
}

TEST_P(PortControl, PropertiesDescribeAPortWithoutHardwareLimits)
{
    COMMPROP p;
    memset(&p, 0xCC, sizeof p);
    p.dwProvSpec1 = 0;  // no room for provider data offered
    ASSERT_TRUE(GetCommProperties(port_, &p)) << GetLastError();
    EXPECT_EQ(p.wPacketLength, 64u);
    EXPECT_EQ(p.wPacketVersion, 2u);
    EXPECT_EQ(p.dwServiceMask, static_cast<DWORD>(SP_SERIALCOMM));
    EXPECT_EQ(p.dwReserved1, 0u);
    EXPECT_EQ(p.dwMaxTxQueue, 0u);
    EXPECT_EQ(p.dwMaxRxQueue, 0u);
    EXPECT_EQ(p.dwMaxBaud, static_cast<DWORD>(BAUD_USER));
    EXPECT_EQ(p.dwProvSubType, static_cast<DWORD>(PST_RS232));
    EXPECT_EQ(p.dwProvCapabilities, static_cast<DWORD>(PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS));
    EXPECT_EQ(p.dwSettableParams, 0u);
    EXPECT_EQ(p.dwSettableBaud, 12000000u) << "the number itself, not BAUD_* bits";
    EXPECT_EQ(p.wSettableData, 0u);
    EXPECT_EQ(p.wSettableStopParity, 0u);
    EXPECT_EQ(p.dwCurrentTxQueue, 0u);
    EXPECT_EQ(p.dwCurrentRxQueue, 512u);
    EXPECT_EQ(p.dwProvSpec1, 0u);
    EXPECT_EQ(p.dwProvSpec2, 0u);
    EXPECT_EQ(p.wcProvChar[0], 0);

    ASSERT_TRUE(SetupComm(port_, 2048, 2048));
    ASSERT_TRUE(GetCommProperties(port_, &p));
    EXPECT_EQ(p.dwCurrentRxQueue, 2048u);
    EXPECT_EQ(p.dwCurrentTxQueue, 0u) << "the transmit size is kept but not reported";
}

// DSR is the printer's "ready": bit 0x08 of the first status byte clear.
// Nothing else of the status bytes shows.
TEST_P(PortControl, ModemStatusFollowsThePrintersReadyBit)
{
    struct Case {
        std::array<UCHAR, 4> status;
        DWORD modem;
    };
    const Case cases[] = {
        {{0x00, 0, 0, 0}, MS_DSR_ON},     {{0x08, 0, 0, 0}, 0},
        {{0xF7, 0xFF, 0xFF, 0xFF}, MS_DSR_ON}, {{0xFF, 0, 0, 0}, 0},
        {{0x00, 0x08, 0x08, 0x08}, MS_DSR_ON}, {{0x18, 0, 0, 0}, 0},
    };
    for (const Case &c : cases) {
        printer_->SetStatusBytes(c.status);
        printer_->ClearControlLog();
        DWORD modem = 0xDEAD;
        ASSERT_TRUE(GetCommModemStatus(port_, &modem));
        EXPECT_EQ(modem, c.modem) << "status byte 0x" << std::hex << int(c.status[0]);
        std::vector<usb::ControlRecord> log = printer_->ControlLog();
        ASSERT_THAT(log, SizeIs(1)) << "one vendor request per query";
        EXPECT_EQ(log[0].setup.bmRequestType, 0xC1) << "device-to-host, vendor, interface";
        EXPECT_EQ(log[0].setup.bRequest, usb::kVendorStatusRequest);
        EXPECT_EQ(log[0].setup.wValue, 0);
        EXPECT_EQ(log[0].setup.wIndex, 0);
        EXPECT_EQ(log[0].setup.wLength, 4);
    }
    printer_->SetReady(false);
    DWORD modem = 0xDEAD;
    ASSERT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem, 0u);
    printer_->SetReady(true);
    ASSERT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem, static_cast<DWORD>(MS_DSR_ON));
}

// ClearCommError: bytes waiting to be read, nothing ever queued for
// transmission (writes go straight to the USB driver, even one the printer
// is holding up), and no write counted as in progress once it is handed down.
TEST_P(PortControl, CommStatusCountsReceivedBytesAndNoTransmitQueue)
{
    Close(port_);
    port_ = OpenPort(FILE_FLAG_OVERLAPPED);
    Receive(port_, "twelve bytes");
    printer_->Printer()->SetOnline(false);
    Overlapped write;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port_, "held up", 7, &n, &write.o));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    DWORD errors = 0xFF;
    COMSTAT stat;
    memset(&stat, 0xFF, sizeof stat);
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 12u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_FALSE(stat.fTxim);
    EXPECT_FALSE(stat.fEof);
    EXPECT_FALSE(stat.fCtsHold || stat.fDsrHold || stat.fRlsdHold || stat.fXoffHold || stat.fXoffSent);

    printer_->Printer()->SetOnline(true);
    ASSERT_TRUE(GetOverlappedResult(port_, &write.o, &n, TRUE));
}

// The printer's own control transfers go through the port unchanged: the
// USB driver answers them, and a request the printer stalls fails.
TEST_P(PortControl, VendorRequestsArePassedToTheUsbDriver)
{
    printer_->SetStatusBytes({0x08, 0x11, 0x22, 0x33});
    printer_->ClearControlLog();
    std::vector<UCHAR> out;
    RequestLog usb("tarvik_usb");
    Outcome in = Ioctl(IOCTL_VENDOR_REQUEST_IN, tarvik::test::VendorBlock(URB_FUNCTION_VENDOR_INTERFACE, usb::kVendorStatusRequest),
                       4, &out);
    EXPECT_TRUE(in.ok) << in.error;
    EXPECT_EQ(in.returned, 4u);
    EXPECT_THAT(out, ElementsAre(0x08, 0x11, 0x22, 0x33));
    EXPECT_THAT(usb.TakeCompletions(), testing::Contains("IRP_MJ_DEVICE_CONTROL 0x22000C" +
                                                          Completed(STATUS_SUCCESS, 4)))
        << "the USB driver answers it";
    ASSERT_THAT(printer_->ControlLog(), SizeIs(1));

    printer_->SetControlHandler([](const usb::SetupPacket &, std::span<const UCHAR>) { return usb::ControlReply{}; });
    printer_->ClearControlLog();
    std::vector<UCHAR> outgoing = tarvik::test::VendorBlock(URB_FUNCTION_CLASS_INTERFACE, 9, 0x0102, 3);
    outgoing.insert(outgoing.end(), {'a', 'b', 'c'});
    Outcome sent = Ioctl(IOCTL_VENDOR_REQUEST_OUT, outgoing, 0);
    EXPECT_TRUE(sent.ok) << sent.error;
    std::vector<usb::ControlRecord> log = printer_->ControlLog();
    ASSERT_THAT(log, SizeIs(1));
    EXPECT_EQ(log[0].setup.bmRequestType, 0x21) << "host-to-device, class, interface";
    EXPECT_EQ(log[0].setup.bRequest, 9);
    EXPECT_EQ(log[0].setup.wValue, 0x0102);
    EXPECT_EQ(log[0].setup.wIndex, 3);
    EXPECT_THAT(log[0].data, ElementsAre('a', 'b', 'c'));
    EXPECT_THAT(usb.Matching("IRP_MJ_DEVICE_CONTROL 0x2200"),
                ElementsAre("IRP_MJ_DEVICE_CONTROL 0x22000C", "IRP_MJ_DEVICE_CONTROL 0x220010"));

    printer_->SetControlHandler({});
    Outcome stalled = Ioctl(IOCTL_VENDOR_REQUEST_IN, tarvik::test::VendorBlock(URB_FUNCTION_VENDOR_DEVICE, 0x42), 8);
    EXPECT_FALSE(stalled.ok);
}

INSTANTIATE_TEST_SUITE_P(Delivery, PortControl, testing::Bool(),
                         [](const auto &info) { return info.param ? "ForcedPending" : "Inline"; });

}  // namespace
}  // namespace winsim::test
