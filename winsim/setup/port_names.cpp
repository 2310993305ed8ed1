// COM names of Ports-class devices (see port_names.h).
#include "port_names.h"

#include "com_name_arbiter.h"
#include "inf_file.h"

#include "../registry/registry.h"

namespace winsim::setup {
namespace {

std::string HardwareKey(const std::string &instanceKey) { return instanceKey + "\\Device Parameters"; }

}  // namespace

std::string AssignPortName(const std::string &instanceKey, const std::string &forced)
{
    const std::string key = HardwareKey(instanceKey);
    auto remembered = registry::GetString(key, "PortName");
    std::string name;
    if (!forced.empty()) {
        if (remembered && !EqualNoCase(*remembered, forced)) {
            if (auto old = comdb::PortNumber(*remembered))
                comdb::Release(*old);
        }
        name = forced;
    } else if (remembered && !remembered->empty()) {
        name = *remembered;
    } else {
        auto number = comdb::ClaimNextFree();
        if (!number)
            return {};
        name = "COM" + std::to_string(*number);
    }
    if (auto number = comdb::PortNumber(name))
        comdb::Claim(*number);
    registry::SetString(key, "PortName", name);
    return name;
}

void ReleasePortName(const std::string &instanceKey)
{
    auto name = registry::GetString(HardwareKey(instanceKey), "PortName");
    if (!name)
        return;
    if (auto number = comdb::PortNumber(*name))
        comdb::Release(*number);
}

}  // namespace winsim::setup
