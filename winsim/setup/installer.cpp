// Windows' device setup for winsim (see installer.h).
#include "installer.h"

#include "add_reg.h"
#include "copy_files.h"
#include "dirids.h"
#include "driver_rank.h"
#include "driver_store.h"
#include "machine_folders.h"
#include "package_check.h"
#include "port_names.h"
#include "services.h"

#include "../registry/registry.h"
#include "../registry/text.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <set>

namespace winsim::setup {
namespace {

constexpr char kPortsClass[] = "{4d36e978-e325-11ce-bfc1-08002be10318}";

// Values a previous driver of the device set and the new one may not.
const char *const kDriverOwnedValues[] = {"Service", "UpperFilters", "LowerFilters", "Exclusive", "FriendlyName"};

struct Candidate {
    uint32_t score = 0;
    PackageVersion version;
    StagedPackage package;
    std::shared_ptr<InfFile> inf;
    Model model;
    std::string matchedId;
};

std::string Upper(std::string text)
{
    for (auto &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool Better(const Candidate &a, const Candidate &b)
{
    if (a.score != b.score)
        return a.score < b.score;
    auto date = [](const PackageVersion &v) { return std::make_tuple(v.year, v.month, v.day); };
    if (date(a.version) != date(b.version))
        return date(a.version) > date(b.version);
    return a.version.version > b.version.version;
}

std::vector<uint8_t> FileTimeOf(const PackageVersion &v)
{
    using namespace std::chrono;
    auto days = sys_days(year(static_cast<int>(v.year)) / month(v.month) / day(v.day)) -
                sys_days(year(1601) / January / 1);
    uint64_t ticks = static_cast<uint64_t>(days.count()) * 864000000000ull;
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 8; i++)
        bytes.push_back(static_cast<uint8_t>(ticks >> (8 * i)));
    return bytes;
}

std::string VersionText(const std::vector<unsigned> &parts)
{
    std::string text;
    for (size_t i = 0; i < 4; i++)
        text += (i ? "." : "") + std::to_string(i < parts.size() ? parts[i] : 0);
    return text;
}

// The lowest free NNNN under the class's key.
std::string NextDriverKey(const std::string &classGuid)
{
    std::set<unsigned> used;
    for (auto &name : registry::SubkeyNames(std::string(registry::kClassKey) + "\\" + classGuid)) {
        if (name.size() == 4 && name.find_first_not_of("0123456789") == std::string::npos)
            used.insert(static_cast<unsigned>(std::stoul(name)));
    }
    unsigned n = 0;
    while (used.count(n))
        n++;
    char text[8];
    snprintf(text, sizeof text, "%04u", n);
    return classGuid + "\\" + text;
}

std::vector<std::string> Utf8(const std::vector<std::u16string> &ids)
{
    std::vector<std::string> out;
    for (auto &id : ids)
        out.push_back(registry::Utf16ToUtf8(id));
    return out;
}

}  // namespace

std::vector<std::string> DeviceResult::StackServices() const
{
    std::vector<std::string> services = lowerFilters;
    if (!service.empty())
        services.push_back(service);
    services.insert(services.end(), upperFilters.begin(), upperFilters.end());
    return services;
}

struct DriverSetup::Parts {
    MachineFolders folders;
    DriverStore store;

