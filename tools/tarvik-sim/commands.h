// The subcommands of tarvik-sim.
#pragma once

namespace tarvik::sim {

struct GlobalOptions {
    bool trace = false;
};

extern const char kDemoHelp[];
int RunDemo(const GlobalOptions &options);

}  // namespace tarvik::sim
