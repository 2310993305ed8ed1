// kernel32's communications functions. Each one is a fixed sequence of serial
// control requests (ntddser.h) sent on the port's handle, in the order and with
// the buffers kernel32 uses; tests/comm pins every sequence and names where
// the behaviour comes from.
#include "handles.h"

#include "../kernel/file.h"
#include "../kernel/internal.h"

#include <ntddser.h>

#include <string>

using namespace winsim;
using namespace winsim::win32;

namespace {

// ------------------------------------------------------------------ requests

// The event kernel32 makes for a request it issues itself on a handle opened
// with FILE_FLAG_OVERLAPPED, where the caller gave no OVERLAPPED.
class RequestEvent {
public:
    RequestEvent() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~RequestEvent()
    {
        if (handle_ == nullptr)
            return;
        DWORD error = GetLastError();  // the request's outcome, not the close's
        CloseHandle(handle_);
        SetLastError(error);
    }
    RequestEvent(const RequestEvent &) = delete;
    RequestEvent &operator=(const RequestEvent &) = delete;

    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool IsOverlappedHandle(HANDLE port)
{
    auto object = Lookup(port);
    return object != nullptr && object->type == HandleType::File && !io::IsSynchronous(object->file);
}

// Sends one serial control request and waits for it to finish. The outcome is
// DeviceIoControl's: a success status (STATUS_TIMEOUT among them) is TRUE, an
// error status FALSE with its Win32 error (STATUS_CANCELLED gives
// ERROR_OPERATION_ABORTED).
BOOL SendRequest(HANDLE port, DWORD code, const void *input, DWORD inputLength, void *output, DWORD outputLength)
{
    DWORD returned = 0;
    auto *in = const_cast<void *>(input);
    if (!IsOverlappedHandle(port))
        return DeviceIoControl(port, code, in, inputLength, output, outputLength, &returned, nullptr);
    RequestEvent event;
    if (event.get() == nullptr)
        return FALSE;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (DeviceIoControl(port, code, in, inputLength, output, outputLength, &returned, &overlapped))
        return TRUE;
    if (GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    // A pended request always signals its event when it completes; once it
    // has, the status block is final and the event is no longer used.
    WaitForSingleObject(event.get(), INFINITE);
    return GetOverlappedResult(port, &overlapped, &returned, FALSE);
}

BOOL SendCommand(HANDLE port, DWORD code) { return SendRequest(port, code, nullptr, 0, nullptr, 0); }

// ------------------------------------------------------------------ port state

// What a DCB describes, as the serial driver keeps it.
struct PortState {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

BOOL ReadState(HANDLE port, PortState *state)
{
    return SendRequest(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &state->baud, sizeof state->baud) &&
           SendRequest(port, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &state->line, sizeof state->line) &&
           SendRequest(port, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &state->chars, sizeof state->chars) &&
           SendRequest(port, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &state->handflow, sizeof state->handflow);
}

// The baud rate first, then the RTS and DTR lines the handshake settings put
// in a fixed state (none for handshake or toggle control), then line control,
// special characters and handshake.
BOOL ApplyState(HANDLE port, const PortState &state)
{
    if (!SendRequest(port, IOCTL_SERIAL_SET_BAUD_RATE, &state.baud, sizeof state.baud, nullptr, 0))
        return FALSE;
    switch (state.handflow.FlowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        if (!SendCommand(port, IOCTL_SERIAL_SET_RTS))
            return FALSE;
        break;
    case 0:
        if (!SendCommand(port, IOCTL_SERIAL_CLR_RTS))
            return FALSE;
        break;
    default:
        break;
    }
    switch (state.handflow.ControlHandShake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL:
        if (!SendCommand(port, IOCTL_SERIAL_SET_DTR))
            return FALSE;
        break;
    case 0:
        if (!SendCommand(port, IOCTL_SERIAL_CLR_DTR))
            return FALSE;
        break;
    default:
        break;
    }
    return SendRequest(port, IOCTL_SERIAL_SET_LINE_CONTROL, &state.line, sizeof state.line, nullptr, 0) &&
           SendRequest(port, IOCTL_SERIAL_SET_CHARS, &state.chars, sizeof state.chars, nullptr, 0) &&
           SendRequest(port, IOCTL_SERIAL_SET_HANDFLOW, &state.handflow, sizeof state.handflow, nullptr, 0);
}

void DcbFromState(const PortState &state, DCB *dcb)
{
    const SERIAL_HANDFLOW &hf = state.handflow;
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->fBinary = 1;  // NT ports have no other mode; fParity stays 0
    dcb->BaudRate = state.baud.BaudRate;
    dcb->StopBits = state.line.StopBits;
    dcb->Parity = state.line.Parity;
    dcb->ByteSize = state.line.WordLength;
    // DTR_CONTROL_* and RTS_CONTROL_* are the driver's two-bit fields.
    dcb->fDtrControl = hf.ControlHandShake & SERIAL_DTR_MASK;
    dcb->fRtsControl = (hf.FlowReplace & SERIAL_RTS_MASK) >> 6;
    dcb->fOutxCtsFlow = (hf.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (hf.ControlHandShake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDsrSensitivity = (hf.ControlHandShake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (hf.ControlHandShake & SERIAL_ERROR_ABORT) != 0;
    dcb->fOutX = (hf.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (hf.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (hf.FlowReplace & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (hf.FlowReplace & SERIAL_NULL_STRIPPING) != 0;
    dcb->fTXContinueOnXoff = (hf.FlowReplace & SERIAL_XOFF_CONTINUE) != 0;
    dcb->XonLim = static_cast<WORD>(hf.XonLimit);
    dcb->XoffLim = static_cast<WORD>(hf.XoffLimit);
    dcb->EofChar = static_cast<char>(state.chars.EofChar);
    dcb->ErrorChar = static_cast<char>(state.chars.ErrorChar);
    dcb->EvtChar = static_cast<char>(state.chars.EventChar);
    dcb->XonChar = static_cast<char>(state.chars.XonChar);
    dcb->XoffChar = static_cast<char>(state.chars.XoffChar);
}

// What the DCB cannot express (the break character, DCD handshake, break
// character insertion) stays as the port has it.
PortState StateFromDcb(const DCB &dcb, const PortState &current)
{
    PortState state;
    state.baud.BaudRate = dcb.BaudRate;
    state.line.StopBits = dcb.StopBits;
    state.line.Parity = dcb.Parity;
    state.line.WordLength = dcb.ByteSize;
    state.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    state.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    state.chars.BreakChar = current.chars.BreakChar;
    state.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    state.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    state.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);

    SERIAL_HANDFLOW &hf = state.handflow;
    hf.ControlHandShake = dcb.fDtrControl | (current.handflow.ControlHandShake & SERIAL_DCD_HANDSHAKE);
    if (dcb.fOutxCtsFlow)
        hf.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        hf.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        hf.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        hf.ControlHandShake |= SERIAL_ERROR_ABORT;
    hf.FlowReplace = (static_cast<ULONG>(dcb.fRtsControl) << 6) | (current.handflow.FlowReplace & SERIAL_BREAK_CHAR);
    if (dcb.fOutX)
        hf.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        hf.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        hf.FlowReplace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        hf.FlowReplace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        hf.FlowReplace |= SERIAL_XOFF_CONTINUE;
    hf.XonLimit = dcb.XonLim;
    hf.XoffLimit = dcb.XoffLim;
    return state;
}

// ------------------------------------------------------------------ status

DWORD CommErrorsOf(ULONG serialErrors)
{
    static const struct {
        ULONG serial;
        DWORD comm;
    } kErrors[] = {
        {SERIAL_ERROR_BREAK, CE_BREAK},      {SERIAL_ERROR_FRAMING, CE_FRAME},
        {SERIAL_ERROR_OVERRUN, CE_OVERRUN},  {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
        {SERIAL_ERROR_PARITY, CE_RXPARITY},
    };
    DWORD errors = 0;
    for (const auto &e : kErrors)
        if (serialErrors & e.serial)
            errors |= e.comm;
    return errors;
}

COMSTAT ComStatOf(const SERIAL_STATUS &status)
{
    COMSTAT stat{};
    stat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    return stat;
}

// ------------------------------------------------------------------ mode strings

// A device-control string in the syntax of the mode command, old form
// ("96,n,8,1,x") or new form ("baud=9600 parity=n data=8 stop=1"), after an
// optional device name ("COM1:"). Only the members the string names change.
class ModeString {
public:
    explicit ModeString(std::u16string text) : text_(std::move(text)) {}

    bool Apply(DCB *dcb, COMMTIMEOUTS *timeouts)
    {
        if (!SkipDevice())
            return false;
        return text_.find(u',', pos_) != std::u16string::npos ? OldForm(dcb) : NewForm(dcb, timeouts);
    }

private:
    static char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; }
    char16_t Peek() const { return pos_ < text_.size() ? text_[pos_] : 0; }
    bool AtEnd() const { return pos_ >= text_.size(); }
    void SkipSpaces()
    {
        while (Peek() == u' ')
            pos_++;
    }
    bool Keyword(const char *word)
    {
        size_t n = strlen(word);
        if (pos_ + n > text_.size())
            return false;
        for (size_t i = 0; i < n; i++)
            if (Upper(text_[pos_ + i]) != Upper(static_cast<char16_t>(word[i])))
                return false;
        pos_ += n;
        return true;
    }
    bool Expect(char16_t c)
    {
        SkipSpaces();
        if (Peek() != c)
            return false;
        pos_++;
        SkipSpaces();
        return true;
    }

    // "COMn", then a colon or a space: the port must be one this machine has,
    // as on Windows NT, which refuses ports that are not present.
    bool SkipDevice()
    {
        if (!Keyword("COM"))
            return Peek() != u' ';
        size_t first = pos_;
        if (Peek() < u'1' || Peek() > u'9')
            return false;
        while (Peek() >= u'0' && Peek() <= u'9')
            pos_++;
        std::u16string port = u"\\??\\COM" + text_.substr(first, pos_ - first);
        if (Peek() != u':' && Peek() != u' ')
            return false;
        SkipSpaces();
        if (Peek() == u':')
            pos_++;
        SkipSpaces();
        return LinkExists(port);
    }

    bool Number(DWORD *value)
    {
        if (Peek() < u'0' || Peek() > u'9')
            return false;
        unsigned long long n = 0;
        while (Peek() >= u'0' && Peek() <= u'9') {
            n = n * 10 + (text_[pos_++] - u'0');
            if (n > 0xFFFFFFFFull)
                n = 0xFFFFFFFFull;
        }
        *value = static_cast<DWORD>(n);
        return true;
    }
    bool Parity(BYTE *parity)
    {
        switch (Upper(Peek())) {
        case u'N': *parity = NOPARITY; break;
        case u'O': *parity = ODDPARITY; break;
        case u'E': *parity = EVENPARITY; break;
        case u'M': *parity = MARKPARITY; break;
        case u'S': *parity = SPACEPARITY; break;
        default: return false;
        }
        pos_++;
        return true;
    }
    bool DataBits(BYTE *bits)
    {
        DWORD n;
        if (!Number(&n) || n < 5 || n > 8)
            return false;
        *bits = static_cast<BYTE>(n);
        return true;
    }
    bool StopBits(BYTE *stop)
    {
        if (Keyword("1.5")) {
            *stop = ONE5STOPBITS;
            return true;
        }
        DWORD n;
        if (!Number(&n) || (n != 1 && n != 2))
            return false;
        *stop = n == 1 ? ONESTOPBIT : TWOSTOPBITS;
        return true;
    }
    // One of the words, giving its index.
    bool Choice(std::initializer_list<const char *> words, unsigned *index)
    {
        unsigned i = 0;
        for (const char *word : words) {
            if (Keyword(word)) {
                *index = i;
                return true;
            }
            i++;
        }
        return false;
    }

    // The mode command's two-digit abbreviations of the old form.
    static DWORD FullBaudRate(DWORD baud)
    {
        switch (baud) {
        case 11: return 110;
        case 15: return 150;
        case 30: return 300;
        case 60: return 600;
        case 12: return 1200;
        case 24: return 2400;
        case 48: return 4800;
        case 96: return 9600;
        case 19: return 19200;
        default: return baud;
        }
    }

    // baud,parity,data,stop[,x|p]; the flow members are set from the last
    // letter, or its absence.
    bool OldForm(DCB *dcb)
    {
        DCB result = *dcb;
        DWORD baud;
        if (!Number(&baud) || !Expect(u',') || !Parity(&result.Parity) || !Expect(u',') ||
            !DataBits(&result.ByteSize) || !Expect(u',') || !StopBits(&result.StopBits))
            return false;
        result.BaudRate = FullBaudRate(baud);
        char16_t flow = 0;
        SkipSpaces();
        if (Peek() == u',') {
            pos_++;
            SkipSpaces();
            if (!AtEnd())
                flow = Upper(text_[pos_++]);
            SkipSpaces();
        }
        if (!AtEnd())
            return false;
        switch (flow) {
        case 0:
            result.fInX = result.fOutX = result.fOutxCtsFlow = result.fOutxDsrFlow = 0;
            result.fDtrControl = DTR_CONTROL_ENABLE;
            result.fRtsControl = RTS_CONTROL_ENABLE;
            break;
        case u'X':
            result.fInX = result.fOutX = 1;
            result.fOutxCtsFlow = result.fOutxDsrFlow = 0;
            result.fDtrControl = DTR_CONTROL_ENABLE;
            result.fRtsControl = RTS_CONTROL_ENABLE;
            break;
        case u'P':
            result.fInX = result.fOutX = 0;
            result.fOutxCtsFlow = result.fOutxDsrFlow = 1;
            result.fDtrControl = DTR_CONTROL_HANDSHAKE;
            result.fRtsControl = RTS_CONTROL_HANDSHAKE;
            break;
        default:
            return false;
        }
        *dcb = result;
        return true;
    }

    // Space-separated key=value settings; stop bits not given are 1, or 2
    // with a baud rate of 110, as the mode command has it.
    bool NewForm(DCB *dcb, COMMTIMEOUTS *timeouts)
    {
        DCB result = *dcb;
        COMMTIMEOUTS newTimeouts = timeouts != nullptr ? *timeouts : COMMTIMEOUTS{};
        bool baudGiven = false, stopGiven = false;
        unsigned v = 0;
        SkipSpaces();
        while (!AtEnd()) {
            bool ok;
            if (Keyword("baud=")) {
                ok = Number(&result.BaudRate);
                baudGiven = true;
            } else if (Keyword("parity=")) {
                ok = Parity(&result.Parity);
            } else if (Keyword("data=")) {
                ok = DataBits(&result.ByteSize);
            } else if (Keyword("stop=")) {
                ok = StopBits(&result.StopBits);
                stopGiven = true;
            } else if (Keyword("to=")) {
                ok = Choice({"off", "on"}, &v);
                newTimeouts = COMMTIMEOUTS{};
                newTimeouts.WriteTotalTimeoutConstant = v == 1 ? 60000 : 0;
            } else if (Keyword("xon=")) {
                ok = Choice({"off", "on"}, &v);
                result.fInX = result.fOutX = v;
            } else if (Keyword("odsr=")) {
                ok = Choice({"off", "on"}, &v);
                result.fOutxDsrFlow = v;
            } else if (Keyword("octs=")) {
                ok = Choice({"off", "on"}, &v);
                result.fOutxCtsFlow = v;
            } else if (Keyword("dtr=")) {
                ok = Choice({"off", "on", "hs"}, &v);
                result.fDtrControl = v;  // DTR_CONTROL_DISABLE, _ENABLE, _HANDSHAKE
            } else if (Keyword("rts=")) {
                ok = Choice({"off", "on", "hs", "tg"}, &v);
                result.fRtsControl = v;  // RTS_CONTROL_DISABLE, _ENABLE, _HANDSHAKE, _TOGGLE
            } else if (Keyword("idsr=")) {
                ok = Choice({"off", "on"}, &v);
                result.fDsrSensitivity = v;
            } else {
                ok = false;
            }
            if (!ok || (!AtEnd() && Peek() != u' '))
                return false;
            SkipSpaces();
        }
        if (!stopGiven)
            result.StopBits = baudGiven && result.BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
        *dcb = result;
        if (timeouts != nullptr)
            *timeouts = newTimeouts;
        return true;
    }

    std::u16string text_;
    size_t pos_ = 0;
};

BOOL BuildDcb(const std::u16string &text, LPDCB dcb, LPCOMMTIMEOUTS timeouts)
{
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    ModeString mode(text);
    if (!mode.Apply(dcb, timeouts))
        return Fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}

std::u16string FromNarrow(LPCSTR s)
{
    std::u16string out;
    while (*s)
        out += static_cast<char16_t>(static_cast<unsigned char>(*s++));
    return out;
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    PortState state;
    if (!ReadState(hFile, &state))
        return FALSE;
    DcbFromState(state, lpDCB);
    return TRUE;
}

// The current state is read first; when a request of the new state fails,
// the old state is sent again and the first failure is reported.
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr || lpDCB->fDtrControl > DTR_CONTROL_HANDSHAKE)
        return Fail(ERROR_INVALID_PARAMETER);
    PortState current;
    if (!ReadState(hFile, &current))
        return FALSE;
    if (ApplyState(hFile, StateFromDcb(*lpDCB, current)))
        return TRUE;
    DWORD error = GetLastError();
    ApplyState(hFile, current);
    return Fail(error);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    SERIAL_TIMEOUTS timeouts;
    if (!SendRequest(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts))
        return FALSE;
    lpCommTimeouts->ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    lpCommTimeouts->ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    lpCommTimeouts->ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    lpCommTimeouts->WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    lpCommTimeouts->WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    SERIAL_TIMEOUTS timeouts{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                             lpCommTimeouts->ReadTotalTimeoutConstant, lpCommTimeouts->WriteTotalTimeoutMultiplier,
                             lpCommTimeouts->WriteTotalTimeoutConstant};
    return SendRequest(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return SendRequest(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return SendRequest(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask, nullptr, 0);
}

// With an OVERLAPPED the request is the caller's, finished through
// GetOverlappedResult; without one the call waits for the event word.
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != nullptr)
        return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), nullptr,
                               lpOverlapped);
    return SendRequest(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return SendRequest(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags, nullptr, 0);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status{};
    if (!SendRequest(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    if (lpErrors != nullptr)
        *lpErrors = CommErrorsOf(status.Errors);
    if (lpStat != nullptr)
        *lpStat = ComStatOf(status);
    return TRUE;
}

// The modem status register's bits are the MS_*_ON values; they come back as
// the driver gives them.
BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return SendRequest(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

// A caller with room for provider-specific data says so with
// COMMPROP_INITIALIZED in dwProvSpec1 and the room in wPacketLength.
BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    if (lpCommProp == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED)
        length = lpCommProp->wPacketLength;
    return SendRequest(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return SendRequest(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes, nullptr, 0);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    static const DWORD kRequests[] = {
        0,
        IOCTL_SERIAL_SET_XOFF,      // SETXOFF
        IOCTL_SERIAL_SET_XON,       // SETXON
        IOCTL_SERIAL_SET_RTS,       // SETRTS
        IOCTL_SERIAL_CLR_RTS,       // CLRRTS
        IOCTL_SERIAL_SET_DTR,       // SETDTR
        IOCTL_SERIAL_CLR_DTR,       // CLRDTR
        IOCTL_SERIAL_RESET_DEVICE,  // RESETDEV
        IOCTL_SERIAL_SET_BREAK_ON,  // SETBREAK
        IOCTL_SERIAL_SET_BREAK_OFF, // CLRBREAK
    };
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK)
        return Fail(ERROR_INVALID_PARAMETER);
    return SendCommand(hFile, kRequests[dwFunc]);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return SendCommand(hFile, IOCTL_SERIAL_SET_BREAK_ON); }

BOOL WINAPI ClearCommBreak(HANDLE hFile) { return SendCommand(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    return SendRequest(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, sizeof cChar, nullptr, 0);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, nullptr); }

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsW(lpDef, lpDCB, nullptr); }

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpDef == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return BuildDcb(FromNarrow(lpDef), lpDCB, lpCommTimeouts);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpDef == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return BuildDcb(ToU16(lpDef), lpDCB, lpCommTimeouts);
}

}  // extern "C"
