// A systematic low-resource run over fresh machines, shared by the tests of
// both drivers.
#pragma once

#include <gtest/gtest.h>
#include <harness.h>

#include <cstdio>
#include <functional>

namespace winsim::test {

// Runs `scenario` (which boots its own machine and shuts it down) again and
// again with every allocation site failing the first time a call stack
// reaches it, until a run reaches no site that has not failed before, a run
// fails the test, or `maxRuns` is reached. Prints what failed, records the
// count as a test property and returns the report with the number of runs.
struct SystematicRun {
    LowResourceReport report;
    int runs = 0;
};

inline SystematicRun FailEverySiteOnce(const std::function<void()> &scenario, int maxRuns, const char *drivers)
{
    SetLowResourceMode(LowResourceMode::Systematic);
    SystematicRun run;
    size_t failed = 0;
    while (run.runs < maxRuns) {
        run.runs++;
        scenario();
        if (testing::Test::HasFailure())
            break;
        size_t now = GetLowResourceReport().sitesFailed;
        if (now == failed)
            break;  // this run reached no site that had not failed before
        failed = now;
    }
    run.report = GetLowResourceReport();
    SetLowResourceMode(LowResourceMode::Off);

    printf("low resources: %zu allocation sites of %s failed over %d runs\n", run.report.sitesFailed, drivers,
           run.runs);
    for (const std::string &site : run.report.sites)
        printf("  %s\n", site.c_str());
    testing::Test::RecordProperty("sites_failed", static_cast<int>(run.report.sitesFailed));
    return run;
}

}  // namespace winsim::test
