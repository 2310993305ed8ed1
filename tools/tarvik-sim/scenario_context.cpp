// The running scenario's shared state (see scenario_context.h).
#include "scenario_context.h"

#include <filesystem>

namespace tarvik::sim {

std::string ScenarioContext::Resolve(const std::string &path) const
{
    std::filesystem::path p(path);
    if (p.is_absolute() || scenarioDirectory_.empty())
        return p.string();
    return (std::filesystem::path(scenarioDirectory_) / p).string();
}

void ScenarioContext::SetWire(winsim::usb::WireModel wire) { machine_.Harness().SetUsbOptions({.wire = wire}); }

}  // namespace tarvik::sim
