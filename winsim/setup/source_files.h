// Where the files of a driver package are: [SourceDisksFiles] names each
// file's disk and subfolder, [SourceDisksNames] each disk's folder in the
// package; both may carry the platform's extension (.amd64, .x86).
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-sourcedisksfiles-section
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-sourcedisksnames-section
#pragma once

#include "inf_file.h"
#include "platform.h"

#include <optional>
#include <string>
#include <vector>

namespace winsim::setup {

struct SourceFile {
    std::string name;          // as [SourceDisksFiles] lists it
    std::string relativePath;  // from the package folder, with '/'
    int line = 0;              // its [SourceDisksFiles] line
};

std::optional<SourceFile> FindSourceFile(const InfFile &inf, const std::string &name, const Platform &platform);
std::vector<SourceFile> AllSourceFiles(const InfFile &inf, const Platform &platform);

}  // namespace winsim::setup
