// CopyFiles directives (see copy_files.h).
#include "copy_files.h"

#include "source_files.h"

namespace winsim::setup {
namespace {

struct Destination {
    std::string folder;
    bool inStore = false;
};

Destination DestinationOf(const InfFile &inf, const std::string &list, int from, const DirIds &dirids)
{
    const InfLine *line = list.empty() ? nullptr : inf.FindKey("DestinationDirs", list);
    if (line == nullptr)
        line = inf.FindKey("DestinationDirs", "DefaultDestDir");
    if (line == nullptr)
        inf.Fail(from, "no [DestinationDirs] entry for " + (list.empty() ? std::string("CopyFiles=@") : list) +
                           " and no DefaultDestDir");
    auto dirid = InfNumber(line->Field(0));
    auto folder = dirid ? dirids.Folder(static_cast<int>(*dirid)) : std::nullopt;
    if (!folder)
        inf.Fail(line->number, "directory ID '" + line->Field(0) + "' is not one winsim knows");
    std::string sub = line->Field(1);
    return Destination{sub.empty() ? *folder : folder->empty() ? sub : *folder + "\\" + sub, *dirid == 13};
}

void Add(std::vector<FileCopy> &plan, const InfFile &inf, const std::string &destinationName,
         const std::string &sourceName, const Destination &destination, int line, const Platform &platform)
{
    auto source = FindSourceFile(inf, sourceName, platform);
    if (!source)
        inf.Fail(line, sourceName + " is not listed in [SourceDisksFiles]");
    if (!destination.inStore)
        plan.push_back(FileCopy{source->relativePath, destination.folder, destinationName, line});
}

}  // namespace

std::vector<FileCopy> PlanCopyFiles(const InfFile &inf, const InfSection &install, const Platform &platform,
                                    const DirIds &dirids)
{
    std::vector<FileCopy> plan;
    for (auto &directive : install.lines) {
        if (!directive.key || !EqualNoCase(*directive.key, "CopyFiles"))
            continue;
        for (auto &item : directive.fields) {
            if (item.empty())
                continue;
            if (item[0] == '@') {
                std::string name = item.substr(1);
                Add(plan, inf, name, name, DestinationOf(inf, "", directive.number, dirids), directive.number, platform);
                continue;
            }
            const InfSection &list = inf.Require(item, directive.number);
            Destination destination = DestinationOf(inf, list.name, directive.number, dirids);
            for (auto &file : list.lines) {
                std::string destinationName = file.Field(0);
                std::string sourceName = file.Field(1);
                if (file.key || destinationName.empty())
                    inf.Fail(file.number, "file list entry without a file name");
                Add(plan, inf, destinationName, sourceName.empty() ? destinationName : sourceName, destination,
                    file.number, platform);
            }
        }
    }
    return plan;
}

void CopyFiles(const std::vector<FileCopy> &copies, const std::filesystem::path &storeDirectory,
               const MachineFolders &folders)
{
    for (auto &copy : copies) {
        std::filesystem::path folder = folders.Host(copy.destinationFolder);
        std::filesystem::create_directories(folder);
        // A driver image may be loaded (another device uses it): the new file
        // takes the name's place, and the loaded one stays intact until it is
        // unloaded, as Windows replaces files in use.
        std::filesystem::path target = ResolveCaseInsensitive(folder, copy.destinationName);
        std::filesystem::path staging = target;
        staging += ".new";
        std::filesystem::copy_file(ResolveCaseInsensitive(storeDirectory, copy.source), staging,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::rename(staging, target);
    }
}

}  // namespace winsim::setup
