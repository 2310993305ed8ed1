// Windows paths of the simulated machine (see windows_paths.h).
#include "windows_paths.h"

#include "session_state.h"

#include "../kernel/machine.h"
#include "../setup/installer.h"
#include "../setup/machine_folders.h"

#include <cstring>

namespace winsim::win32 {
namespace {

bool IsAbsolute(const std::string &path)
{
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           path.rfind("\\\\", 0) == 0;
}

// The rest of path after folder, or nullopt when path is not in folder.
std::optional<std::string> Below(const std::string &path, const std::string &folder)
{
    if (path.size() < folder.size() || !setup::EqualNoCase(path.substr(0, folder.size()), folder))
        return std::nullopt;
    if (path.size() == folder.size())
        return std::string();
    if (path[folder.size()] != '\\')
        return std::nullopt;
    return path.substr(folder.size() + 1);
}

std::vector<FolderMapping> Mappings()
{
    std::vector<FolderMapping> mappings;
    if (Machine *machine = Machine::CurrentOrNull()) {
        const setup::SetupConfig &config = machine->Setup().config();
        mappings.push_back({config.systemRoot, config.windowsDirectory});
    }
    SessionState &session = Session::Current();
    std::lock_guard<std::mutex> guard(session.lock);
    mappings.insert(mappings.end(), session.folders.begin(), session.folders.end());
    return mappings;
}

}  // namespace

std::string WindowsFolder()
{
    if (Machine *machine = Machine::CurrentOrNull())
        return machine->Setup().config().systemRoot;
    return "C:\\Windows";
}

std::optional<std::filesystem::path> HostPathOf(const std::string &windowsPath)
{
    std::string path = windowsPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    if (!IsAbsolute(path))
        path = Session::Current().config.currentDirectory + "\\" + path;
    // No climbing out of a mapped folder.
    if (path.find("\\..") != std::string::npos)
        return std::nullopt;
    std::optional<std::string> best;
    std::filesystem::path host;
    size_t bestLength = 0;
    for (const FolderMapping &mapping : Mappings()) {
        std::optional<std::string> rest = Below(path, mapping.windowsFolder);
        if (rest && (!best || mapping.windowsFolder.size() > bestLength)) {
            best = rest;
            host = mapping.hostFolder;
            bestLength = mapping.windowsFolder.size();
        }
    }
    if (!best)
        return std::nullopt;
    return setup::ResolveCaseInsensitive(host, *best);
}

unsigned CopyPathOut(const std::string &text, char *buffer, unsigned size)
{
    if (buffer == nullptr || text.size() >= size)
        return static_cast<unsigned>(text.size() + 1);
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<unsigned>(text.size());
}

}  // namespace winsim::win32
