// Narrator (see narrator.h).
#include "narrator.h"

#include "console.h"
#include "exit_codes.h"

#include <cstdio>

namespace tarvik::sim {

void Narrator::Step(const std::string &text)
{
    char number[16];
    snprintf(number, sizeof number, "%2d. ", ++step_);
    console::Line(number + text);
}

void Narrator::Detail(const std::string &text) { console::Line("    " + text); }

int Narrator::Fail(const std::string &why)
{
    console::Line("FAILED: " + why);
    return kExitFailed;
}

int Narrator::Verdict(const std::vector<std::string> &findings)
{
    if (findings.empty()) {
        console::Line("Verifier: no rule broken, nothing leaked, nothing left behind.");
        return kExitOk;
    }
    console::Line("The machine was not left clean:");
    for (auto &f : findings)
        console::Line("  - " + f);
    return kExitFailed;
}

}  // namespace tarvik::sim
