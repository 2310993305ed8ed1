// An INF's own install section run outside device installation, as
// InstallHinfSection does (RUNDLL32 SETUPAPI.DLL,InstallHinfSection <section>
// <mode> <inf>): the section's DelFiles and DelReg directives and the
// DelService directives of <section>.Services. Other directives of such a
// section are not simulated and are reported.
// https://learn.microsoft.com/en-us/windows/win32/api/setupapi/nf-setupapi-installhinfsectiona
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-delfiles-directive
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-delservice-directive
#pragma once

#include "inf_file.h"
#include "machine_folders.h"

#include <string>
#include <vector>

namespace winsim::setup {

struct SectionResult {
    bool ok = false;
    std::string error;                    // the section is missing or malformed
    std::vector<std::string> deletedFiles;     // Windows paths
    std::vector<std::string> deletedServices;
    std::vector<std::string> unsupported;      // directives winsim left out
};

SectionResult RunInstallSection(const InfFile &inf, const std::string &section, const MachineFolders &folders);

}  // namespace winsim::setup
