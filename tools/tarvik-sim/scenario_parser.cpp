// Reading scenario files: lines, tokens, and each step checked against the
// table of steps (scenario_steps.h) before anything runs.
#include "scenario.h"
#include "scenario_steps.h"
#include "scenario_values.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace tarvik::sim {
namespace {


}  // namespace

std::string ScenarioError::Text() const
{
    return file + (line > 0 ? ":" + std::to_string(line) : "") + ": " + message;
}

std::variant<std::vector<Token>, std::string> Tokenize(const std::string &line)
{
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            i++;
            continue;
        }
        if (c == '#')
            break;
        if (c != '"') {
            size_t end = line.find_first_of(" \t\r#\"", i);
            if (end == std::string::npos)
                end = line.size();
            tokens.push_back({Token::Kind::Word, line.substr(i, end - i)});
            i = end;
            continue;
        }
        std::string text;
        size_t start = i++;
        for (;;) {
            if (i >= line.size())
                return "unterminated string starting at column " + std::to_string(start + 1);
            c = line[i++];
            if (c == '"')
                break;
            if (c != '\\') {
                text += c;
                continue;
            }
            if (i >= line.size())
                return "a backslash ends the line inside a string";
            char e = line[i++];
            switch (e) {
            case 'n': text += '\n'; break;
            case 'r': text += '\r'; break;
            case 't': text += '\t'; break;
            case 'f': text += '\f'; break;
            case 'e': text += '\x1B'; break;
            case '0': text += '\0'; break;
            case '\\': text += '\\'; break;
            case '"': text += '"'; break;
            case 'x': {
                int high = i < line.size() ? HexDigit(line[i]) : -1;
                int low = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
                if (high < 0 || low < 0)
                    return "\\x needs two hex digits (column " + std::to_string(i - 1) + ")";
                text += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::string("unknown escape \\") + e + " in a string (known: \\n \\r \\t \\f \\e \\0 \\\\ \\\" \\xHH)";
            }
        }
        tokens.push_back({Token::Kind::String, std::move(text)});
    }
    return tokens;
}

std::variant<Scenario, ScenarioError> ParseScenario(std::istream &in, const std::string &file)
{
    Scenario scenario;
    scenario.file = file;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        auto tokens = Tokenize(line);
        if (auto *error = std::get_if<std::string>(&tokens))
            return ScenarioError{file, number, *error};
        auto &words = std::get<std::vector<Token>>(tokens);
        if (words.empty())
            continue;
        auto step = CompileStep(words);
        if (auto *error = std::get_if<std::string>(&step))
            return ScenarioError{file, number, *error};
        std::string text = line.substr(line.find_first_not_of(" \t"));
        while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        scenario.steps.push_back({number, text, std::move(std::get<StepAction>(step))});
    }
    if (in.bad())
        return ScenarioError{file, number, "read error"};
    if (scenario.steps.empty())
        return ScenarioError{file, 0, "no steps (a scenario is one step a line; see 'tarvik-sim help run')"};
    return scenario;
}

std::variant<Scenario, ScenarioError> LoadScenario(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        return ScenarioError{path, 0, std::string("cannot read the scenario: ") + strerror(errno)};
    return ParseScenario(in, path);
}

}  // namespace tarvik::sim
