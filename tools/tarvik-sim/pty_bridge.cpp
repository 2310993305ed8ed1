// The pseudo-terminal bridge (see pty_bridge.h).
#include "pty_bridge.h"

#include "comm_names.h"
#include "win32_errors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

namespace tarvik::sim {
namespace {

// An OVERLAPPED with its own manual-reset event.
class Overlapped {
public:
    Overlapped() { ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov_.hEvent); }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
    OVERLAPPED *get()
    {
        HANDLE event = ov_.hEvent;
        ov_ = OVERLAPPED{};
        ov_.hEvent = event;
        ResetEvent(event);
        return &ov_;
    }
    HANDLE Event() const { return ov_.hEvent; }

private:
    OVERLAPPED ov_{};
};

bool Readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// Waits for an overlapped request; cancels it once `stop` says so.
bool Finish(HANDLE port, Overlapped &ov, OVERLAPPED *request, BOOL started, DWORD *transferred,
            const std::function<bool()> &stop)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (!started) {
        while (WaitForSingleObject(ov.Event(), 200) == WAIT_TIMEOUT) {
            if (stop()) {
                CancelIoEx(port, request);
                break;
            }
        }
    }
    return GetOverlappedResult(port, request, transferred, TRUE) != FALSE;
}

}  // namespace

PtyBridge::PtyBridge(PseudoTerminal &pty, ComPort &port, Log log) : pty_(pty), port_(port), log_(std::move(log))
{
}

BridgeCounts PtyBridge::Counts() const
{
    return {toPrinter_.load(), fromPrinter_.load(), settingsApplied_.load(), purges_.load()};
}

bool PtyBridge::Fail(const std::string &what)
{
    if (!failed_.exchange(true)) {
        error_ = what;
        char byte = 1;
        [[maybe_unused]] ssize_t n = write(failurePipe_[1], &byte, 1);
    }
    return false;
}

void PtyBridge::ApplySettingsIfChanged()
{
    std::optional<LineSettings> now = pty_.Settings();
    if (!now || now == applied_)
        return;
    bool hangUp = now->baud == 0, wasHungUp = applied_ && applied_->baud == 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!port_.Check(GetCommState(port_.Handle(), &dcb))) {
        log_("client set " + now->Text() + ": " + port_.Failure("GetCommState"));
    } else {
        ApplyToDcb(*now, dcb);
        if (!port_.Check(SetCommState(port_.Handle(), &dcb)))
            log_("client set " + now->Text() + ": " + port_.Failure("SetCommState"));
        else
            log_("client set " + now->Text() + " -> SetCommState");
    }
    // Speed 0 is the terminal's way of dropping DTR.
    if (hangUp != wasHungUp) {
        bool ok = port_.Check(EscapeCommFunction(port_.Handle(), hangUp ? CLRDTR : SETDTR));
        log_(std::string(hangUp ? "client hung up -> EscapeCommFunction(CLRDTR)"
                                : "client raised DTR again -> EscapeCommFunction(SETDTR)") +
             (ok ? "" : ": " + port_.Failure("EscapeCommFunction")));
    }
    applied_ = now;
    settingsApplied_++;
}

void PtyBridge::Purge(unsigned long flags, const char *why)
{
    bool ok = port_.Check(PurgeComm(port_.Handle(), flags));
    log_(std::string(why) + " -> PurgeComm(" + FlagsText(flags, kPurgeFlags) + ")" +
         (ok ? "" : ": " + port_.Failure("PurgeComm")));
    purges_++;
}

bool PtyBridge::WriteToPort(std::span<const unsigned char> data, int stopFd)
{
    Overlapped ov;
    while (!data.empty()) {
        OVERLAPPED *request = ov.get();
        DWORD written = 0;
        BOOL started = WriteFile(port_.Handle(), data.data(), static_cast<DWORD>(data.size()), &written, request);
        if (!Finish(port_.Handle(), ov, request, started, &written, [&] { return Readable(stopFd); })) {
            if (Readable(stopFd))
                return false;
            return Fail("WriteFile on " + port_.Name() + " failed: " + Win32ErrorText(GetLastError()));
        }
        toPrinter_ += written;
        data = data.subspan(written);
    }
    return true;
}

