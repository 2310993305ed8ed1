// The bridge between a pseudo-terminal and the simulated COM port: what a
// client writes to the terminal is written to the port (WriteFile), what the
// printer sends is read from the port (WaitCommEvent, ClearCommError,
// ReadFile) and written to the terminal, and the client's line settings and
// flushes become the matching serial requests (SetCommState,
// EscapeCommFunction, PurgeComm).
//
// Not mapped, because a pseudo-terminal has no way to carry them: the modem
// lines (DTR and RTS set by the client, DSR, CTS, DCD and RI shown to it),
// breaks, VMIN/VTIME (data is passed on as it comes), and line errors.
#pragma once

#include "com_port.h"
#include "line_settings.h"
#include "pseudo_terminal.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarvik::sim {

struct BridgeCounts {
    uint64_t toPrinter = 0;    // bytes the client wrote
    uint64_t fromPrinter = 0;  // bytes the client was given
    unsigned settingsApplied = 0;
    unsigned purges = 0;
};

class PtyBridge {
public:
    using Log = std::function<void(const std::string &)>;
    // `port` is open with FILE_FLAG_OVERLAPPED (two threads use it at once).
    PtyBridge(PseudoTerminal &pty, ComPort &port, Log log);
    PtyBridge(const PtyBridge &) = delete;
    PtyBridge &operator=(const PtyBridge &) = delete;

    // Runs until `stopFd` becomes readable (returns true) or the port fails
    // (returns false; Error() says how).
    bool Run(int stopFd);
    const std::string &Error() const { return error_; }
    BridgeCounts Counts() const;

private:
    void ApplySettingsIfChanged();
    bool WriteToPort(std::span<const unsigned char> data, int stopFd);
    void FromPrinter(int stopFd);
    void Purge(unsigned long flags, const char *why);
    bool Fail(const std::string &what);

    PseudoTerminal &pty_;
    ComPort &port_;
    Log log_;
    std::optional<LineSettings> applied_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    int failurePipe_[2] = {-1, -1};
    std::string error_;
    std::atomic<uint64_t> toPrinter_{0}, fromPrinter_{0};
    std::atomic<unsigned> settingsApplied_{0}, purges_{0};
};

}  // namespace tarvik::sim
