// GetCommState and SetCommState: the serial requests behind a DCB.
//
// Sources. The request order is Windows kernel32's as Sysinternals Portmon
// logs of Windows programs show it (published logs of a dial-up session and of
// a PLC gateway): GetCommState is GET_BAUD_RATE, GET_LINE_CONTROL, GET_CHARS,
// GET_HANDFLOW; SetCommState starts with those four reads, then sends
// SET_BAUD_RATE, SET_RTS or CLR_RTS, SET_DTR or CLR_DTR (neither for
// handshake control: "Shake:9 Replace:80" was followed by SET_DTR alone),
// SET_LINE_CONTROL, SET_CHAR, SET_HANDFLOW. The DCB <-> SERIAL_HANDFLOW bit
// mapping follows the DCB and SERIAL_HANDFLOW pages of Microsoft Learn, with
// Wine's kernel32 comm.c as second opinion (RTS_CONTROL_TOGGLE is
// SERIAL_RTS_CONTROL | SERIAL_RTS_HANDSHAKE, fTXContinueOnXoff is
// SERIAL_XOFF_CONTINUE, GetCommState reports fBinary 1 and fParity 0).
// XonChar equal to XoffChar is refused by the serial driver (Microsoft Learn,
// IOCTL_SERIAL_SET_CHARS: STATUS_INVALID_PARAMETER "indicates that XoffChar
// equals XonChar"), not by kernel32.
#include "serial_recorder.h"

namespace winsim::test {
namespace {

const std::vector<std::string> kStateReads = {
    Request("GET_BAUD_RATE", {}, 4),
    Request("GET_LINE_CONTROL", {}, 3),
    Request("GET_CHARS", {}, 6),
    Request("GET_HANDFLOW", {}, 16),
};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The handshake and flow-control members of a DCB.
struct FlowMembers {
    unsigned dtr = 0, rts = 0;
    bool cts = false, dsr = false, dsrSensitivity = false, abortOnError = false, outX = false, inX = false,
         errorChar = false, null = false, txContinueOnXoff = false;
};

void SetFlow(DCB *d, const FlowMembers &f)
{
    d->fDtrControl = f.dtr;
    d->fRtsControl = f.rts;
    d->fOutxCtsFlow = f.cts;
    d->fOutxDsrFlow = f.dsr;
    d->fDsrSensitivity = f.dsrSensitivity;
    d->fAbortOnError = f.abortOnError;
    d->fOutX = f.outX;
    d->fInX = f.inX;
    d->fErrorChar = f.errorChar;
    d->fNull = f.null;
    d->fTXContinueOnXoff = f.txContinueOnXoff;
}

// One mapping between the DCB's members and the driver's handshake words,
// pinned in both directions.
struct FlowCase {
    const char *name;
    FlowMembers members;
    ULONG controlHandShake, flowReplace;
};

const FlowCase kFlowCases[] = {
    {"no handshake, lines off", {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE}, 0, 0},
    {"DTR and RTS on", {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE}, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL},
    {"hardware handshake",
     {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, true, true},
     SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE,
     SERIAL_RTS_HANDSHAKE},
    {"RTS toggles around transmission", {DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE}, SERIAL_DTR_CONTROL,
     SERIAL_TRANSMIT_TOGGLE},
    {"XON/XOFF both ways, sending on after XOFF",
     {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false, false, false, true, true, false, false, true},
     0,
     SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE},
    {"error handling",
     {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false, true, true, false, false, true, true, false},
     SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
     SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING},
};

class CommState : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        port_ = OpenPort();
    }

    // Scripts the four reads to describe this state.
    void ScriptState(ULONG baud, SERIAL_LINE_CONTROL line, SERIAL_CHARS chars, SERIAL_HANDFLOW handflow)
    {
        Script(IOCTL_SERIAL_GET_BAUD_RATE, STATUS_SUCCESS, BytesOf(SERIAL_BAUD_RATE{baud}));
        Script(IOCTL_SERIAL_GET_LINE_CONTROL, STATUS_SUCCESS, BytesOf(line));
        Script(IOCTL_SERIAL_GET_CHARS, STATUS_SUCCESS, BytesOf(chars));
        Script(IOCTL_SERIAL_GET_HANDFLOW, STATUS_SUCCESS, BytesOf(handflow));
    }

