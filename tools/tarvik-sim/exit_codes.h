// The exit statuses of tarvik-sim, shared by every subcommand.
#pragma once

namespace tarvik::sim {

enum ExitCode : int {
    kExitOk = 0,           // the run did what it set out to do
    kExitFailed = 1,       // the product or the machine did not behave as expected
    kExitUsage = 2,        // the command line is wrong
    kExitBadInput = 3,     // a file named on the command line is unreadable or malformed
    kExitEnvironment = 4,  // the tool cannot set up (driver package missing, no pty, ...)
    kExitInterrupted = 130,  // stopped by Ctrl-C or SIGTERM before it finished
    // 70 is the verifier's: a driver broke a rule and the machine stopped.
};

}  // namespace tarvik::sim
