// Services of a device installation (see services.h).
#include "services.h"

#include "add_reg.h"

#include "../registry/registry.h"

#include <algorithm>

namespace winsim::setup {
namespace {

constexpr uint32_t kNoClobberDisplayName = 0x004, kNoClobberStartType = 0x010, kNoClobberErrorControl = 0x020,
                   kNoClobberLoadOrderGroup = 0x040, kNoClobberDescription = 0x100;

struct AddService {
    const InfLine *line;
    std::string name;
    uint32_t flags;
    const InfSection *install;
};

std::vector<AddService> Entries(const InfFile &inf, const InfSection &services)
{
    std::vector<AddService> entries;
    for (auto &line : services.lines) {
        if (!line.key || !EqualNoCase(*line.key, "AddService"))
            continue;
        AddService entry{&line, line.Field(0), 0, nullptr};
        if (!line.Field(1).empty()) {
            auto flags = InfNumber(line.Field(1));
            if (!flags)
                inf.Fail(line.number, "'" + line.Field(1) + "' is not a number of AddService flags");
            entry.flags = *flags;
        }
        if (entry.name.empty())
            inf.Fail(line.number, "AddService without a service name");
        if (line.Field(2).empty())
            inf.Fail(line.number, "AddService " + entry.name + " names no service-install section");
        entry.install = &inf.Require(line.Field(2), line.number);
        entries.push_back(entry);
    }
    return entries;
}

const InfLine &Required(const InfFile &inf, const InfSection &install, const char *key)
{
    for (auto &line : install.lines)
        if (line.key && EqualNoCase(*line.key, key))
            return line;
    inf.Fail(install.number, "[" + install.name + "] has no " + key + " entry");
}

uint32_t Number(const InfFile &inf, const InfSection &install, const char *key)
{
    const InfLine &line = Required(inf, install, key);
    auto value = InfNumber(line.Field(0));
    if (!value)
        inf.Fail(line.number, std::string(key) + " '" + line.Field(0) + "' is not a number");
    return *value;
}

const InfLine *Optional(const InfSection &install, const char *key)
{
    for (auto &line : install.lines)
        if (line.key && EqualNoCase(*line.key, key))
            return &line;
    return nullptr;
}

}  // namespace

void CheckServices(const InfFile &inf, const InfSection &services, const DirIds &dirids)
{
    int functionDrivers = 0;
    for (auto &entry : Entries(inf, services)) {
        functionDrivers += (entry.flags & kAssociatedService) != 0;
        for (const char *key : {"ServiceType", "StartType", "ErrorControl"})
            Number(inf, *entry.install, key);
        const InfLine &binary = Required(inf, *entry.install, "ServiceBinary");
        dirids.Expand(binary.Field(0), inf, binary.number);
        for (auto &line : entry.install->lines)
            if (line.key && EqualNoCase(*line.key, "AddReg"))
                CheckAddReg(inf, line);
    }
    if (functionDrivers != 1)
        inf.Fail(services.number, "[" + services.name + "] must name exactly one function driver (AddService flag 0x2), not " +
                                      std::to_string(functionDrivers));
}

std::string InstallServices(const InfFile &inf, const InfSection &services, const DirIds &dirids,
                            const std::string &owner)
{
    std::string functionDriver;
    for (auto &entry : Entries(inf, services)) {
        const InfSection &install = *entry.install;
        std::string key = std::string(registry::kServicesKey) + "\\" + entry.name;
        bool existed = registry::KeyExists(key);
        auto keep = [&](uint32_t flag) { return existed && (entry.flags & flag); };

        registry::SetDword(key, "Type", Number(inf, install, "ServiceType"));
        if (!keep(kNoClobberStartType))
            registry::SetDword(key, "Start", Number(inf, install, "StartType"));
        if (!keep(kNoClobberErrorControl))
            registry::SetDword(key, "ErrorControl", Number(inf, install, "ErrorControl"));
        const InfLine &binary = Required(inf, install, "ServiceBinary");
        registry::SetString(key, "ImagePath",
                            ImagePathOf(dirids.Expand(binary.Field(0), inf, binary.number), dirids.folders->systemRoot()),
                            REG_EXPAND_SZ);
        if (const InfLine *name = Optional(install, "DisplayName"); name && !keep(kNoClobberDisplayName))
            registry::SetString(key, "DisplayName", name->Field(0));
        if (const InfLine *text = Optional(install, "Description"); text && !keep(kNoClobberDescription))
            registry::SetString(key, "Description", text->Field(0));
        if (const InfLine *group = Optional(install, "LoadOrderGroup"); group && !keep(kNoClobberLoadOrderGroup))
            registry::SetString(key, "Group", group->Field(0));
        auto owners = registry::GetMultiString(key, "Owners").value_or(std::vector<std::string>{});
        if (std::none_of(owners.begin(), owners.end(), [&](auto &o) { return EqualNoCase(o, owner); }))
            owners.push_back(owner);
        registry::SetMultiString(key, "Owners", owners);
        for (auto &line : install.lines)
            if (line.key && EqualNoCase(*line.key, "AddReg"))
                ApplyAddReg(inf, line, RegistryRoots{key, {}}, dirids);
        if (entry.flags & kAssociatedService)
            functionDriver = entry.name;
    }
    return functionDriver;
}

}  // namespace winsim::setup
