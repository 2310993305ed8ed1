// kernel32's view of the running program: its file name, current directory,
// the Windows folder, WOW64 and the user's UI language, from the session.
#include "handles.h"
#include "session_state.h"
#include "windows_paths.h"

#include <cstring>

using namespace winsim::win32;

namespace {

// The pseudo handle GetCurrentProcess returns.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

}  // namespace

extern "C" {

// Only the program's own file (no module handle) is known. A buffer too
// small gets the path cut short, terminated, and ERROR_INSUFFICIENT_BUFFER;
// the result is then the buffer's size.
// https://learn.microsoft.com/en-us/windows/win32/api/libloaderapi/nf-libloaderapi-getmodulefilenamea
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (hModule != nullptr) {
        Fail(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::string &path = Session::Current().config.programPath;
    if (nSize == 0) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
{
    return CopyPathOut(Session::Current().config.currentDirectory, lpBuffer, nBufferLength);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) { return CopyPathOut(WindowsFolder(), lpBuffer, uSize); }

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }

BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process)
{
    if (hProcess != kCurrentProcess)
        return Fail(ERROR_INVALID_HANDLE);
    if (Wow64Process == nullptr)
        return Fail(ERROR_NOACCESS);
    *Wow64Process = Session::Current().config.wow64 ? TRUE : FALSE;
    return TRUE;
}

LANGID WINAPI GetUserDefaultUILanguage(void) { return Session::Current().config.uiLanguage; }

}  // extern "C"
