// BuildCommDCB and BuildCommDCBAndTimeouts: mode-command strings into a DCB.
//
// Sources. Microsoft Learn, BuildCommDCBA: the string has the form of the mode
// command's arguments, "COMx[:][baud=b][parity=p][data=d][stop=s]
// [to={on|off}][xon={on|off}][odsr={on|off}][octs={on|off}][dtr={on|off|hs}]
// [rts={on|off|hs|tg}][idsr={on|off}]", or the older "96,n,8,1[,x|p]"; the
// device name is optional but must name a valid device; only the members the
// string affects change, except that the old form sets the flow-control
// members (nothing: XON/XOFF and hardware flow off, DTR and RTS enabled; x:
// XON/XOFF on; p: CTS/DSR flow on, DTR and RTS handshake) and a baud rate of
// 110 brings two stop bits. The finer points come from Wine's conformance
// tests of BuildCommDCB (dlls/kernel32/tests/comm.c), which run on Windows NT:
// DCBlength is not set; a new-form string without stop= always sets the stop
// bits (two only with baud=110); to=on sets WriteTotalTimeoutConstant to
// 60000 and the other four timeouts to 0; the old form takes the mode
// command's two-digit baud rates (11, 30, 60, 12, 24, 48, 96, 19; 15 for 150
// comes from the mode command's documentation) and spaces around its commas;
// COM0 and leading spaces are refused, and a refused string leaves the DCB
// and the timeouts as they were, with ERROR_INVALID_PARAMETER.
#include "serial_recorder.h"

#include <functional>

