// A scenario: a plain-text list of steps with expectations, run against a
// machine with the product installed (docs/tarvik-sim.md describes the
// format). This header holds what the parser produces and the runner runs.
#pragma once

#include <functional>
#include <istream>
#include <string>
#include <variant>
#include <vector>

namespace tarvik::sim {

class ScenarioContext;

// One word of a line: a bare word, or a quoted string with its escapes resolved.
struct Token {
    enum class Kind { Word, String } kind = Kind::Word;
    std::string text;
    bool IsWord(const std::string &word) const { return kind == Kind::Word && text == word; }
};

// What a step did: whether it met its expectation, and in words what happened.
struct StepOutcome {
    bool ok = true;
    std::string what;  // "wrote 5 bytes"; on failure the mismatch: "expected ..., got ..."
    static StepOutcome Pass(std::string what) { return {true, std::move(what)}; }
    static StepOutcome Fail(std::string why) { return {false, std::move(why)}; }
};

struct Step {
    int line = 0;
    std::string text;  // the line as written, for reports
    std::function<StepOutcome(ScenarioContext &)> run;
};

struct Scenario {
    std::string file;
    std::vector<Step> steps;
};

struct ScenarioError {
    std::string file;
    int line = 0;  // 0: about the file as a whole
    std::string message;
    std::string Text() const;  // "file:line: message"
};

// Splits a line into tokens; '#' outside a string starts a comment.
// Returns the error text for a malformed line (an unterminated string, an
// unknown escape).
std::variant<std::vector<Token>, std::string> Tokenize(const std::string &line);

// Reads and checks a whole scenario before anything runs.
std::variant<Scenario, ScenarioError> ParseScenario(std::istream &in, const std::string &file);
std::variant<Scenario, ScenarioError> LoadScenario(const std::string &path);

}  // namespace tarvik::sim
