// A Linux pseudo-terminal for serial clients, reachable under a path of the
// user's choice (a symbolic link to its /dev/pts node). The master side is
// in packet mode and the line discipline has EXTPROC set, so a client's
// tcsetattr() and tcflush() come to the master as control packets.
#pragma once

#include "line_settings.h"

#include <optional>
#include <span>
#include <string>
#include <sys/types.h>

namespace tarvik::sim {

class PseudoTerminal {
public:
    // Opens the pair and links `linkPath` to the terminal. A link left at
    // that path by an earlier run is replaced; any other file there is not.
    // On failure, Error() says why.
    explicit PseudoTerminal(const std::string &linkPath);
    ~PseudoTerminal();  // removes the link
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool Ok() const { return error_.empty(); }
    const std::string &Error() const { return error_; }
    const std::string &TerminalName() const { return slaveName_; }  // /dev/pts/N
    int MasterFd() const { return master_; }

    // What a read from the master gives in packet mode.
    struct Packet {
        enum class Kind { Data, Control, Nothing, Closed } kind = Kind::Nothing;
        size_t length = 0;      // Data: bytes at the front of the buffer
        bool settingsChanged = false;  // Control: the client changed termios
        bool flushedInput = false;     // Control: the client discarded what it had not read
        bool flushedOutput = false;    // Control: the client discarded what it had not sent
    };
    Packet Read(std::span<unsigned char> buffer);
    // Writes all of `data` unless `stopFd` becomes readable first.
    bool WriteAll(std::span<const unsigned char> data, int stopFd);

    // The client's current line settings.
    std::optional<LineSettings> Settings() const;

private:
    std::string linkPath_;
    std::string slaveName_;
    std::string error_;
    int master_ = -1;
    int slave_ = -1;  // held open, so the master never sees a hang-up between clients
    bool linked_ = false;
};

}  // namespace tarvik::sim
