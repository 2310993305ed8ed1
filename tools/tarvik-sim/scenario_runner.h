// Runs a parsed scenario step by step on a machine with the product
// installed, printing each step and its outcome, and stops at the first
// step that does not meet its expectation.
#pragma once

#include "command_line.h"
#include "scenario.h"

#include <functional>

namespace tarvik::sim {

struct RunReport {
    size_t stepsRun = 0;
    bool passed = false;
    int failedLine = 0;  // 0 when every step passed
    bool interrupted = false;
    std::vector<std::string> findings;  // left behind at shutdown
};

// `stopRequested` is asked between steps (Ctrl-C); a stopped run reports
// the line it stopped before as failed.
RunReport RunScenario(const Scenario &scenario, const GlobalOptions &options,
                      const std::function<bool()> &stopRequested);

}  // namespace tarvik::sim
