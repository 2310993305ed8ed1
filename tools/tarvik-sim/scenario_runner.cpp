// Running a scenario (see scenario_runner.h).
#include "scenario_runner.h"

#include "console.h"
#include "scenario_context.h"
#include "trace.h"
#include "watchdog.h"

#include <filesystem>

namespace tarvik::sim {

RunReport RunScenario(const Scenario &scenario, const GlobalOptions &options,
                      const std::function<bool()> &stopRequested)
{
    RunReport report;
    TraceTap tap(options.trace);
    Watchdog dog(Watchdog::LimitFromEnvironment(std::chrono::seconds(10)));
    ScenarioContext context(options, std::filesystem::path(scenario.file).parent_path().string(), dog);

    for (const Step &step : scenario.steps) {
        if (stopRequested()) {
            console::Line("interrupted before line " + std::to_string(step.line));
            report.interrupted = true;
            report.failedLine = step.line;
            break;
        }
        // The step goes out before it runs, so that a verifier stop or a
        // hang inside it is seen right after the step that caused it.
        console::Line(scenario.file + ":" + std::to_string(step.line) + ": " + step.text);
        StepOutcome outcome;
        {
            auto armed = dog.Arm(scenario.file + ":" + std::to_string(step.line) + ": " + step.text);
            outcome = step.run(context);
        }
        report.stepsRun++;
        if (!outcome.ok) {
            console::Line("    FAILED: " + outcome.what);
            report.failedLine = step.line;
            break;
        }
        if (!outcome.what.empty())
            console::Line("    " + outcome.what);
    }
    {
        auto armed = dog.Arm("closing the port and shutting the machine down");
        context.Port().Close();
        report.findings = context.Machine().Shutdown();
    }
    report.passed = report.failedLine == 0 && report.findings.empty();
    return report;
}

}  // namespace tarvik::sim
