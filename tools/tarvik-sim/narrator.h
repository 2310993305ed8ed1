// How tarvik-sim tells what happens: numbered steps, details under them, a
// failure line, and the machine's verdict at the end.
#pragma once

#include <string>
#include <vector>

namespace tarvik::sim {

class Narrator {
public:
    void Step(const std::string &text);
    void Detail(const std::string &text);
    // Reports a failure; returns the exit status for it.
    int Fail(const std::string &why);
    // The machine's findings at shutdown; returns the exit status.
    int Verdict(const std::vector<std::string> &findings);

private:
    int step_ = 0;
};

}  // namespace tarvik::sim
