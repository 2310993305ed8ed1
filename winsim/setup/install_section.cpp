// An INF's own install section (see install_section.h).
#include "install_section.h"

#include "../registry/registry.h"

#include <system_error>

namespace winsim::setup {
namespace {

// The folder [DestinationDirs] gives a file list (or DefaultDestDir),
// relative to the Windows folder.
std::string DestinationOf(const InfFile &inf, const std::string &list, int from)
{
    const InfLine *line = inf.FindKey("DestinationDirs", list);
    if (line == nullptr)
        line = inf.FindKey("DestinationDirs", "DefaultDestDir");
    if (line == nullptr)
        inf.Fail(from, "no [DestinationDirs] entry for " + list + " and no DefaultDestDir");
    auto dirid = InfNumber(line->Field(0));
    auto folder = dirid ? MachineFolders::DirIdFolder(static_cast<int>(*dirid)) : std::nullopt;
    if (!folder)
        inf.Fail(line->number, "directory ID '" + line->Field(0) + "' is not one winsim knows");
    std::string sub = line->Field(1);
    return sub.empty() ? *folder : folder->empty() ? sub : *folder + "\\" + sub;
}

// DelFiles=list[,list...]; each line of a list names a file (the first field).
void DeleteFiles(const InfFile &inf, const InfLine &directive, const MachineFolders &folders, SectionResult &result)
{
    for (const std::string &listName : directive.fields) {
        if (listName.empty())
            continue;
        const InfSection &list = inf.Require(listName, directive.number);
        std::string folder = DestinationOf(inf, list.name, directive.number);
        for (const InfLine &file : list.lines) {
            std::string name = file.key ? *file.key : file.Field(0);
            if (name.empty())
                continue;
            std::string relative = folder.empty() ? name : folder + "\\" + name;
            std::error_code error;
            if (std::filesystem::remove(folders.Host(relative), error))
                result.deletedFiles.push_back(folders.Windows(relative));
        }
    }
}

std::optional<std::string> RootPath(const std::string &root)
{
    for (const char *known : {"HKLM", "HKCU", "HKCR", "HKU"})
        if (EqualNoCase(root, known))
            return registry::NtPath(root);
    return std::nullopt;
}

// DelReg=section[,section...]; lines: root, subkey[, value name]. Without a
// value name the key goes with everything below it.
void DeleteRegistry(const InfFile &inf, const InfLine &directive)
{
    for (const std::string &sectionName : directive.fields) {
        if (sectionName.empty())
            continue;
        const InfSection &section = inf.Require(sectionName, directive.number);
        for (const InfLine &line : section.lines) {
            std::string rootName = line.key ? *line.key : line.Field(0);
            size_t first = line.key ? 0 : 1;
            auto root = RootPath(rootName);
            if (!root)
                inf.Fail(line.number, "DelReg root '" + rootName + "' is not one an INF's own section may use");
            std::string key = *root + "\\" + line.Field(first);
            if (line.fields.size() > first + 1)
                registry::DeleteValue(key, line.Field(first + 1));
            else
                registry::DeleteKey(key);
        }
    }
}

// DelService=name[,flags...]: the service's key goes.
void DeleteServices(const InfSection &services, SectionResult &result)
{
    for (const InfLine &line : services.lines) {
        if (!line.key || !EqualNoCase(*line.key, "DelService")) {
            result.unsupported.push_back(services.name + ": " + (line.key ? *line.key : line.Field(0)));
            continue;
        }
        std::string name = line.Field(0);
        if (registry::DeleteKey(std::string(registry::kServicesKey) + "\\" + name))
            result.deletedServices.push_back(name);
    }
}

}  // namespace

SectionResult RunInstallSection(const InfFile &inf, const std::string &section, const MachineFolders &folders)
{
    SectionResult result;
    try {
        const InfSection *install = inf.Find(section);
        if (install == nullptr) {
            result.error = inf.fileName() + ": no section [" + section + "]";
            return result;
        }
        for (const InfLine &directive : install->lines) {
            std::string name = directive.key ? *directive.key : std::string();
            if (EqualNoCase(name, "DelFiles"))
                DeleteFiles(inf, directive, folders, result);
            else if (EqualNoCase(name, "DelReg"))
                DeleteRegistry(inf, directive);
            else
                result.unsupported.push_back(section + ": " + name);
        }
        if (const InfSection *services = inf.Find(section + ".Services"))
            DeleteServices(*services, result);
        result.ok = true;
    } catch (const InfError &error) {
        result.error = error.what();
    }
    return result;
}

}  // namespace winsim::setup
