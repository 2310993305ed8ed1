// The communications functions that are one serial request each: which
// request, with which buffers, and how its answer comes back.
//
// Sources. Microsoft Learn, for each function and for the serial control
// codes: PurgeComm's PURGE_* and SetCommMask's EV_* are the SERIAL_PURGE_* and
// SERIAL_EV_* values; SetupComm is IOCTL_SERIAL_SET_QUEUE_SIZE with
// SERIAL_QUEUE_SIZE {InSize, OutSize}; TransmitCommChar is
// IOCTL_SERIAL_IMMEDIATE_CHAR with the one character; EscapeCommFunction's
// SETXOFF..CLRBREAK are SET_XOFF, SET_XON, SET_RTS, CLR_RTS, SET_DTR,
// CLR_DTR, SET_BREAK_ON and SET_BREAK_OFF, and RESETDEV (winbase.h: "reset
// device if possible") is IOCTL_SERIAL_RESET_DEVICE as in Wine's kernel32;
// the COMMPROP page: dwProvSpec1 = COMMPROP_INITIALIZED "indicate[s] that the
// wPacketLength member is already valid". GetCommModemStatus passes the
// driver's modem status on unchanged (MS_*_ON are the SERIAL_*_STATE bits;
// Wine's conformance tests note that Windows XP also returns bits of the low
// nibble). ClearCommError: SERIAL_ERROR_BREAK/FRAMING/OVERRUN/QUEUEOVERRUN/
// PARITY are CE_BREAK/FRAME/OVERRUN/RXOVER/RXPARITY and the HoldReasons
// SERIAL_TX_WAITING_FOR_CTS/DSR/DCD/XON and SERIAL_TX_WAITING_XOFF_SENT are
// fCtsHold/fDsrHold/fRlsdHold/fXoffHold/fXoffSent (COMSTAT and SERIAL_STATUS
// pages; Wine's comm.c agrees). Results: kernel32 reports a request as
// DeviceIoControl does, so a success status such as STATUS_TIMEOUT is TRUE
// with the output delivered, and an error status is FALSE with
// RtlNtStatusToDosError's code (STATUS_CANCELLED: ERROR_OPERATION_ABORTED).
#include "serial_recorder.h"

#include <functional>

namespace winsim::test {
namespace {

class CommRequests : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        port_ = OpenPort();
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

struct OneRequest {
    const char *name;
    std::function<BOOL(HANDLE)> call;
    ULONG code;
    Bytes input;
    ULONG outputLength;

