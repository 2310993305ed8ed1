// Files of a driver package (see source_files.h).
#include "source_files.h"

namespace winsim::setup {
namespace {

std::string Join(std::string folder, const std::string &name)
{
    for (auto &c : folder)
        if (c == '\\')
            c = '/';
    while (!folder.empty() && folder.front() == '/')
        folder.erase(0, 1);
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return folder.empty() ? name : folder + "/" + name;
}

// The [SourceDisksFiles] entries: the platform's section first.
std::vector<const InfLine *> FileLines(const InfFile &inf, const Platform &platform)
{
    std::vector<const InfLine *> lines;
    for (const std::string &name : {"SourceDisksFiles." + platform.architecture, std::string("SourceDisksFiles")})
        if (const InfSection *section = inf.Find(name))
            for (auto &line : section->lines)
                lines.push_back(&line);
    return lines;
}

SourceFile Describe(const InfFile &inf, const InfLine &line, const Platform &platform)
{
    std::string name = line.key ? *line.key : line.Field(0);
    std::string disk = line.key ? line.Field(0) : std::string();
    std::string subfolder = line.key ? line.Field(1) : std::string();
    std::string diskFolder;
    if (!disk.empty()) {
        const InfLine *diskLine = inf.FindKey("SourceDisksNames." + platform.architecture, disk);
        if (diskLine == nullptr)
            diskLine = inf.FindKey("SourceDisksNames", disk);
        if (diskLine == nullptr)
            inf.Fail(line.number, "disk " + disk + " of " + name + " is not in [SourceDisksNames]");
        diskFolder = diskLine->Field(3);
    }
    return SourceFile{name, Join(Join(diskFolder, subfolder), name), line.number};
}

}  // namespace

std::optional<SourceFile> FindSourceFile(const InfFile &inf, const std::string &name, const Platform &platform)
{
    for (const InfLine *line : FileLines(inf, platform)) {
        std::string listed = line->key ? *line->key : line->Field(0);
        if (EqualNoCase(listed, name))
            return Describe(inf, *line, platform);
    }
    return std::nullopt;
}

std::vector<SourceFile> AllSourceFiles(const InfFile &inf, const Platform &platform)
{
    std::vector<SourceFile> files;
    for (const InfLine *line : FileLines(inf, platform)) {
        SourceFile file = Describe(inf, *line, platform);
        bool seen = false;
        for (auto &f : files)
            seen |= EqualNoCase(f.name, file.name);
        if (!seen)
            files.push_back(file);
    }
    return files;
}

}  // namespace winsim::setup
