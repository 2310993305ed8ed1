// The simulated machine's Windows folder, which is a folder of the host:
// where setup finds and puts files, under the names Windows gives them
// (C:\Windows\System32\drivers ...). Windows paths are case-insensitive, so
// an existing host folder or file is found whatever its case; new ones get
// Windows' spelling.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace winsim::setup {

// base/relative, each component matched case-insensitively against what
// exists; relative uses '\' or '/'.
std::filesystem::path ResolveCaseInsensitive(const std::filesystem::path &base, std::string_view relative);

class MachineFolders {
public:
    MachineFolders(std::filesystem::path windowsDirectory, std::string systemRoot);

    // A folder or file below the Windows folder, on the host and as Windows names it.
    std::filesystem::path Host(std::string_view relative) const;
    std::string Windows(std::string_view relative) const;
    const std::string &systemRoot() const { return systemRoot_; }

    // The folder of a directory ID (10 Windows, 11 System32, 12 drivers,
    // 17 INF, 18 Help, 20 Fonts, 50 System), relative to the Windows folder.
    static std::optional<std::string> DirIdFolder(int dirid);

private:
    std::filesystem::path windowsDirectory_;
    std::string systemRoot_;
};

}  // namespace winsim::setup
