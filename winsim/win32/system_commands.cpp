// WinExec and the system programs it can start: pnputil.exe (deletes a
// driver package) and RUNDLL32 SETUPAPI.DLL,InstallHinfSection (runs an
// INF's own section), plus the programs a session adds. Each started program
// runs on a thread of its own, as a separate process would, and is not
// waited for; the session records its command line and exit code.
//
// A program named without a folder is looked for as Windows does: the
// program's own folder, the current directory, System32, the Windows folder.
// System32 of a 32-bit program on 64-bit Windows is SysWOW64, which has
// RUNDLL32 but no pnputil.exe.
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-winexec
#include "handles.h"
#include "session_state.h"
#include "windows_paths.h"

#include "../kernel/machine.h"
#include "../kernel/pnp.h"
#include "../registry/ansi_code_page.h"
#include "../registry/registry.h"
#include "../setup/inf_file.h"
#include "../setup/installer.h"

#include <sstream>
#include <system_error>

using namespace winsim;
using namespace winsim::win32;
using setup::EqualNoCase;

namespace {

// WinExec's results below 32 are errors.
constexpr UINT kFileNotFound = ERROR_FILE_NOT_FOUND;
constexpr UINT kStarted = 33;

struct CommandLine {
    std::string program;
    std::string arguments;
};

// The program is the first word, or a quoted string.
CommandLine Split(const std::string &line)
{
    CommandLine command;
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos)
        return command;
    size_t end;
    if (line[start] == '"') {
        end = line.find('"', start + 1);
        command.program = line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        end = end == std::string::npos ? line.size() : end + 1;
    } else {
        end = line.find(' ', start);
        if (end == std::string::npos)
            end = line.size();
        command.program = line.substr(start, end - start);
    }
    size_t args = line.find_first_not_of(' ', end);
    command.arguments = args == std::string::npos ? std::string() : line.substr(args);
    return command;
}

std::vector<std::string> Words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ------------------------------------------------------------------ pnputil

// pnputil -d <oemN.inf> refuses a package a device still uses; -f deletes
// it anyway. The newer /delete-driver <oemN.inf> [/force] means the same.
int Pnputil(const std::string &arguments)
{
    bool remove = false, force = false;
    std::string package;
    for (const std::string &word : Words(arguments)) {
        if (EqualNoCase(word, "-d") || EqualNoCase(word, "/delete-driver"))
            remove = true;
        else if (EqualNoCase(word, "-f") || EqualNoCase(word, "/force"))
            force = true;
        else
            package = word;
    }
    Machine *machine = Machine::CurrentOrNull();
    if (!remove || package.empty() || machine == nullptr)
        return ERROR_INVALID_PARAMETER;
    setup::DriverSetup &setup = machine->Setup();
    if (!force) {
        for (pnp::DeviceNode *node : pnp::AllNodes()) {
            auto used = setup.PackageOfDevice(std::string(registry::Utf16ToAnsi(pnp::IdentityOf(node).instanceId)));
            if (used && EqualNoCase(*used, package))
                return ERROR_ACCESS_DENIED;
        }
    }
    return setup.DeletePackage(package) ? 0 : ERROR_FILE_NOT_FOUND;
}

// ------------------------------------------------------------------ rundll32

// "SETUPAPI.DLL,InstallHinfSection <section> <mode> <INF path>": everything
// after the mode is the path, blanks and all.
int Rundll32(const std::string &arguments)
{
    size_t comma = arguments.find(',');
    if (comma == std::string::npos)
        return ERROR_INVALID_PARAMETER;
    std::string dll = arguments.substr(0, comma);
    CommandLine entry = Split(arguments.substr(comma + 1));
    if (!(EqualNoCase(dll, "SETUPAPI.DLL") || EqualNoCase(dll, "SETUPAPI")) ||
        !EqualNoCase(entry.program, "InstallHinfSection"))
        return ERROR_MOD_NOT_FOUND;
    CommandLine section = Split(entry.arguments);
    CommandLine mode = Split(section.arguments);
    std::string inf = mode.arguments;
    Machine *machine = Machine::CurrentOrNull();
    std::optional<std::filesystem::path> host = HostPathOf(inf);
    std::error_code error;
    if (section.program.empty() || mode.program.empty() || machine == nullptr || !host ||
        !std::filesystem::exists(*host, error))
        return ERROR_FILE_NOT_FOUND;
    setup::SectionResult result = machine->Setup().RunInstallSection(*host, section.program);
    return result.ok ? 0 : ERROR_INVALID_DATA;
}

// ------------------------------------------------------------------ finding programs

struct Program {
    std::string path;     // Windows path
    ProgramEntry entry;
};

std::string System32()
{
    return WindowsFolder() + (Session::Current().config.wow64 ? "\\SysWOW64" : "\\System32");
}

// The system's own programs, as files of its System32 (or SysWOW64).
std::optional<Program> SystemProgram(const std::string &path)
{
    std::string folder = path.substr(0, path.find_last_of('\\'));
    std::string name = BaseName(path);
    if (!EqualNoCase(folder, System32()))
        return std::nullopt;
    if (EqualNoCase(name, "rundll32.exe"))
        return Program{path, Rundll32};
    // pnputil.exe is a 64-bit program only; SysWOW64 has no copy.
    if (EqualNoCase(name, "pnputil.exe") && !Session::Current().config.wow64)
        return Program{path, Pnputil};
    return std::nullopt;
}

std::optional<Program> ProgramAt(const std::string &path)
{
    if (auto program = SystemProgram(path))
        return program;
    SessionState &session = Session::Current();
    std::lock_guard<std::mutex> guard(session.lock);
    for (const auto &[programPath, entry] : session.programs)
        if (EqualNoCase(programPath, path))
            return Program{programPath, entry};
    return std::nullopt;
}

std::optional<Program> FindProgram(std::string name)
{
    if (BaseName(name).find('.') == std::string::npos)
        name += ".exe";
    if (name.find('\\') != std::string::npos)
        return ProgramAt(name);
    const SessionConfig &config = Session::Current().config;
    std::string programFolder = config.programPath.substr(0, config.programPath.find_last_of('\\'));
    for (const std::string &folder : {programFolder, config.currentDirectory, System32(), WindowsFolder()})
        if (auto program = ProgramAt(folder + "\\" + name))
            return program;
    return std::nullopt;
}

void Run(SessionState &session, size_t index, ProgramEntry entry, std::string arguments)
{
    int exitCode = entry(arguments);
    std::lock_guard<std::mutex> guard(session.lock);
    session.commands[index].exitCode = exitCode;
}

}  // namespace

extern "C" UINT WINAPI WinExec(LPCSTR lpCmdLine, UINT uCmdShow)
{
    if (lpCmdLine == nullptr)
        return ERROR_INVALID_PARAMETER;
    SessionState &session = Session::Current();
    CommandLine command = Split(lpCmdLine);
    std::optional<Program> program = command.program.empty() ? std::nullopt : FindProgram(command.program);
    UINT result = program ? kStarted : kFileNotFound;
    std::lock_guard<std::mutex> guard(session.lock);
    session.commands.push_back({lpCmdLine, uCmdShow, result, 0});
    if (program)
        session.running.emplace_back(Run, std::ref(session), session.commands.size() - 1, program->entry,
                                     command.arguments);
    return result;
}
