// The process token's privileges (OpenProcessToken, LookupPrivilegeValueA,
// AdjustTokenPrivileges) and ExitWindowsEx, which needs SeShutdownPrivilege
// enabled to restart or shut down. The simulated user is an administrator:
// elevated or not, the token holds SeShutdownPrivilege, disabled until the
// program enables it; the elevated token holds the administrators' privileges
// as well.
// https://learn.microsoft.com/en-us/windows/win32/api/winuser/nf-winuser-exitwindowsex
#include "handles.h"
#include "session_state.h"

#include "../registry/registry.h"
#include "../setup/inf_file.h"

using namespace winsim;
using namespace winsim::win32;

namespace {

struct Privilege {
    const char *name;
    DWORD luid;
    bool elevatedOnly;
};

// The LUIDs Windows gives these privileges.
constexpr Privilege kPrivileges[] = {
    {"SeSecurityPrivilege", 8, true},       {"SeTakeOwnershipPrivilege", 9, true},
    {"SeLoadDriverPrivilege", 10, true},    {"SeSystemtimePrivilege", 12, true},
    {"SeBackupPrivilege", 17, true},        {"SeRestorePrivilege", 18, true},
    {"SeShutdownPrivilege", 19, false},     {"SeDebugPrivilege", 20, true},
    {"SeChangeNotifyPrivilege", 23, false}, {"SeUndockPrivilege", 25, false},
    {"SeIncreaseWorkingSetPrivilege", 33, false}, {"SeTimeZonePrivilege", 34, false},
};

const Privilege *PrivilegeByName(const char *name)
{
    for (const Privilege &p : kPrivileges)
        if (setup::EqualNoCase(p.name, name))
            return &p;
    return nullptr;
}

const Privilege *PrivilegeByLuid(const LUID &luid)
{
    for (const Privilege &p : kPrivileges)
        if (luid.HighPart == 0 && p.luid == luid.LowPart)
            return &p;
    return nullptr;
}

bool Holds(const Privilege &p) { return !p.elevatedOnly || registry::UserElevated(); }

constexpr DWORD kTokenAllAccess = 0xF01FF;

// The access a token handle holds; 0 (and the last error) when it is none.
ACCESS_MASK TokenAccess(HANDLE token)
{
    auto object = Lookup(token);
    if (object == nullptr || object->type != HandleType::Token) {
        Fail(ERROR_INVALID_HANDLE);
        return 0;
    }
    return object->granted;
}

}  // namespace

extern "C" {

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    if (ProcessHandle != GetCurrentProcess())
        return Fail(ERROR_INVALID_HANDLE);
    if (TokenHandle == nullptr || (DesiredAccess & ~kTokenAllAccess) != 0 || DesiredAccess == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    HandleObject object{HandleType::Token};
    object.granted = DesiredAccess;
    *TokenHandle = Insert(std::move(object));
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    if (lpSystemName != nullptr && *lpSystemName != '\0')
        return Fail(ERROR_NOT_SUPPORTED);  // no other machines
    if (lpName == nullptr || lpLuid == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const Privilege *p = PrivilegeByName(lpName);
    if (p == nullptr)
        return Fail(ERROR_NO_SUCH_PRIVILEGE);
    *lpLuid = LUID{p->luid, 0};
    return TRUE;
}

// Succeeds when the request was well formed; the last error then tells
// whether every privilege named was changed (ERROR_SUCCESS) or one the token
// does not hold was left out (ERROR_NOT_ALL_ASSIGNED).
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    ACCESS_MASK access = TokenAccess(TokenHandle);
    if (access == 0)
        return FALSE;
    if ((access & TOKEN_ADJUST_PRIVILEGES) == 0 || (PreviousState != nullptr && (access & TOKEN_QUERY) == 0))
        return Fail(ERROR_ACCESS_DENIED);
    if (!DisableAllPrivileges && NewState == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // The previous state is not recorded by winsim.
    if (PreviousState != nullptr)
        return Fail(ERROR_NOT_SUPPORTED);

    SessionState &session = Session::Current();
    std::lock_guard<std::mutex> guard(session.lock);
    if (DisableAllPrivileges) {
        session.enabledPrivileges.clear();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; i++) {
        const LUID_AND_ATTRIBUTES &entry = NewState->Privileges[i];
        const Privilege *p = PrivilegeByLuid(entry.Luid);
        if (p == nullptr || !Holds(*p)) {
            allAssigned = false;
            continue;
        }
        if (entry.Attributes & SE_PRIVILEGE_ENABLED)
            session.enabledPrivileges.insert(p->name);
        else
            session.enabledPrivileges.erase(p->name);
    }
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

// Records the request; the machine does not really go down.
BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason)
{
    SessionState &session = Session::Current();
    std::lock_guard<std::mutex> guard(session.lock);
    bool shutsDown = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;
    if (shutsDown && session.enabledPrivileges.count("SeShutdownPrivilege") == 0)
        return Fail(ERROR_PRIVILEGE_NOT_HELD);
    session.restarts.push_back({uFlags, dwReason});
    return TRUE;
}

}  // extern "C"