    std::string Expected() const;
};

std::string OneRequest::Expected() const { return Request(RequestName(code), input, outputLength); }

std::vector<OneRequest> OneRequestCases()
{
    static DWORD word;
    static COMMTIMEOUTS timeouts;
    static COMMPROP prop;
    static DWORD errors;
    static COMSTAT stat;
    return {
        {"SetCommTimeouts",
         [](HANDLE h) {
             COMMTIMEOUTS t{0xFFFFFFFF, 2, 3, 4, 5};
             return SetCommTimeouts(h, &t);
         },
         IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{MAXULONG, 2, 3, 4, 5}), 0},
        {"GetCommTimeouts", [](HANDLE h) { return GetCommTimeouts(h, &timeouts); }, IOCTL_SERIAL_GET_TIMEOUTS, {}, 20},
        {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR | EV_TXEMPTY | EV_ERR); },
         IOCTL_SERIAL_SET_WAIT_MASK, Bytes{0x85, 0, 0, 0}, 0},
        {"GetCommMask", [](HANDLE h) { return GetCommMask(h, &word); }, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4},
        {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR); }, IOCTL_SERIAL_PURGE,
         Bytes{0x0A, 0, 0, 0}, 0},
        {"SetupComm", [](HANDLE h) { return SetupComm(h, 4096, 1024); }, IOCTL_SERIAL_SET_QUEUE_SIZE,
         BytesOf(SERIAL_QUEUE_SIZE{4096, 1024}), 0},
        {"SetCommBreak", [](HANDLE h) { return SetCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
        {"ClearCommBreak", [](HANDLE h) { return ClearCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
        {"TransmitCommChar", [](HANDLE h) { return TransmitCommChar(h, 'A'); }, IOCTL_SERIAL_IMMEDIATE_CHAR,
         Bytes{0x41}, 0},
        {"GetCommModemStatus", [](HANDLE h) { return GetCommModemStatus(h, &word); }, IOCTL_SERIAL_GET_MODEMSTATUS,
         {}, 4},
        {"GetCommProperties",
         [](HANDLE h) {
             prop = COMMPROP{};
             return GetCommProperties(h, &prop);
         },
         IOCTL_SERIAL_GET_PROPERTIES, {}, 64},
        {"ClearCommError", [](HANDLE h) { return ClearCommError(h, &errors, &stat); }, IOCTL_SERIAL_GET_COMMSTATUS,
         {}, 20},
        {"EscapeCommFunction(SETXOFF)", [](HANDLE h) { return EscapeCommFunction(h, SETXOFF); },
         IOCTL_SERIAL_SET_XOFF, {}, 0},
        {"EscapeCommFunction(SETXON)", [](HANDLE h) { return EscapeCommFunction(h, SETXON); }, IOCTL_SERIAL_SET_XON,
         {}, 0},
        {"EscapeCommFunction(SETRTS)", [](HANDLE h) { return EscapeCommFunction(h, SETRTS); }, IOCTL_SERIAL_SET_RTS,
         {}, 0},
        {"EscapeCommFunction(CLRRTS)", [](HANDLE h) { return EscapeCommFunction(h, CLRRTS); }, IOCTL_SERIAL_CLR_RTS,
         {}, 0},
        {"EscapeCommFunction(SETDTR)", [](HANDLE h) { return EscapeCommFunction(h, SETDTR); }, IOCTL_SERIAL_SET_DTR,
         {}, 0},
        {"EscapeCommFunction(CLRDTR)", [](HANDLE h) { return EscapeCommFunction(h, CLRDTR); }, IOCTL_SERIAL_CLR_DTR,
         {}, 0},
        {"EscapeCommFunction(RESETDEV)", [](HANDLE h) { return EscapeCommFunction(h, RESETDEV); },
         IOCTL_SERIAL_RESET_DEVICE, {}, 0},
        {"EscapeCommFunction(SETBREAK)", [](HANDLE h) { return EscapeCommFunction(h, SETBREAK); },
         IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
        {"EscapeCommFunction(CLRBREAK)", [](HANDLE h) { return EscapeCommFunction(h, CLRBREAK); },
         IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
    };
}

TEST_F(CommRequests, EachFunctionSendsItsOneRequest)
{
    for (const OneRequest &c : OneRequestCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.call(port_)) << GetLastError();
        EXPECT_EQ(TakeLog(), std::vector<std::string>{c.Expected()});
    }
}

struct Outcome {
    NTSTATUS status;
    BOOL result;
    DWORD error;  // when the result is FALSE
};

const Outcome kOutcomes[] = {
    {STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER},
    {STATUS_BUFFER_TOO_SMALL, FALSE, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_CANCELLED, FALSE, ERROR_OPERATION_ABORTED},
    {STATUS_IO_DEVICE_ERROR, FALSE, ERROR_IO_DEVICE},
    {STATUS_NOT_SUPPORTED, FALSE, ERROR_NOT_SUPPORTED},
    {STATUS_TIMEOUT, TRUE, 0},
    {STATUS_SUCCESS, TRUE, 0},
};

// Every function, every outcome, answered at once or later from a worker
// thread, on a handle opened with and without FILE_FLAG_OVERLAPPED: the
// functions take no OVERLAPPED, so on an overlapped handle kernel32 waits
// for a pended request with an event of its own.
TEST_F(CommRequests, TheDriversStatusDecidesTheResult)
{
    HANDLE overlappedPort = OpenPort(true);
    for (HANDLE port : {port_, overlappedPort}) {
        for (ULONG how : {RECORDER_COMPLETE_INLINE, RECORDER_COMPLETE_LATER}) {
            for (const OneRequest &c : OneRequestCases()) {
                for (const Outcome &o : kOutcomes) {
                    SCOPED_TRACE(std::string(c.name) + (port == port_ ? "" : " on an overlapped handle") +
                                 (how == RECORDER_COMPLETE_LATER ? " pended" : "") + ", status " +
                                 std::to_string(o.status));
                    ULONG information = o.result ? c.outputLength : 0;
                    Script(c.code, Answer{o.status, Bytes(information), how, 1});
                    SetLastError(0xDEADBEEF);
                    BOOL result = c.call(port);
                    EXPECT_EQ(result, o.result);
                    if (!o.result) {
                        EXPECT_EQ(GetLastError(), o.error);
                    }
                    EXPECT_EQ(TakeLog(), std::vector<std::string>{c.Expected()});
                }
            }
        }
    }
}

TEST_F(CommRequests, SuccessStatusesDeliverTheOutput)
{
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_TIMEOUT}) {
        SCOPED_TRACE(status);
        Script(IOCTL_SERIAL_GET_MODEMSTATUS, status, BytesOf(ULONG{0x000000B1}));
        DWORD modem = 0;
        ASSERT_TRUE(GetCommModemStatus(port_, &modem));
        EXPECT_EQ(modem, 0xB1u);  // CTS, RLSD and a delta bit, as the driver gave them
    }
}

TEST_F(CommRequests, GetCommTimeoutsCopiesTheFiveValues)
{
    Script(IOCTL_SERIAL_GET_TIMEOUTS, STATUS_SUCCESS, BytesOf(SERIAL_TIMEOUTS{10, 20, 30, 40, 50}));
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port_, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 20u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 40u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 50u);
}