    explicit Parts(const SetupConfig &config)
        : folders(config.windowsDirectory, config.systemRoot), store(folders, config.platform)
    {
    }
};

DriverSetup::DriverSetup(SetupConfig config) : config_(std::move(config)), parts_(std::make_unique<Parts>(config_)) {}

DriverSetup::~DriverSetup() = default;

PackageResult DriverSetup::InstallPackage(const std::filesystem::path &infPath, const PackageOptions &options)
{
    std::lock_guard<std::mutex> lock(lock_);
    PackageResult result;
    std::filesystem::path directory = options.packageDirectory.empty() ? infPath.parent_path() : options.packageDirectory;
    try {
        InfFile inf = InfFile::Load(infPath, config_.platform.architecture);
        CheckPackage(inf, directory, config_.platform, parts_->folders);
        StagedPackage package = parts_->store.Stage(inf, infPath, directory, &result.alreadyStaged);
        result.publishedName = package.publishedName;
        result.storeDirectory = package.storeDirectory;
        result.ok = true;
    } catch (const InfError &e) {
        result.error = e.what();
    } catch (const std::filesystem::filesystem_error &e) {
        result.error = infPath.string() + ": " + e.what();
    }
    return result;
}

DeviceResult DriverSetup::InstallDevice(const std::string &instanceId, const std::vector<std::string> &hardwareIds,
                                        const std::vector<std::string> &compatibleIds, const DeviceOptions &options)
{
    std::lock_guard<std::mutex> lock(lock_);
    DeviceResult result;
    const Platform &platform = config_.platform;
    DeviceIds device{hardwareIds, compatibleIds};
    std::optional<Candidate> best;
    for (auto &package : parts_->store.Packages()) {
        try {
            auto inf = std::make_shared<InfFile>(InfFile::Load(package.storeInf, platform.architecture));
            PackageVersion version = ReadVersion(*inf);
            for (auto &model : ModelsFor(*inf, platform)) {
                if (!options.installSection.empty() && !EqualNoCase(model.installName, options.installSection))
                    continue;
                std::string matched;
                auto score = IdentifierScore(model.ids, device, &matched);
                if (!score)
                    continue;
                Candidate candidate{*score, version, package, inf, model, matched};
                if (!best || Better(candidate, *best))
                    best = candidate;
            }
        } catch (const InfError &) {
            continue;  // a package the store holds but cannot read serves no device
        }
    }
    if (!best)
        return result;

    const Candidate &c = *best;
    const InfFile &inf = *c.inf;
    result.matched = true;
    result.publishedName = c.package.publishedName;
    result.description = c.model.description;
    result.manufacturer = c.model.manufacturer;
    result.matchingId = c.matchedId;
    result.classGuid = Lower(c.version.classGuid);
    result.className = c.version.className;
    const std::string instanceKey = std::string(registry::kEnumKey) + "\\" + instanceId;
    try {
        auto chosen = InstallSectionFor(inf, c.model.installName, platform);
        if (!chosen)
            inf.Fail(c.model.line->number, "install section [" + c.model.installName + "] does not exist");
        const std::string installName = *chosen;
        result.installSection = installName;
        DirIds dirids{&parts_->folders, DriverStore::StoreFolder(c.package.folderName)};
        auto copies = PlanCopyFiles(inf, *inf.Find(installName), platform, dirids);

        // The instance key, cleared of what an earlier driver put there.
        auto oldDriver = registry::GetString(instanceKey, "Driver");
        for (const char *name : kDriverOwnedValues)
            registry::DeleteValue(instanceKey, name);
        registry::SetMultiString(instanceKey, "HardwareID", hardwareIds);
        if (compatibleIds.empty())
            registry::DeleteValue(instanceKey, "CompatibleIDs");
        else
            registry::SetMultiString(instanceKey, "CompatibleIDs", compatibleIds);
        registry::SetString(instanceKey, "DeviceDesc", c.model.description);
        registry::SetString(instanceKey, "Mfg", c.model.manufacturer);
        registry::SetString(instanceKey, "Class", c.version.className);
        registry::SetString(instanceKey, "ClassGUID", result.classGuid);
        registry::SetDword(instanceKey, "ConfigFlags", 0);

        // The software key: the same number again for the same class.
        std::string classKey = std::string(registry::kClassKey) + "\\" + Upper(result.classGuid);
        if (!registry::KeyExists(classKey))
            registry::SetString(classKey, "Class", c.version.className);
        if (oldDriver && !EqualNoCase(oldDriver->substr(0, result.classGuid.size()), result.classGuid)) {
            registry::DeleteKey(std::string(registry::kClassKey) + "\\" + *oldDriver);
            oldDriver.reset();
        }
        result.driverKey = oldDriver ? Lower(*oldDriver) : NextDriverKey(result.classGuid);
        const std::string softwareKey = std::string(registry::kClassKey) + "\\" + result.driverKey;
        registry::DeleteKey(softwareKey);
        registry::SetString(instanceKey, "Driver", result.driverKey);
        registry::SetString(softwareKey, "DriverDesc", c.model.description);
        registry::SetString(softwareKey, "ProviderName", c.version.provider);
        registry::SetString(softwareKey, "DriverDate", std::to_string(c.version.month) + "-" +
                                                           std::to_string(c.version.day) + "-" +
                                                           std::to_string(c.version.year));
        registry::SetBinary(softwareKey, "DriverDateData", FileTimeOf(c.version));
        registry::SetString(softwareKey, "DriverVersion", VersionText(c.version.version));
        registry::SetString(softwareKey, "InfPath", c.package.publishedName);
        registry::SetString(softwareKey, "InfSection", c.model.installName);
        registry::SetString(softwareKey, "InfSectionExt", InstallSectionExtension(installName, c.model.installName));
        registry::SetString(softwareKey, "MatchingDeviceId", Lower(c.matchedId));

        CopyFiles(copies, c.package.storeDirectory, parts_->folders);
        const RegistryRoots software{softwareKey, {}};
        const RegistryRoots hardware{instanceKey + "\\Device Parameters", instanceKey};
        for (auto [section, roots] : {std::make_pair(inf.Find(installName), &software),
                                      std::make_pair(inf.Find(installName + ".HW"), &hardware)}) {
            if (section == nullptr)
                continue;
            for (auto &line : section->lines)
                if (line.key && EqualNoCase(*line.key, "AddReg"))
                    ApplyAddReg(inf, line, *roots, dirids);
        }
        result.service = InstallServices(inf, inf.Require(installName + ".Services", c.model.line->number), dirids,
                                         c.package.publishedName);
        registry::SetString(instanceKey, "Service", result.service);

        if (result.classGuid == kPortsClass) {
            result.portName = AssignPortName(instanceKey, options.portName);
            if (result.portName.empty())
                inf.Fail(c.model.line->number, "the COM Name Arbiter has no free COM number");
            registry::SetString(instanceKey, "FriendlyName", c.model.description + " (" + result.portName + ")");
        }
    } catch (const InfError &e) {
        result.error = e.what();
    } catch (const std::filesystem::filesystem_error &e) {
        result.error = c.package.storeInf.string() + ": " + e.what();
    }
    result.upperFilters = registry::GetMultiString(instanceKey, "UpperFilters").value_or(std::vector<std::string>{});
    result.lowerFilters = registry::GetMultiString(instanceKey, "LowerFilters").value_or(std::vector<std::string>{});
    result.exclusive = registry::GetDword(instanceKey, "Exclusive").value_or(0) != 0;
    return result;
}

DeviceResult DriverSetup::InstallDevice(const std::u16string &instanceId, const std::vector<std::u16string> &hardwareIds,
                                        const std::vector<std::u16string> &compatibleIds, const DeviceOptions &options)
{
    return InstallDevice(registry::Utf16ToUtf8(instanceId), Utf8(hardwareIds), Utf8(compatibleIds), options);
}

std::optional<DeviceResult> DriverSetup::InstalledDriver(const std::string &instanceId) const
{
    std::lock_guard<std::mutex> lock(lock_);
    const std::string instanceKey = std::string(registry::kEnumKey) + "\\" + instanceId;
    auto service = registry::GetString(instanceKey, "Service");
    if (!service || service->empty())
        return std::nullopt;
    DeviceResult result;
    result.matched = true;
    result.service = *service;
    result.upperFilters = registry::GetMultiString(instanceKey, "UpperFilters").value_or(std::vector<std::string>{});
    result.lowerFilters = registry::GetMultiString(instanceKey, "LowerFilters").value_or(std::vector<std::string>{});
    result.exclusive = registry::GetDword(instanceKey, "Exclusive").value_or(0) != 0;
    result.description = registry::GetString(instanceKey, "DeviceDesc").value_or("");
    result.manufacturer = registry::GetString(instanceKey, "Mfg").value_or("");
    result.classGuid = registry::GetString(instanceKey, "ClassGUID").value_or("");
    result.className = registry::GetString(instanceKey, "Class").value_or("");
    result.driverKey = registry::GetString(instanceKey, "Driver").value_or("");
    result.portName = registry::GetString(instanceKey + "\\Device Parameters", "PortName").value_or("");
    if (!result.driverKey.empty()) {
        const std::string softwareKey = std::string(registry::kClassKey) + "\\" + result.driverKey;
        result.publishedName = registry::GetString(softwareKey, "InfPath").value_or("");
        result.installSection = registry::GetString(softwareKey, "InfSection").value_or("") +
                                registry::GetString(softwareKey, "InfSectionExt").value_or("");
        result.matchingId = registry::GetString(softwareKey, "MatchingDeviceId").value_or("");
    }
    return result;
}

std::optional<DeviceResult> DriverSetup::InstalledDriver(const std::u16string &instanceId) const
{
    return InstalledDriver(registry::Utf16ToUtf8(instanceId));
}

void DriverSetup::RemoveDevice(const std::string &instanceId)
{
    std::lock_guard<std::mutex> lock(lock_);
    const std::string instanceKey = std::string(registry::kEnumKey) + "\\" + instanceId;
    if (!registry::KeyExists(instanceKey))
        return;
    ReleasePortName(instanceKey);
    if (auto driver = registry::GetString(instanceKey, "Driver"))
        registry::DeleteKey(std::string(registry::kClassKey) + "\\" + *driver);
    registry::DeleteKey(instanceKey);
}

bool DriverSetup::DeletePackage(const std::string &publishedName)
{
    std::lock_guard<std::mutex> lock(lock_);
    return parts_->store.Remove(publishedName);
}

std::optional<std::string> DriverSetup::PackageOfDevice(const std::string &instanceId) const
{
    std::lock_guard<std::mutex> lock(lock_);
    auto value = registry::GetString(std::string(registry::kEnumKey) + "\\" + instanceId, "Driver");
    if (!value)
        return std::nullopt;
    return registry::GetString(std::string(registry::kClassKey) + "\\" + *value, "InfPath");
}

SectionResult DriverSetup::RunInstallSection(const std::filesystem::path &infPath, const std::string &section)
{
    std::lock_guard<std::mutex> lock(lock_);
    try {
        InfFile inf = InfFile::Load(infPath, config_.platform.architecture);
        return setup::RunInstallSection(inf, section, parts_->folders);
    } catch (const std::exception &error) {
        SectionResult result;
        result.error = error.what();
        return result;
    }
}

std::vector<std::string> DriverSetup::PublishedPackages() const
{
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<std::string> names;
    for (auto &p : parts_->store.Packages())
        names.push_back(p.publishedName);
    return names;
}

}  // namespace winsim::setup
