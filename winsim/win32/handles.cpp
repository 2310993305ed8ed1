// The handle table and the thread's last error.
#include "handles.h"

#include <map>
#include <mutex>

namespace winsim::win32 {
namespace {

std::mutex g_lock;
std::map<uintptr_t, std::shared_ptr<HandleObject>> g_handles;
uintptr_t g_next = 0x100;
thread_local DWORD t_lastError = 0;

}  // namespace

HANDLE Insert(HandleObject object)
{
    std::lock_guard<std::mutex> lock(g_lock);
    uintptr_t value = g_next;
    g_next += 4;
    g_handles[value] = std::make_shared<HandleObject>(std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> Lookup(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end()) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<HandleObject> Remove(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end()) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    auto object = std::move(it->second);
    g_handles.erase(it);
    return object;
}

size_t OpenHandleCount()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_handles.size();
}

BOOL FailWithStatus(NTSTATUS status)
{
    t_lastError = RtlNtStatusToDosError(status);
    return FALSE;
}

BOOL Fail(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

}  // namespace winsim::win32

extern "C" {

DWORD WINAPI GetLastError(void) { return winsim::win32::t_lastError; }

VOID WINAPI SetLastError(DWORD error) { winsim::win32::t_lastError = error; }

}  // extern "C"
