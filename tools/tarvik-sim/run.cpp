// tarvik-sim run SCENARIO: runs a scenario file and says which step, if
// any, did not go as expected.
#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "package_location.h"
#include "scenario.h"
#include "scenario_runner.h"
#include "scenario_steps.h"

namespace tarvik::sim {
namespace {

int Run(const GlobalOptions &options, const Arguments &arguments)
{
    const std::string &path = arguments.Operands()[0];
    auto loaded = LoadScenario(path);
    if (auto *error = std::get_if<ScenarioError>(&loaded)) {
        console::Error("tarvik-sim run: " + error->Text());
        return kExitBadInput;
    }
    if (arguments.Has("--check")) {
        console::Line(path + ": " + std::to_string(std::get<Scenario>(loaded).steps.size()) + " steps, well formed");
        return kExitOk;
    }
    Interrupts interrupts;  // before the machine's threads exist
    RunReport report =
        RunScenario(std::get<Scenario>(loaded), options, [&interrupts] { return interrupts.Requested(); });
    console::Line("");
    for (const std::string &f : report.findings)
        console::Line("left behind: " + f);
    if (report.interrupted)
        return kExitInterrupted;
    if (report.failedLine != 0) {
        console::Line(path + ": step at line " + std::to_string(report.failedLine) + " failed (" +
                      std::to_string(report.stepsRun) + " steps run)");
        return kExitFailed;
    }
    if (!report.findings.empty()) {
        console::Line(path + ": all " + std::to_string(report.stepsRun) +
                      " steps passed, but the machine was not left clean");
        return kExitFailed;
    }
    console::Line(path + ": all " + std::to_string(report.stepsRun) + " steps passed; verifier: nothing broken, "
                  "nothing left behind");
    return kExitOk;
}

std::string Description()
{
    return "Runs the steps of a scenario file on a fresh machine, one after the other,\n"
           "printing each step and what happened, and stops at the first step whose\n"
           "expectation is not met (exit status 1, naming the file and line). A file\n"
           "that is unreadable or has a malformed line is refused before anything runs\n"
           "(exit status 3). This is how a bug report becomes something anyone can run.\n"
           "\n"
           "A scenario is plain text, one step a line; '#' starts a comment. A step is a\n"
           "word, its arguments, and optionally 'expect' and what must come out. Calls\n"
           "on the port must succeed unless the step says 'expect error [NAME]'. DATA is\n"
           "one or more of \"text\" (with \\r \\n \\t \\f \\e \\0 \\\\ \\\" \\xHH), hex 1B 73 3F,\n"
           "pattern N. Relative paths are relative to the scenario's folder. A step that\n"
           "takes longer than the timeout (10 s; the 'timeout' step or\n"
           "$TARVIK_SIM_STEP_TIMEOUT_MS change it) ends the run as hung.\n"
           "\n"
           "Steps:\n" +
           StepReference() +
           "\n"
           "Example:\n"
           "  install\n"
           "  plug\n"
           "  open\n"
           "  write \"hello\\r\\n\"\n"
           "  printed expect \"hello\\r\\n\"\n"
           "  write hex 1B 73 3F            # the printer's status request\n"
           "  read 4 expect hex 00 07 00 00 # ready, 7 bytes printed\n"
           "  close\n"
           "\n"
           "More in examples/ and docs/tarvik-sim.md.";
}

}  // namespace

Command RunCommand()
{
    return {
        .name = "run",
        .operands = "SCENARIO",
        .summary = "run a scenario file: steps on the port, the printer and Plug and Play, with expectations",
        .description = Description(),
        .options = {{"--check", "", "only read and check the file; run nothing"}},
        .minOperands = 1,
        .maxOperands = 1,
        .run = Run,
    };
}

}  // namespace tarvik::sim