TEST_F(CommRequests, ClearCommErrorTranslatesTheDriversStatus)
{
    struct Case {
        const char *name;
        ULONG errors = 0, holdReasons = 0, inQueue = 0, outQueue = 0;
        BOOLEAN eof = FALSE, immediate = FALSE;
        DWORD commErrors = 0;
        unsigned ctsHold = 0, dsrHold = 0, rlsdHold = 0, xoffHold = 0, xoffSent = 0, fEof = 0, fTxim = 0;
    };
    const Case cases[] = {
        {.name = "nothing to report"},
        {.name = "break", .errors = SERIAL_ERROR_BREAK, .commErrors = CE_BREAK},
        {.name = "framing", .errors = SERIAL_ERROR_FRAMING, .commErrors = CE_FRAME},
        {.name = "overrun", .errors = SERIAL_ERROR_OVERRUN, .commErrors = CE_OVERRUN},
        {.name = "receive queue overrun", .errors = SERIAL_ERROR_QUEUEOVERRUN, .commErrors = CE_RXOVER},
        {.name = "parity", .errors = SERIAL_ERROR_PARITY, .commErrors = CE_RXPARITY},
        {.name = "all errors", .errors = 0x1F, .commErrors = CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY},
        {.name = "waiting for CTS", .holdReasons = SERIAL_TX_WAITING_FOR_CTS, .ctsHold = 1},
        {.name = "waiting for DSR", .holdReasons = SERIAL_TX_WAITING_FOR_DSR, .dsrHold = 1},
        {.name = "waiting for DCD", .holdReasons = SERIAL_TX_WAITING_FOR_DCD, .rlsdHold = 1},
        {.name = "waiting for XON", .holdReasons = SERIAL_TX_WAITING_FOR_XON, .xoffHold = 1},
        {.name = "XOFF sent", .holdReasons = SERIAL_TX_WAITING_XOFF_SENT, .xoffSent = 1},
        {.name = "waiting on break, for DSR on receive",
         .holdReasons = SERIAL_TX_WAITING_ON_BREAK | SERIAL_RX_WAITING_FOR_DSR},
        {.name = "queues", .inQueue = 17, .outQueue = 4},
        {.name = "end of file", .eof = TRUE, .fEof = 1},
        {.name = "immediate character waiting", .immediate = TRUE, .fTxim = 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SERIAL_STATUS status{};
        status.Errors = c.errors;
        status.HoldReasons = c.holdReasons;
        status.AmountInInQueue = c.inQueue;
        status.AmountInOutQueue = c.outQueue;
        status.EofReceived = c.eof;
        status.WaitForImmediate = c.immediate;
        Script(IOCTL_SERIAL_GET_COMMSTATUS, STATUS_SUCCESS, BytesOf(status));
        DWORD errors = 0xDEADBEEF;
        COMSTAT stat;
        memset(&stat, 0xFF, sizeof stat);
        ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
        EXPECT_EQ(errors, c.commErrors);
        EXPECT_EQ(stat.fCtsHold, c.ctsHold);
        EXPECT_EQ(stat.fDsrHold, c.dsrHold);
        EXPECT_EQ(stat.fRlsdHold, c.rlsdHold);
        EXPECT_EQ(stat.fXoffHold, c.xoffHold);
        EXPECT_EQ(stat.fXoffSent, c.xoffSent);
        EXPECT_EQ(stat.fEof, c.fEof);
        EXPECT_EQ(stat.fTxim, c.fTxim);
        EXPECT_EQ(stat.fReserved, 0u);
        EXPECT_EQ(stat.cbInQue, c.inQueue);
        EXPECT_EQ(stat.cbOutQue, c.outQueue);
    }
    // Either output may be left out.
    EXPECT_TRUE(ClearCommError(port_, nullptr, nullptr));
}

TEST_F(CommRequests, GetCommPropertiesAsksForTheRoomTheCallerDeclares)
{
    COMMPROP prop{};
    ASSERT_TRUE(GetCommProperties(port_, &prop));
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(prop.dwProvSubType, PST_RS232);
    EXPECT_EQ(prop.dwMaxBaud, BAUD_USER);
    EXPECT_EQ(prop.dwProvCapabilities, PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS);

    struct {
        COMMPROP prop;
        BYTE providerData[16];
    } larger{};
    larger.prop.wPacketLength = sizeof larger;
    larger.prop.dwProvSpec1 = COMMPROP_INITIALIZED;
    TakeLog();
    ASSERT_TRUE(GetCommProperties(port_, &larger.prop));
    EXPECT_EQ(TakeLog(), std::vector<std::string>{Request("GET_PROPERTIES", {}, sizeof larger)});

    // wPacketLength without the marker is not trusted.
    larger.prop.wPacketLength = sizeof larger;
    larger.prop.dwProvSpec1 = 0;
    ASSERT_TRUE(GetCommProperties(port_, &larger.prop));
    EXPECT_EQ(TakeLog(), std::vector<std::string>{Request("GET_PROPERTIES", {}, sizeof(COMMPROP))});
}

TEST_F(CommRequests, RefusedArgumentsSendNothing)
{
    for (DWORD function : {0u, 10u, 0xFFFFFFFFu}) {
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(port_, function));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(SetCommTimeouts(port_, nullptr));
    EXPECT_FALSE(GetCommTimeouts(port_, nullptr));
    EXPECT_FALSE(GetCommProperties(port_, nullptr));
    EXPECT_TRUE(TakeLog().empty());

    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFC));
    EXPECT_FALSE(PurgeComm(bogus, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace winsim::test
