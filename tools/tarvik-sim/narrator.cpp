// Narrator (see narrator.h).
#include "narrator.h"

#include <harness.h>

#include <cstdio>

namespace tarvik::sim {

Narrator::Narrator(bool trace)
{
    if (trace)
        winsim::harness::SetTrace([](const std::string &line) { printf("      | %s\n", line.c_str()); });
}

Narrator::~Narrator() { winsim::harness::SetTrace({}); }

void Narrator::Step(const std::string &text)
{
    printf("%2d. %s\n", ++step_, text.c_str());
    fflush(stdout);
}

void Narrator::Detail(const std::string &text)
{
    printf("    %s\n", text.c_str());
    fflush(stdout);
}

int Narrator::Fail(const std::string &why)
{
    printf("FAILED: %s\n", why.c_str());
    return 1;
}

int Narrator::Verdict(const std::vector<std::string> &findings)
{
    if (findings.empty()) {
        printf("\nVerifier: no rule broken, nothing leaked, nothing left behind.\n");
        return 0;
    }
    printf("\nThe machine was not left clean:\n");
    for (auto &f : findings)
        printf("  - %s\n", f.c_str());
    return 1;
}

}  // namespace tarvik::sim