    static DCB PlainDcb()
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.fBinary = 1;
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        return dcb;
    }

    // The requests that apply the state of PlainDcb with the given flow members.
    static std::vector<std::string> PlainWrites(std::vector<std::string> lines, ULONG control, ULONG replace)
    {
        std::vector<std::string> writes{Request("SET_BAUD_RATE", BytesOf(SERIAL_BAUD_RATE{115200}))};
        writes.insert(writes.end(), lines.begin(), lines.end());
        writes.push_back(Request("SET_LINE_CONTROL", BytesOf(SERIAL_LINE_CONTROL{ONESTOPBIT, NOPARITY, 8})));
        writes.push_back(Request("SET_CHARS", BytesOf(SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13})));
        writes.push_back(Request("SET_HANDFLOW", BytesOf(SERIAL_HANDFLOW{control, replace, 2048, 512})));
        return writes;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(CommState, GetCommStateReadsFourSettingsAndFillsTheDcb)
{
    ScriptState(57600, SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7},
                SERIAL_CHARS{0x1A, 0x3F, 0x05, 0x7E, 0x11, 0x13},
                SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 1000, 200});
    DCB dcb;
    memset(&dcb, 0xCC, sizeof dcb);
    ASSERT_TRUE(GetCommState(port_, &dcb)) << GetLastError();
    EXPECT_EQ(TakeLog(), kStateReads);

    DCB expected{};
    expected.DCBlength = sizeof(DCB);
    expected.fBinary = 1;
    expected.BaudRate = 57600;
    expected.StopBits = TWOSTOPBITS;
    expected.Parity = EVENPARITY;
    expected.ByteSize = 7;
    expected.EofChar = 0x1A;
    expected.ErrorChar = 0x3F;
    expected.EvtChar = 0x7E;
    expected.XonChar = 0x11;
    expected.XoffChar = 0x13;
    expected.fDtrControl = DTR_CONTROL_ENABLE;
    expected.fOutxCtsFlow = 1;
    expected.fRtsControl = RTS_CONTROL_HANDSHAKE;
    expected.XonLim = 1000;
    expected.XoffLim = 200;
    EXPECT_EQ(DcbFields(dcb), DcbFields(expected));
    EXPECT_EQ(dcb.fDummy2, 0u);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.wReserved1, 0);
}

TEST_F(CommState, GetCommStateMapsTheHandshakeWords)
{
    for (const FlowCase &c : kFlowCases) {
        SCOPED_TRACE(c.name);
        ScriptState(9600, SERIAL_LINE_CONTROL{0, 0, 8}, SERIAL_CHARS{}, SERIAL_HANDFLOW{c.controlHandShake,
                                                                                          c.flowReplace, 0, 0});
        DCB dcb;
        ASSERT_TRUE(GetCommState(port_, &dcb));
        DCB expected = dcb;
        SetFlow(&expected, c.members);
        EXPECT_EQ(DcbFields(dcb), DcbFields(expected));
        TakeLog();
    }
}

TEST_F(CommState, SetCommStateReadsTheStateThenWritesEverySetting)
{
    for (const FlowCase &c : kFlowCases) {
        SCOPED_TRACE(c.name);
        DCB dcb = PlainDcb();
        SetFlow(&dcb, c.members);
        ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
        std::vector<std::string> lines;
        if (c.members.rts == RTS_CONTROL_ENABLE)
            lines.push_back("SET_RTS");
        if (c.members.rts == RTS_CONTROL_DISABLE)
            lines.push_back("CLR_RTS");
        if (c.members.dtr == DTR_CONTROL_ENABLE)
            lines.push_back("SET_DTR");
        if (c.members.dtr == DTR_CONTROL_DISABLE)
            lines.push_back("CLR_DTR");
        EXPECT_EQ(TakeLog(), Join(kStateReads, PlainWrites(lines, c.controlHandShake, c.flowReplace)));
    }
}

// The modem lines a DCB fixes are set between the baud rate and the line
// control, RTS before DTR; lines under handshake or toggle control are left
// to the driver.
TEST_F(CommState, SetCommStateSetsOnlyTheLinesTheDcbFixes)
{
    struct Case {
        unsigned dtr, rts;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, {"SET_RTS", "SET_DTR"}},
        {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, {"CLR_RTS", "CLR_DTR"}},
        {DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, {"SET_DTR"}},
        {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, {"SET_RTS"}},
        {DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE, {"CLR_DTR"}},
        {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("dtr " + std::to_string(c.dtr) + " rts " + std::to_string(c.rts));
        DCB dcb = PlainDcb();
        dcb.fDtrControl = c.dtr;
        dcb.fRtsControl = c.rts;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        auto log = TakeLog();
        ASSERT_EQ(log.size(), kStateReads.size() + 4 + c.lines.size());
        std::vector<std::string> between(log.begin() + 5, log.begin() + 5 + c.lines.size());
        EXPECT_EQ(between, c.lines);
    }
}

