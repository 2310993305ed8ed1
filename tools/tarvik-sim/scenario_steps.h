// The steps a scenario may use: each one's syntax, checked when the file is
// read, and what it does when it runs.
#pragma once

#include "scenario.h"

#include <variant>

namespace tarvik::sim {

using StepAction = std::function<StepOutcome(ScenarioContext &)>;

// The action of one line's tokens, or what is wrong with them.
std::variant<StepAction, std::string> CompileStep(const std::vector<Token> &tokens);

// Every step with its syntax, one a line, for the help text.
std::string StepReference();

}  // namespace tarvik::sim
