// Parsing of tarvik-sim's command line (see command_line.h).
#include "command_line.h"

#include <algorithm>
#include <sstream>

namespace tarvik::sim {
namespace {

const std::vector<OptionSpec> kGlobalOptions = {
    {"--trace", "", "print one line per request as it passes each device object"},
    {"--package", "PATH", "the driver package to install (its folder or its INF); default: the build's,\n"
                          "or $TARVIK_PACKAGE_DIR when set"},
    {"--help", "", "show this help"},
};

const char kExitStatuses[] =
    "exit status:\n"
    "  0    success\n"
    "  1    the product or the machine did not behave as expected (a scenario step\n"
    "       failed, the printer received other bytes, something was left behind)\n"
    "  2    bad command line\n"
    "  3    an input file is unreadable or malformed\n"
    "  4    the tool could not set up (driver package not found, no pseudo-terminal)\n"
    "  70   the verifier stopped the machine: a driver broke a kernel rule\n"
    "  130  interrupted (Ctrl-C or SIGTERM) before the work was finished\n";

void AppendOptions(std::ostringstream &out, const std::vector<OptionSpec> &options)
{
    for (const OptionSpec &o : options) {
        std::string left = "  " + o.name + (o.valueName.empty() ? "" : " " + o.valueName);
        std::string help = o.help;
        std::string indent(24, ' ');
        for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1 + indent.size()))
            help.insert(at + 1, indent);
        if (left.size() < 24)
            out << left << std::string(24 - left.size(), ' ') << help << "\n";
        else
            out << left << "\n" << indent << help << "\n";
    }
}

bool IsHelp(const std::string &arg) { return arg == "--help" || arg == "-h"; }

const OptionSpec *FindOption(const std::vector<OptionSpec> &options, const std::string &name)
{
    auto it = std::find_if(options.begin(), options.end(), [&](const OptionSpec &o) { return o.name == name; });
    return it == options.end() ? nullptr : &*it;
}

const Command *FindCommand(const std::vector<Command> &commands, const std::string &name)
{
    auto it = std::find_if(commands.begin(), commands.end(), [&](const Command &c) { return c.name == name; });
    return it == commands.end() ? nullptr : &*it;
}

}  // namespace

std::optional<std::string> Arguments::Value(const std::string &option) const
{
    auto it = values_.find(option);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

std::string CommandHelp(const Command &command)
{
    std::ostringstream out;
    out << "usage: tarvik-sim [--trace] [--package PATH] " << command.name;
    if (!command.options.empty())
        out << " [options]";
    if (!command.operands.empty())
        out << " " << command.operands;
    out << "\n\n" << command.description << "\n";
    if (!command.options.empty()) {
        out << "\noptions:\n";
        AppendOptions(out, command.options);
    }
    out << "\nglobal options:\n";
    AppendOptions(out, kGlobalOptions);
    return out.str();
}

std::string ToolUsage(const std::vector<Command> &commands)
{
    std::ostringstream out;
    out << "usage: tarvik-sim [--trace] [--package PATH] <command> [options]\n"
           "\n"
           "Runs the product inside winsim, a simulated Windows machine with the\n"
           "simulated USB printer, and drives its COM port as an application does.\n"
           "\n"
           "commands:\n";
    for (const Command &c : commands) {
        std::string left = "  " + c.name + (c.operands.empty() ? "" : " " + c.operands);
        out << left << std::string(left.size() < 20 ? 20 - left.size() : 1, ' ') << c.summary << "\n";
    }
    out << "  help [COMMAND]    show help for a command\n"
           "\nglobal options:\n";
    AppendOptions(out, kGlobalOptions);
    out << "\n" << kExitStatuses;
    return out.str();
}

CommandLine CommandLine::Parse(const std::vector<Command> &commands, const std::vector<std::string> &argv)
{
    CommandLine result;
    auto error = [&](const std::string &message, const Command *about) {
        result.action = Action::Error;
        result.text = "tarvik-sim: " + message + "\n" +
                      (about ? "Run 'tarvik-sim help " + about->name + "' for its options.\n"
                             : "Run 'tarvik-sim help' for the list of commands.\n");
        return result;
    };
    auto show = [&](std::string text) {
        result.action = Action::ShowText;
        result.text = std::move(text);
        return result;
    };

    // Global options apply wherever they stand; the first other word names the command.
    std::vector<std::string> rest;
    for (size_t i = 0; i < argv.size(); i++) {
        const std::string &arg = argv[i];
        if (arg == "--trace") {
            result.global.trace = true;
        } else if (arg == "--package" || arg.starts_with("--package=")) {
            if (arg == "--package" && i + 1 == argv.size())
                return error("--package needs a path (the package folder or its INF)", nullptr);
            result.global.packagePath = arg == "--package" ? argv[++i] : arg.substr(10);
        } else {
            rest.push_back(arg);
        }
    }

    const Command *command = nullptr;
    size_t i = 0;
    for (; i < rest.size() && command == nullptr; i++) {
        const std::string &arg = rest[i];
        if (IsHelp(arg) && command == nullptr)
            return show(ToolUsage(commands));
        if (arg.starts_with("-"))
            return error("unknown option '" + arg + "'", nullptr);
        if (arg == "help") {
            if (i + 1 == rest.size())
                return show(ToolUsage(commands));
            const Command *about = FindCommand(commands, rest[i + 1]);
            if (about == nullptr)
                return error("no command named '" + rest[i + 1] + "'", nullptr);
            return show(CommandHelp(*about));
        }
        command = FindCommand(commands, arg);
        if (command == nullptr)
            return error("unknown command '" + arg + "'", nullptr);
    }
    if (command == nullptr)
        return error("no command given", nullptr);

    result.command = command;
    bool onlyOperands = false;
    for (; i < rest.size(); i++) {
        const std::string &arg = rest[i];
        if (onlyOperands || arg == "-" || !arg.starts_with("-")) {
            result.arguments.operands_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyOperands = true;
            continue;
        }
        if (IsHelp(arg))
            return show(CommandHelp(*command));
        std::string name = arg, value;
        bool inlineValue = false;
        if (size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const OptionSpec *spec = FindOption(command->options, name);
        if (spec == nullptr)
            return error(command->name + ": unknown option '" + name + "'", command);
        if (spec->valueName.empty()) {
            if (inlineValue)
                return error(command->name + ": " + name + " takes no value", command);
        } else if (!inlineValue) {
            if (i + 1 == rest.size())
                return error(command->name + ": " + name + " needs a value (" + spec->valueName + ")", command);
            value = rest[++i];
        }
        result.arguments.values_[name] = value;
    }
    size_t count = result.arguments.operands_.size();
    if (count < command->minOperands)
        return error(command->name + ": missing " + command->operands, command);
    if (count > command->maxOperands)
        return error(command->name + ": unexpected argument '" + result.arguments.operands_[command->maxOperands] +
                         "'",
                     command);
    result.action = Action::Run;
    return result;
}

}  // namespace tarvik::sim
