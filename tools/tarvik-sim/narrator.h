// How tarvik-sim tells what happens: numbered steps, details under them,
// trace lines when asked for, and a verdict at the end.
#pragma once

#include <string>
#include <vector>

namespace tarvik::sim {

class Narrator {
public:
    explicit Narrator(bool trace);
    ~Narrator();
    Narrator(const Narrator &) = delete;
    Narrator &operator=(const Narrator &) = delete;

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