// kernel32 reads the state before writing it: the members a DCB has no room
// for (the break character, DCD handshake, break character insertion) are
// written back as the port has them.
TEST_F(CommState, SetCommStateKeepsWhatTheDcbCannotExpress)
{
    ScriptState(9600, SERIAL_LINE_CONTROL{0, 0, 8}, SERIAL_CHARS{0, 0, 0x05, 0, 0x11, 0x13},
                SERIAL_HANDFLOW{SERIAL_DCD_HANDSHAKE, SERIAL_BREAK_CHAR, 0, 0});
    DCB dcb = PlainDcb();
    ASSERT_TRUE(SetCommState(port_, &dcb));
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 10u);
    EXPECT_EQ(log[8], Request("SET_CHARS", BytesOf(SERIAL_CHARS{0, 0, 0x05, 0, 0x11, 0x13})));
    EXPECT_EQ(log[9], Request("SET_HANDFLOW",
                              BytesOf(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_DCD_HANDSHAKE,
                                                      SERIAL_RTS_CONTROL | SERIAL_BREAK_CHAR, 2048, 512})));
}

// A failed write puts the port back: the state read at the start is written
// again in full, and the first failure is what the caller sees. A failed read
// changes nothing.
TEST_F(CommState, SetCommStateFailureRestoresTheStateItRead)
{
    const SERIAL_LINE_CONTROL oldLine{STOP_BITS_2, ODD_PARITY, 7};
    const SERIAL_CHARS oldChars{0, 0, 0, 0, 0x11, 0x13};
    const SERIAL_HANDFLOW oldFlow{SERIAL_DTR_CONTROL, 0, 100, 100};
    const std::vector<std::string> restore = {
        Request("SET_BAUD_RATE", BytesOf(SERIAL_BAUD_RATE{300})), "CLR_RTS", "SET_DTR",
        Request("SET_LINE_CONTROL", BytesOf(oldLine)),           Request("SET_CHARS", BytesOf(oldChars)),
        Request("SET_HANDFLOW", BytesOf(oldFlow)),
    };
    const std::vector<std::string> writes = PlainWrites({"SET_RTS", "SET_DTR"}, SERIAL_DTR_CONTROL,
                                                        SERIAL_RTS_CONTROL);
    struct Case {
        ULONG failing;
        NTSTATUS status;
        DWORD error;
        size_t requestsSent;  // up to and including the failing one
        bool restored;
    };
    const Case cases[] = {
        {IOCTL_SERIAL_GET_CHARS, STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE, 3, false},
        {IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, 5, true},
        {IOCTL_SERIAL_SET_DTR, STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, 7, true},
        {IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, 8, true},
        {IOCTL_SERIAL_SET_HANDFLOW, STATUS_CANCELLED, ERROR_OPERATION_ABORTED, 10, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(RequestName(c.failing));
        ScriptState(300, oldLine, oldChars, oldFlow);
        Script(c.failing, Answer{c.status, {}, RECORDER_COMPLETE_INLINE, 1});
        DCB dcb = PlainDcb();
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port_, &dcb));
        EXPECT_EQ(GetLastError(), c.error);
        std::vector<std::string> expected = Join(kStateReads, writes);
        expected.resize(c.requestsSent);
        if (c.restored)
            expected = Join(expected, restore);
        EXPECT_EQ(TakeLog(), expected);
    }
}

TEST_F(CommState, EqualXonAndXoffCharactersAreTheDriversToRefuse)
{
    DCB dcb = PlainDcb();
    dcb.XonChar = dcb.XoffChar = 0;
    EXPECT_TRUE(SetCommState(port_, &dcb));
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 10u);
    EXPECT_EQ(log[8], Request("SET_CHARS", BytesOf(SERIAL_CHARS{})));
}

TEST_F(CommState, InvalidArgumentsSendNothing)
{
    DCB dcb = PlainDcb();
    dcb.fDtrControl = 3;  // no such DTR control
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetCommState(port_, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetCommState(port_, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(TakeLog().empty());
}

// Whatever SetCommState writes, GetCommState reads back as the same DCB
// (with DCBlength and fBinary as GetCommState reports them).
TEST_F(CommState, StateWrittenIsStateReadBack)
{
    for (const FlowCase &c : kFlowCases) {
        SCOPED_TRACE(c.name);
        DCB written = PlainDcb();
        SetFlow(&written, c.members);
        written.BaudRate = 12345;
        written.ByteSize = 6;
        written.Parity = MARKPARITY;
        written.StopBits = ONE5STOPBITS;
        written.EofChar = 0x1A;
        written.ErrorChar = 0x3F;
        written.EvtChar = 0x7E;
        written.XonLim = 7;
        written.XoffLim = 9;
        ASSERT_TRUE(SetCommState(port_, &written));
        DCB read;
        ASSERT_TRUE(GetCommState(port_, &read));
        EXPECT_EQ(DcbFields(read), DcbFields(written));
        TakeLog();
    }
}

}  // namespace
}  // namespace winsim::test
