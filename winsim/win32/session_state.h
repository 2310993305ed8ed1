// What one session holds, for the Win32 functions that read or record it
// (see session.h).
#pragma once

#include "session.h"
#include "window_manager.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace winsim::win32 {

struct FolderMapping {
    std::string windowsFolder;  // without a trailing backslash
    std::filesystem::path hostFolder;
};

struct SessionState {
    explicit SessionState(SessionConfig c) : config(std::move(c)) {}

    const SessionConfig config;
    Desktop desktop;

    mutable std::mutex lock;  // everything below
    std::vector<FolderMapping> folders;
    std::vector<std::pair<std::string, ProgramEntry>> programs;  // by Windows path
    MessageBoxUser user;
    std::vector<MessageBoxShown> boxes;
    std::vector<StartedCommand> commands;
    std::vector<std::thread> running;
    std::vector<RestartRequest> restarts;
    std::set<std::string> enabledPrivileges{"SeChangeNotifyPrivilege"};  // enabled by default
    std::set<void *> localBlocks;
};

}  // namespace winsim::win32
