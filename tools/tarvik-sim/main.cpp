// tarvik-sim: the command-line front of winsim.
#include "commands.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: tarvik-sim [--trace] <command> [options]\n"
    "\n"
    "Runs the product inside winsim, a simulated Windows machine.\n"
    "\n"
    "commands:\n"
    "  demo        boot a machine and show a request travelling through a driver stack\n"
    "  help [cmd]  show help for a command\n"
    "\n"
    "options:\n"
    "  --trace     print one line per request as it passes each device object\n"
    "\n"
    "exit status: 0 success, 1 the run found a problem, 2 bad usage,\n"
    "             70 the verifier stopped the machine\n";

}  // namespace

int main(int argc, char **argv)
{
    tarvik::sim::GlobalOptions options;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "--trace") == 0) {
            options.trace = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else {
            fprintf(stderr, "tarvik-sim: unknown option %s\n\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (i == argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::string command = argv[i];
    if (command == "help") {
        if (i + 1 < argc && strcmp(argv[i + 1], "demo") == 0) {
            fputs(tarvik::sim::kDemoHelp, stdout);
            return 0;
        }
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "demo") {
        if (i + 1 < argc && (strcmp(argv[i + 1], "--help") == 0 || strcmp(argv[i + 1], "-h") == 0)) {
            fputs(tarvik::sim::kDemoHelp, stdout);
            return 0;
        }
        if (i + 1 < argc) {
            fprintf(stderr, "tarvik-sim demo: unexpected argument %s\n\n%s", argv[i + 1], tarvik::sim::kDemoHelp);
            return 2;
        }
        return tarvik::sim::RunDemo(options);
    }
    fprintf(stderr, "tarvik-sim: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return 2;
}
