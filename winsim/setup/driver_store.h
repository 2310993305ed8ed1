// The driver store: packages staged on the machine. Staging copies the INF
// and the files of [SourceDisksFiles] into
// System32\DriverStore\FileRepository\<inf>_<arch>_<hash>, publishes the INF
// as INF\oem<N>.inf with the lowest N no file in the INF folder has, and
// records the package in the DRIVERS hive's index
// (DriverDatabase\DriverInfFiles\oem<N>.inf). Staging the same INF again
// gives back the package already there.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/driver-store
#pragma once

#include "inf_file.h"
#include "machine_folders.h"
#include "platform.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace winsim::setup {

struct StagedPackage {
    std::string publishedName;   // oem0.inf
    std::string originalName;    // the INF's own file name
    std::string folderName;      // its folder in FileRepository
    std::filesystem::path storeDirectory;
    std::filesystem::path storeInf;
};

class DriverStore {
public:
    DriverStore(const MachineFolders &folders, const Platform &platform);

    // The package must have passed CheckPackage.
    StagedPackage Stage(const InfFile &inf, const std::filesystem::path &infPath,
                        const std::filesystem::path &packageDirectory, bool *alreadyStaged);
    std::vector<StagedPackage> Packages() const;
    std::optional<StagedPackage> Find(const std::string &publishedName) const;
    // Removes the published INF, the store folder and the index entries.
    bool Remove(const std::string &publishedName);

    // "System32\DriverStore\FileRepository\<folder>", relative to the Windows folder.
    static std::string StoreFolder(const std::string &folderName);

private:
    std::string NextPublishedName() const;

    const MachineFolders &folders_;
    Platform platform_;
};

}  // namespace winsim::setup
