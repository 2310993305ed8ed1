// The subcommands of tarvik-sim, each in its own file.
#pragma once

#include "command_line.h"

namespace tarvik::sim {

Command DemoCommand();   // demo.cpp
Command PrintCommand();  // print.cpp
Command RunCommand();    // run.cpp
Command ServeCommand();  // serve.cpp

}  // namespace tarvik::sim