namespace winsim::test {
namespace {

struct Case {
    const char *text;
    bool accepted;
    std::function<void(DCB &)> change;  // what the string changes
    std::function<void(COMMTIMEOUTS &)> timeouts = nullptr;
};

void Line(DCB &d, DWORD baud, BYTE bits, BYTE parity, BYTE stop)
{
    d.BaudRate = baud;
    d.ByteSize = bits;
    d.Parity = parity;
    d.StopBits = stop;
}

// The old form's flow members.
void NoFlow(DCB &d)
{
    d.fInX = d.fOutX = d.fOutxCtsFlow = d.fOutxDsrFlow = 0;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
}
void XonXoff(DCB &d)
{
    NoFlow(d);
    d.fInX = d.fOutX = 1;
}
void Hardware(DCB &d)
{
    d.fInX = d.fOutX = 0;
    d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
}

void TimeoutsOff(COMMTIMEOUTS &t) { t = COMMTIMEOUTS{}; }
void TimeoutsOn(COMMTIMEOUTS &t) { t = COMMTIMEOUTS{0, 0, 0, 0, 60000}; }

const auto kRefused = [](DCB &) {};

const Case kCases[] = {
    // New form.
    {"baud=9600 parity=e data=5 stop=1 xon=on odsr=off octs=off dtr=on rts=on idsr=on", true,
     [](DCB &d) {
         Line(d, 9600, 5, EVENPARITY, ONESTOPBIT);
         d.fOutX = d.fInX = 1;
         d.fOutxDsrFlow = d.fOutxCtsFlow = 0;
         d.fDtrControl = DTR_CONTROL_ENABLE;
         d.fRtsControl = RTS_CONTROL_ENABLE;
         d.fDsrSensitivity = 1;
     }},
    {"baud=0 parity=M data=6 stop=1.5 xon=off odsr=on octs=ON dtr=off rts=off idsr=OFF", true,
     [](DCB &d) {
         Line(d, 0, 6, MARKPARITY, ONE5STOPBITS);
         d.fOutX = d.fInX = 0;
         d.fOutxDsrFlow = d.fOutxCtsFlow = 1;
         d.fDtrControl = DTR_CONTROL_DISABLE;
         d.fRtsControl = RTS_CONTROL_DISABLE;
         d.fDsrSensitivity = 0;
     }},
    {"BAUD=4000000000 parity=n data=7 stop=2 to=off", true,
     [](DCB &d) { Line(d, 4000000000u, 7, NOPARITY, TWOSTOPBITS); }, TimeoutsOff},
    {"Baud=115200 Parity=O Data=8 To=On", true, [](DCB &d) { Line(d, 115200, 8, ODDPARITY, ONESTOPBIT); },
     TimeoutsOn},
    {"PaRiTy=s           Data=7          DTR=on", true,
     [](DCB &d) {
         d.Parity = SPACEPARITY;
         d.ByteSize = 7;
         d.StopBits = ONESTOPBIT;
         d.fDtrControl = DTR_CONTROL_ENABLE;
     }},
    {"baud=110", true,
     [](DCB &d) {
         d.BaudRate = 110;
         d.StopBits = TWOSTOPBITS;
     }},
    {"baud=110 stop=1", true,
     [](DCB &d) {
         d.BaudRate = 110;
         d.StopBits = ONESTOPBIT;
     }},
    {"baud=96", true,
     [](DCB &d) {
         d.BaudRate = 96;  // the two-digit rates are the old form's
         d.StopBits = ONESTOPBIT;
     }},
    {"dtr=hs rts=tg", true,
     [](DCB &d) {
         d.fDtrControl = DTR_CONTROL_HANDSHAKE;
         d.fRtsControl = RTS_CONTROL_TOGGLE;
         d.StopBits = ONESTOPBIT;
     }},
    {"rts=hs", true,
     [](DCB &d) {
         d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         d.StopBits = ONESTOPBIT;
     }},
    {"data=4", false, kRefused},
    {"data=9", false, kRefused},
    {"parity=no", false, kRefused},
    {"stop=0", false, kRefused},
    {"stop=1.501", false, kRefused},
    {"stop=3", false, kRefused},
    {"to=foobar", false, kRefused},
    {"dtr=tg", false, kRefused},
    {" baud=9600", false, kRefused},
    {"baud= 9600", false, kRefused},
    {"baud=9600,data=8", false, kRefused},
    {"speed=9600", false, kRefused},
    // Old form.
    {"11,n,8,1", true, [](DCB &d) { Line(d, 110, 8, NOPARITY, ONESTOPBIT), NoFlow(d); }},
    {"15,n,8,1", true, [](DCB &d) { Line(d, 150, 8, NOPARITY, ONESTOPBIT), NoFlow(d); }},
    {"30 ,E, 5,1.5", true, [](DCB &d) { Line(d, 300, 5, EVENPARITY, ONE5STOPBITS), NoFlow(d); }},
    {"60, m, 6, 2 ", true, [](DCB &d) { Line(d, 600, 6, MARKPARITY, TWOSTOPBITS), NoFlow(d); }},
    {"12 , o , 7 , 1", true, [](DCB &d) { Line(d, 1200, 7, ODDPARITY, ONESTOPBIT), NoFlow(d); }},
    {"24,s,8,1.5", true, [](DCB &d) { Line(d, 2400, 8, SPACEPARITY, ONE5STOPBITS), NoFlow(d); }},
    {"48,n,8,1,p", true, [](DCB &d) { Line(d, 4800, 8, NOPARITY, ONESTOPBIT), Hardware(d); }},
    {"96,N,8,1 , x ", true, [](DCB &d) { Line(d, 9600, 8, NOPARITY, ONESTOPBIT), XonXoff(d); }},
    {"19, e, 7, 1, x", true, [](DCB &d) { Line(d, 19200, 7, EVENPARITY, ONESTOPBIT), XonXoff(d); }},
    {"0,M,7,1,P", true, [](DCB &d) { Line(d, 0, 7, MARKPARITY, ONESTOPBIT), Hardware(d); }},
    {"4000000000,O,7,1.5,X", true, [](DCB &d) { Line(d, 4000000000u, 7, ODDPARITY, ONE5STOPBITS), XonXoff(d); }},
    {"9600,n,8,1", true, [](DCB &d) { Line(d, 9600, 8, NOPARITY, ONESTOPBIT), NoFlow(d); }},
    {"96,N,8,1 to=on", false, kRefused},
    {"96,NO,8,1", false, kRefused},
    {"96,N,4,1", false, kRefused},
    {"96,N,9,1", false, kRefused},
    {"96,N,8,0", false, kRefused},
    {"96,N,8,3", false, kRefused},
    {"96,N,8,1,K", false, kRefused},
    {"96,N,8", false, kRefused},
    // A device name: COM7 is the fixture's port, COM8 does not exist.
    {"COM7:baud=38400 data=8", true,
     [](DCB &d) {
         d.BaudRate = 38400;
         d.ByteSize = 8;
         d.StopBits = ONESTOPBIT;
     }},
    {"com7:baud=38400", true,
     [](DCB &d) {
         d.BaudRate = 38400;
         d.StopBits = ONESTOPBIT;
     }},
    {"COM7  :to=on stop=1.5", true, [](DCB &d) { d.StopBits = ONE5STOPBITS; }, TimeoutsOn},
    {"COM7:               baud=12345     data=7", true,
     [](DCB &d) {
         d.BaudRate = 12345;
         d.ByteSize = 7;
         d.StopBits = ONESTOPBIT;
     }},
    {"COM7 : xon=on odsr=off", true,
     [](DCB &d) {
         d.fOutX = d.fInX = 1;
         d.fOutxDsrFlow = 0;
         d.StopBits = ONESTOPBIT;
     }},
    {"COM7:9600,N,8,1", true, [](DCB &d) { Line(d, 9600, 8, NOPARITY, ONESTOPBIT), NoFlow(d); }},
    {"COM7:  11,E,7,2", true, [](DCB &d) { Line(d, 110, 7, EVENPARITY, TWOSTOPBITS), NoFlow(d); }},
    {"COM7  :    57600,S,6,2,x", true, [](DCB &d) { Line(d, 57600, 6, SPACEPARITY, TWOSTOPBITS), XonXoff(d); }},
    {"COM0:baud=115200", false, kRefused},
    {"COM0:9600,N,8,1", false, kRefused},
    {"COM8:baud=9600", false, kRefused},
    {"COM7baud=9600", false, kRefused},
};

std::u16string Wide(const char *text)
{
    std::u16string out;
    while (*text)
        out += static_cast<char16_t>(*text++);
    return out;
}

class BuildDcb : public SerialPortTest {};

TEST_F(BuildDcb, ModeStringsChangeOnlyWhatTheyName)
{
    for (const Case &c : kCases) {
        for (int fill : {0x00, 0xFF}) {
            for (bool wide : {false, true}) {
                for (bool withTimeouts : {false, true}) {
                    SCOPED_TRACE(std::string("\"") + c.text + "\" over 0x" + (fill ? "ff" : "00") +
                                 (wide ? ", wide" : "") + (withTimeouts ? ", with timeouts" : ""));
                    DCB dcb, expected;
                    memset(&dcb, fill, sizeof dcb);
                    memset(&expected, fill, sizeof expected);
                    COMMTIMEOUTS timeouts, expectedTimeouts;
                    memset(&timeouts, fill, sizeof timeouts);
                    memset(&expectedTimeouts, fill, sizeof expectedTimeouts);
                    if (c.accepted) {
                        c.change(expected);
                        if (c.timeouts && withTimeouts)
                            c.timeouts(expectedTimeouts);
                    }
                    std::u16string text = Wide(c.text);
                    SetLastError(0xDEADBEEF);
                    BOOL result;
                    if (withTimeouts)
                        result = wide ? BuildCommDCBAndTimeoutsW(reinterpret_cast<LPCWSTR>(text.c_str()), &dcb,
                                                                 &timeouts)
                                      : BuildCommDCBAndTimeoutsA(c.text, &dcb, &timeouts);
                    else
                        result = wide ? BuildCommDCBW(reinterpret_cast<LPCWSTR>(text.c_str()), &dcb)
                                      : BuildCommDCBA(c.text, &dcb);
                    EXPECT_EQ(result, c.accepted ? TRUE : FALSE);
                    if (!c.accepted) {
                        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
                    }
                    EXPECT_EQ(DcbFields(dcb), DcbFields(expected));
                    EXPECT_EQ(memcmp(&dcb, &expected, sizeof dcb), 0) << "a member outside the named ones changed";
                    EXPECT_EQ(memcmp(&timeouts, &expectedTimeouts, sizeof timeouts), 0);
                }
            }
        }
    }
}

TEST_F(BuildDcb, BuiltStateReachesThePortThroughSetCommState)
{
    HANDLE port = OpenPort();
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    ASSERT_TRUE(BuildCommDCBA("COM7:19200,e,7,2,p", &dcb));
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB read;
    ASSERT_TRUE(GetCommState(port, &read));
    EXPECT_EQ(read.BaudRate, 19200u);
    EXPECT_EQ(read.ByteSize, 7);
    EXPECT_EQ(read.Parity, EVENPARITY);
    EXPECT_EQ(read.StopBits, TWOSTOPBITS);
    EXPECT_EQ(read.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(read.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(read.fOutxCtsFlow, 1u);
}

}  // namespace
}  // namespace winsim::test
