// CopyFiles directives of a DDInstall section: CopyFiles=@file or
// CopyFiles=file-list-section[,...], each file copied from the package's
// folder in the driver store to the folder [DestinationDirs] names for its
// list (DefaultDestDir otherwise). Files whose destination is DIRID 13 stay
// in the store and run from there.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-copyfiles-directive
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-destinationdirs-section
#pragma once

#include "dirids.h"
#include "inf_file.h"
#include "platform.h"

#include <filesystem>
#include <string>
#include <vector>

namespace winsim::setup {

struct FileCopy {
    std::string source;            // relative to the package folder
    std::string destinationFolder; // relative to the Windows folder
    std::string destinationName;
    int line = 0;
};

// What the section's CopyFiles directives copy; fails on a file the package
// does not list in [SourceDisksFiles] or a list without a destination.
std::vector<FileCopy> PlanCopyFiles(const InfFile &inf, const InfSection &install, const Platform &platform,
                                    const DirIds &dirids);
void CopyFiles(const std::vector<FileCopy> &copies, const std::filesystem::path &storeDirectory,
               const MachineFolders &folders);

}  // namespace winsim::setup
