// The terminal tarvik-sim writes to. Narration, trace lines (which come from
// the simulated machine's threads) and the progress bar share stdout; every
// line goes out whole, and a progress bar being drawn is moved out of the
// way first.
#pragma once

#include <string>

namespace tarvik::sim::console {

// Writes one line to stdout (a newline is added).
void Line(const std::string &text);
// Writes one line to stderr.
void Error(const std::string &text);
// Redraws the status line in place (a terminal) or does nothing (a pipe or
// a file, where only whole lines belong).
void Status(const std::string &text);
// Ends the status line, leaving its last text on screen.
void EndStatus();
bool IsTerminal();

}  // namespace tarvik::sim::console
