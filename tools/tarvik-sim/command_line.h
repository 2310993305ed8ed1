// The command line of tarvik-sim: global options, the table of subcommands
// and the parsing of each subcommand's options and operands.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::sim {

// Options every subcommand accepts, before or after its name.
struct GlobalOptions {
    bool trace = false;        // one line per request as it passes each device object
    std::string packagePath;   // the driver package (folder or INF); empty: the build's
};

struct OptionSpec {
    std::string name;       // "--spool"
    std::string valueName;  // "PATH"; empty for a flag
    std::string help;
};

// A subcommand's options and operands once parsed.
class Arguments {
public:
    bool Has(const std::string &option) const { return values_.contains(option); }
    std::optional<std::string> Value(const std::string &option) const;
    const std::vector<std::string> &Operands() const { return operands_; }

private:
    friend struct CommandLine;
    std::map<std::string, std::string> values_;
    std::vector<std::string> operands_;
};

struct Command {
    std::string name{};
    std::string operands{};  // "FILE", "SCENARIO", ""
    std::string summary{};   // one line for the command list
    std::string description{};
    std::vector<OptionSpec> options{};
    size_t minOperands = 0, maxOperands = 0;
    std::function<int(const GlobalOptions &, const Arguments &)> run{};
};

// The full help text of one command.
std::string CommandHelp(const Command &command);
// The tool's usage: commands, global options, exit statuses.
std::string ToolUsage(const std::vector<Command> &commands);

// What main() is to do after parsing.
struct CommandLine {
    enum class Action { Run, ShowText, Error } action = Action::Error;
    const Command *command = nullptr;
    GlobalOptions global;
    Arguments arguments;
    std::string text;  // help to show (Action::ShowText) or the error (Action::Error)

    static CommandLine Parse(const std::vector<Command> &commands, const std::vector<std::string> &argv);
};

}  // namespace tarvik::sim
