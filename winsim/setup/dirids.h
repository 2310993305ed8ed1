// Directory IDs in INF values: %12% in a ServiceBinary or an AddReg string
// becomes the folder it stands for on the machine (C:\Windows\System32\drivers),
// %13% the package's folder in the driver store.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/using-dirids
#pragma once

#include "inf_file.h"
#include "machine_folders.h"

#include <optional>
#include <string>

namespace winsim::setup {

struct DirIds {
    const MachineFolders *folders = nullptr;
    std::string storeFolder;  // the package's store folder, relative to the Windows folder

    // The folder relative to the Windows folder; nullopt for an ID winsim does not know.
    std::optional<std::string> Folder(int dirid) const;
    // text with every %N% replaced by its Windows path; an unknown ID fails at line.
    std::string Expand(const std::string &text, const InfFile &inf, int line) const;
};

// A path under the system root the way the service control manager keeps
// driver paths: \SystemRoot\System32\drivers\x.sys.
std::string ImagePathOf(const std::string &windowsPath, const std::string &systemRoot);

}  // namespace winsim::setup
