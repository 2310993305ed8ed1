// The line settings a serial client makes on a terminal (speed, character
// size, parity, stop bits, flow control), independent of both termios and
// the Win32 DCB; and how they map onto a DCB.
#pragma once

#include <string>

struct _DCB;

namespace tarvik::sim {

struct LineSettings {
    unsigned baud = 9600;    // 0: hang up (B0)
    int dataBits = 8;        // 5..8
    char parity = 'N';       // N O E M S
    int stopBits = 1;        // 1 or 2
    bool rtscts = false;     // CRTSCTS
    bool xonOutput = false;  // IXON: the client obeys XON/XOFF it receives
    bool xonInput = false;   // IXOFF: the client sends XON/XOFF
    unsigned char xonChar = 0x11, xoffChar = 0x13;

    bool operator==(const LineSettings &) const = default;
    std::string Text() const;  // "9600 8N1 rtscts"
};

// Sets the DCB's members that the settings cover; the others are left alone.
void ApplyToDcb(const LineSettings &settings, _DCB &dcb);

}  // namespace tarvik::sim
