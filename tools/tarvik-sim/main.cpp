// tarvik-sim: the command-line front of winsim.
#include "command_line.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"

#include <cstdio>

int main(int argc, char **argv)
{
    using namespace tarvik::sim;
    const std::vector<Command> commands = {DemoCommand(), PrintCommand(), RunCommand(), ServeCommand()};
    CommandLine line = CommandLine::Parse(commands, std::vector<std::string>(argv + 1, argv + argc));
    switch (line.action) {
    case CommandLine::Action::ShowText:
        fputs(line.text.c_str(), stdout);
        return kExitOk;
    case CommandLine::Action::Error:
        fputs(line.text.c_str(), stderr);
        return kExitUsage;
    case CommandLine::Action::Run:
        break;
    }
    return line.command->run(line.global, line.arguments);
}
