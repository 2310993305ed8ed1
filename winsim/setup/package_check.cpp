// Checks of a driver package before it is staged (see package_check.h).
#include "package_check.h"

#include "add_reg.h"
#include "copy_files.h"
#include "machine_folders.h"
#include "services.h"
#include "source_files.h"

#include <cctype>
#include <cstdio>
#include <set>

namespace winsim::setup {
namespace {

bool IsGuid(const std::string &text)
{
    static const char pattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (text.size() != sizeof pattern - 1)
        return false;
    for (size_t i = 0; i < text.size(); i++)
        if (pattern[i] == 'X' ? !std::isxdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i])
            return false;
    return true;
}

const InfLine &VersionEntry(const InfFile &inf, const InfSection &version, const char *key)
{
    const InfLine *line = inf.FindKey("Version", key);
    if (line == nullptr || line->Field(0).empty())
        inf.Fail(version.number, std::string("[Version] has no ") + key + " entry");
    return *line;
}

void ParseDriverVer(const InfFile &inf, const InfLine &line, PackageVersion &out)
{
    char extra;
    if (sscanf(line.Field(0).c_str(), "%u/%u/%u%c", &out.month, &out.day, &out.year, &extra) != 3 || out.month < 1 ||
        out.month > 12 || out.day < 1 || out.day > 31 || out.year < 1980)
        inf.Fail(line.number, "DriverVer date '" + line.Field(0) + "' is not mm/dd/yyyy");
    std::string text = line.Field(1);
    if (text.empty())
        return;
    size_t start = 0;
    while (start <= text.size()) {
        size_t dot = text.find('.', start);
        auto part = InfNumber(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (!part || *part > 0xFFFF)
            inf.Fail(line.number, "DriverVer version '" + text + "' is not w.x.y.z");
        out.version.push_back(*part);
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (out.version.size() > 4)
        inf.Fail(line.number, "DriverVer version '" + text + "' has more than four parts");
}

}  // namespace

PackageVersion ReadVersion(const InfFile &inf)
{
    const InfSection *version = inf.Find("Version");
    if (version == nullptr)
        inf.Fail(0, "no [Version] section");
    const InfLine &signature = VersionEntry(inf, *version, "Signature");
    std::string s = signature.Field(0);
    if (!EqualNoCase(s, "$Windows NT$") && !EqualNoCase(s, "$Chicago$") && !EqualNoCase(s, "$Windows 95$"))
        inf.Fail(signature.number, "Signature '" + s + "' is not $Windows NT$ or $Chicago$");
    PackageVersion out;
    out.className = VersionEntry(inf, *version, "Class").Field(0);
    const InfLine &guid = VersionEntry(inf, *version, "ClassGuid");
    out.classGuid = guid.Field(0);
    if (!IsGuid(out.classGuid))
        inf.Fail(guid.number, "ClassGuid '" + out.classGuid + "' is not a {GUID}");
    out.provider = VersionEntry(inf, *version, "Provider").Field(0);
    ParseDriverVer(inf, VersionEntry(inf, *version, "DriverVer"), out);
    return out;
}

std::vector<Model> ModelsFor(const InfFile &inf, const Platform &platform)
{
    const InfSection *manufacturers = inf.Find("Manufacturer");
    if (manufacturers == nullptr)
        inf.Fail(0, "no [Manufacturer] section");
    std::vector<Model> models;
    for (auto &entry : manufacturers->lines) {
        std::string name = entry.key ? *entry.key : entry.Field(0);
        InfLine target = entry;
        if (!entry.key)
            target.fields = {name};  // "manufacturer-name" alone names its Models section
        auto section = ModelsSectionFor(inf, target, platform);
        if (!section)
            continue;
        for (auto &line : inf.Require(*section, entry.number).lines) {
            if (!line.key)
                inf.Fail(line.number, "Models entry without 'description ='");
            Model model{name, *line.key, line.Field(0), {}, &line};
            model.ids.assign(line.fields.begin() + (line.fields.empty() ? 0 : 1), line.fields.end());
            if (model.installName.empty())
                inf.Fail(line.number, "Models entry without an install section");
            if (model.ids.empty() || model.ids[0].empty())
                inf.Fail(line.number, "Models entry without a hardware ID");
            models.push_back(model);
        }
    }
    return models;
}

void CheckPackage(const InfFile &inf, const std::filesystem::path &packageDirectory, const Platform &platform,
                  const MachineFolders &folders)
{
    ReadVersion(inf);
    std::vector<Model> models = ModelsFor(inf, platform);
    if (models.empty())
        inf.Fail(inf.Find("Manufacturer")->number, "no Models section for NT" + platform.architecture);

    DirIds dirids{&folders, "System32\\DriverStore\\FileRepository\\(package)"};
    std::set<std::string> checked;
    for (auto &model : models) {
        auto installName = InstallSectionFor(inf, model.installName, platform);
        if (!installName)
            inf.Fail(model.line->number, "install section [" + model.installName + "] does not exist");
        if (!checked.insert(Lower(*installName)).second)
            continue;
        const InfSection &install = *inf.Find(*installName);
        PlanCopyFiles(inf, install, platform, dirids);
        for (const InfSection *section : {&install, inf.Find(*installName + ".HW")}) {
            if (section == nullptr)
                continue;
            for (auto &line : section->lines)
                if (line.key && EqualNoCase(*line.key, "AddReg"))
                    CheckAddReg(inf, line);
        }
        const InfSection *services = inf.Find(*installName + ".Services");
        if (services == nullptr)
            inf.Fail(model.line->number, "[" + *installName + ".Services] does not exist: the device would have no driver");
        CheckServices(inf, *services, dirids);
    }
    for (auto &file : AllSourceFiles(inf, platform)) {
        std::filesystem::path path = ResolveCaseInsensitive(packageDirectory, file.relativePath);
        if (!std::filesystem::is_regular_file(path))
            inf.Fail(file.line, file.name + " is not in the package (" + path.string() + ")");
    }
}

}  // namespace winsim::setup
