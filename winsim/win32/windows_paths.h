// Windows paths of the simulated machine and the host files behind them: the
// machine's Windows folder (C:\Windows) and the folders the session maps.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace winsim::win32 {

// What Windows calls its folder ("C:\Windows").
std::string WindowsFolder();

// The host path of a Windows path; relative paths start at the current
// directory. Each component is found regardless of case. nullopt: the path
// lies outside every mapped folder.
std::optional<std::filesystem::path> HostPathOf(const std::string &windowsPath);

// Copies text into a caller's buffer of size characters the way the "get
// a path" functions do: the length copied, or the size needed (with the
// terminator) when it does not fit.
unsigned CopyPathOut(const std::string &text, char *buffer, unsigned size);

}  // namespace winsim::win32
