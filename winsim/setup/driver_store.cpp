// The driver store (see driver_store.h).
#include "driver_store.h"

#include "source_files.h"

#include "../registry/registry.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

namespace winsim::setup {
namespace {

const std::string kInfFiles = std::string(registry::kDriverDatabaseKey) + "\\DriverInfFiles";
const std::string kPackages = std::string(registry::kDriverDatabaseKey) + "\\DriverPackages";

std::string ReadAll(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// FNV-1a: a stable name for the package's folder.
std::string Hash(const std::string &bytes)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

}  // namespace

DriverStore::DriverStore(const MachineFolders &folders, const Platform &platform)
    : folders_(folders), platform_(platform)
{
}

std::string DriverStore::StoreFolder(const std::string &folderName)
{
    return "System32\\DriverStore\\FileRepository\\" + folderName;
}

std::string DriverStore::NextPublishedName() const
{
    std::set<unsigned> used;
    std::error_code error;
    for (auto &entry : std::filesystem::directory_iterator(folders_.Host("INF"), error)) {
        std::string name = Lower(entry.path().filename().string());
        unsigned n;
        char rest[8];
        if (sscanf(name.c_str(), "oem%u%7s", &n, rest) == 2 && std::string(rest) == ".inf")
            used.insert(n);
    }
    unsigned n = 0;
    while (used.count(n))
        n++;
    return "oem" + std::to_string(n) + ".inf";
}

StagedPackage DriverStore::Stage(const InfFile &inf, const std::filesystem::path &infPath,
                                 const std::filesystem::path &packageDirectory, bool *alreadyStaged)
{
    std::string bytes = ReadAll(infPath);
    std::string original = Lower(infPath.filename().string());
    std::string folderName = original + "_" + platform_.architecture + "_" + Hash(bytes);
    *alreadyStaged = false;
    for (auto &package : Packages()) {
        if (EqualNoCase(package.folderName, folderName)) {
            *alreadyStaged = true;
            return package;
        }
    }

    StagedPackage package;
    package.publishedName = NextPublishedName();
    package.originalName = original;
    package.folderName = folderName;
    package.storeDirectory = folders_.Host(StoreFolder(folderName));
    package.storeInf = package.storeDirectory / original;
    std::filesystem::create_directories(package.storeDirectory);
    std::filesystem::copy_file(infPath, package.storeInf, std::filesystem::copy_options::overwrite_existing);
    for (auto &file : AllSourceFiles(inf, platform_)) {
        std::filesystem::path target = package.storeDirectory / file.relativePath;
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(ResolveCaseInsensitive(packageDirectory, file.relativePath), target,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    std::filesystem::path infFolder = folders_.Host("INF");
    std::filesystem::create_directories(infFolder);
    std::filesystem::copy_file(infPath, infFolder / package.publishedName,
                               std::filesystem::copy_options::overwrite_existing);

    registry::SetMultiString(kInfFiles, package.publishedName, {folderName});
    const std::string key = kPackages + "\\" + folderName;
    registry::SetString(key, "InfName", original);
    registry::SetString(key, "PublishedName", package.publishedName);
    return package;
}

std::vector<StagedPackage> DriverStore::Packages() const
{
    std::vector<StagedPackage> packages;
    for (auto &value : registry::Values(kInfFiles)) {
        auto folders = registry::GetMultiString(kInfFiles, value.name);
        if (!folders || folders->empty())
            continue;
        StagedPackage p;
        p.publishedName = value.name;
        p.folderName = folders->front();
        p.originalName = registry::GetString(kPackages + "\\" + p.folderName, "InfName").value_or("");
        p.storeDirectory = folders_.Host(StoreFolder(p.folderName));
        p.storeInf = p.storeDirectory / p.originalName;
        packages.push_back(p);
    }
    return packages;
}

std::optional<StagedPackage> DriverStore::Find(const std::string &publishedName) const
{
    for (auto &p : Packages())
        if (EqualNoCase(p.publishedName, publishedName))
            return p;
    return std::nullopt;
}

bool DriverStore::Remove(const std::string &publishedName)
{
    auto package = Find(publishedName);
    if (!package)
        return false;
    std::error_code error;
    std::filesystem::remove_all(package->storeDirectory, error);
    std::filesystem::path infFolder = folders_.Host("INF");
    std::filesystem::remove(ResolveCaseInsensitive(infFolder, package->publishedName), error);
    std::string pnf = package->publishedName.substr(0, package->publishedName.size() - 4) + ".pnf";
    std::filesystem::remove(ResolveCaseInsensitive(infFolder, pnf), error);
    registry::DeleteValue(kInfFiles, package->publishedName);
    registry::DeleteKey(kPackages + "\\" + package->folderName);
    return true;
}

}  // namespace winsim::setup
