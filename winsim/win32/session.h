// The simulated program's surroundings, as a test or a tool sets them up: the
// process (its file name, current directory, WOW64, the user's UI language,
// the programs it can start, the folders of the machine it can see) and the
// user in front of it (who answers message boxes). The Win32 functions read
// it; the session records what the program asked of the system: message boxes
// shown, windows made, commands started and restarts requested.
//
//   winsim::harness::TestMachine machine;
//   winsim::win32::Session session({.programPath = "C:\\Tarvik\\tarvik_uninstall.exe"});
//   session.MapFolder("C:\\Tarvik", packageFolder);
//   session.AnswerMessageBoxes([](const MessageBoxShown &box) { return IDOK; });
//   WinMain(nullptr, nullptr, (LPSTR)"", SW_SHOWNORMAL);
//   session.WaitForCommands();
//
// The newest session is current until it ends; without one, a default session stands in
// (no user: message boxes fail). Ending a session waits for the commands it
// started and drops its windows, classes, message queues and token.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace winsim::win32 {

struct SessionConfig {
    // What GetModuleFileNameA gives for the program itself.
    std::string programPath = "C:\\Program Files\\Tarvik\\tarvik_uninstall.exe";
    std::string currentDirectory = "C:\\Windows\\System32";
    // A 32-bit program on 64-bit Windows: the setup API refuses device
    // installation functions, and System32 is the 32-bit SysWOW64.
    bool wow64 = false;
    LANGID uiLanguage = 0x0409;   // GetUserDefaultUILanguage
    UINT ansiCodePage = 1252;     // 932 on a Japanese system: CharNextA steps over double-byte characters
};

// What a user can do with a message box besides pressing a button.
constexpr int kPressEscape = -1;
constexpr int kCloseButton = -2;

struct MessageBoxShown {
    HWND owner;
    std::string caption;
    std::string text;  // the bytes the program passed (code page text, not UTF-8)
    UINT style;
    int result;        // what MessageBoxA returned
};

struct WindowRecord {
    std::string className;
    std::string title;
    DWORD style;
    bool everVisible;
    bool destroyed;
};

struct StartedCommand {
    std::string commandLine;
    UINT show;
    UINT result;       // WinExec's result: > 31 when the program started
    int exitCode = 0;  // the program's exit code, once it has finished
};

struct RestartRequest {
    UINT flags;
    DWORD reason;
};

// A program the session can start, besides the system's own commands:
// gets the command line after the program name.
using ProgramEntry = std::function<int(const std::string &arguments)>;

// Returns a button ID (IDOK, IDCANCEL, IDYES, ...), kPressEscape or kCloseButton.
using MessageBoxUser = std::function<int(const MessageBoxShown &box)>;

struct SessionState;

class Session {
public:
    explicit Session(SessionConfig config = {});
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    const SessionConfig &config() const;

    // A Windows folder (and everything below it) is this host folder. The
    // machine's Windows folder is always mapped.
    void MapFolder(const std::string &windowsFolder, const std::filesystem::path &hostFolder);
    // A program file at this Windows path that WinExec can start.
    void AddProgram(const std::string &windowsPath, ProgramEntry entry);

    void AnswerMessageBoxes(MessageBoxUser user);
    std::vector<MessageBoxShown> MessageBoxes() const;
    std::vector<WindowRecord> Windows() const;
    size_t OpenWindowCount() const;

    // Waits until every program started so far has finished.
    void WaitForCommands();
    std::vector<StartedCommand> StartedCommands() const;
    std::vector<RestartRequest> RestartRequests() const;
    // Privileges of the process token that are enabled, by name.
    std::vector<std::string> EnabledPrivileges() const;
    // LocalAlloc blocks not freed yet.
    size_t LiveLocalAllocations() const;

    // The current session's state, for the Win32 functions.
    static SessionState &Current();

private:
    std::unique_ptr<SessionState> state_;
    Session *previous_ = nullptr;  // current again when this one ends
};

}  // namespace winsim::win32