void PtyBridge::FromPrinter(int stopFd)
{
    Overlapped ov;
    std::vector<unsigned char> buffer(4096);
    auto stop = [&] { return stopping_.load(); };
    while (!stopping_) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(port_.Handle(), &errors, &stat)) {
            Fail("ClearCommError on " + port_.Name() + " failed: " + Win32ErrorText(GetLastError()));
            return;
        }
        if (stat.cbInQue > 0) {
            OVERLAPPED *request = ov.get();
            DWORD read = 0;
            DWORD want = std::min<DWORD>(stat.cbInQue, static_cast<DWORD>(buffer.size()));
            BOOL started = ReadFile(port_.Handle(), buffer.data(), want, &read, request);
            if (!Finish(port_.Handle(), ov, request, started, &read, stop)) {
                if (!stopping_)
                    Fail("ReadFile on " + port_.Name() + " failed: " + Win32ErrorText(GetLastError()));
                return;
            }
            if (!pty_.WriteAll({buffer.data(), read}, stopFd))
                return;
            fromPrinter_ += read;
            continue;
        }
        // Nothing waiting: sleep until the driver reports received data.
        OVERLAPPED *request = ov.get();
        DWORD events = 0, unused = 0;
        BOOL started = WaitCommEvent(port_.Handle(), &events, request);
        if (!Finish(port_.Handle(), ov, request, started, &unused, stop) && !stopping_) {
            Fail("WaitCommEvent on " + port_.Name() + " failed: " + Win32ErrorText(GetLastError()));
            return;
        }
    }
}

bool PtyBridge::Run(int stopFd)
{
    if (pipe2(failurePipe_, O_CLOEXEC) != 0)
        return Fail("cannot create a pipe");
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};  // ReadFile returns what is there
    if (!port_.Check(SetCommTimeouts(port_.Handle(), &immediate)) ||
        !port_.Check(SetCommMask(port_.Handle(), EV_RXCHAR)))
        return Fail(port_.Failure("setting up " + port_.Name()));
    ApplySettingsIfChanged();

    std::thread reader([this, stopFd] { FromPrinter(stopFd); });
    std::vector<unsigned char> buffer(4096);
    while (!failed_) {
        pollfd fds[3] = {{pty_.MasterFd(), POLLIN, 0}, {stopFd, POLLIN, 0}, {failurePipe_[0], POLLIN, 0}};
        // The packet-mode notice is the event; the periodic look catches a
        // client that turned EXTPROC off.
        int ready = poll(fds, 3, 500);
        if (fds[1].revents & POLLIN || fds[2].revents & POLLIN)
            break;
        if (ready <= 0) {
            ApplySettingsIfChanged();
            continue;
        }
        PseudoTerminal::Packet packet = pty_.Read(buffer);
        if (packet.kind == PseudoTerminal::Packet::Kind::Data) {
            if (!WriteToPort({buffer.data(), packet.length}, stopFd))
                break;
        } else if (packet.kind == PseudoTerminal::Packet::Kind::Control) {
            if (packet.settingsChanged)
                ApplySettingsIfChanged();
            if (packet.flushedInput)
                Purge(PURGE_RXCLEAR, "client flushed its input");
            if (packet.flushedOutput)
                Purge(PURGE_TXCLEAR, "client flushed its output");
        } else if (packet.kind == PseudoTerminal::Packet::Kind::Closed) {
            Fail("the pseudo-terminal closed");
        }
    }
    stopping_ = true;
    CancelIoEx(port_.Handle(), nullptr);  // ends the reader's WaitCommEvent
    reader.join();
    for (int fd : failurePipe_)
        close(fd);
    return !failed_;
}

}  // namespace tarvik::sim
