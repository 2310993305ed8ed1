// termios work that needs the kernel's termios2 (any speed as a number),
// kept apart from <termios.h>, whose struct of the same name differs.
#pragma once

#include "line_settings.h"

#include <optional>

namespace tarvik::sim {

// The settings of the terminal behind `fd` (a pty master reads its slave's).
std::optional<LineSettings> ReadTerminalSettings(int fd);
// Raw mode, 9600 8N1, no echo, and EXTPROC so that a packet-mode master
// hears of every later tcsetattr(). Returns false on failure (errno set).
bool PrepareTerminal(int fd);

}  // namespace tarvik::sim
