// Tapping the machine's trace (see trace.h).
#include "trace.h"

#include "console.h"

#include <harness.h>

namespace tarvik::sim {

TraceTap::TraceTap(bool print, Observer observer)
{
    if (!print && !observer)
        return;
    winsim::harness::SetTrace([print, observer = std::move(observer)](const std::string &line) {
        if (observer)
            observer(line);
        if (print)
            console::Line("      | " + line);
    });
}

TraceTap::~TraceTap() { winsim::harness::SetTrace({}); }

}  // namespace tarvik::sim
