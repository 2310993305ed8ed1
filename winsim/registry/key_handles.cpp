// Handles to open registry keys (see key_handles.h).
#include "key_handles.h"

#include "text.h"

#include <map>
#include <mutex>

namespace winsim::registry {
namespace {

// Kernel handles look like Windows' (sign-extended, above the predefined
// HKEY values); user handles stay clear of the Win32 handle table's range.
constexpr uintptr_t kKernelBase = 0xFFFFFFFF80001000ull;
constexpr uintptr_t kUserBase = 0x10000000ull;

struct Table {
    std::mutex lock;
    std::map<uintptr_t, KeyHandle> handles;
    uintptr_t nextKernel = kKernelBase;
    uintptr_t nextUser = kUserBase;
};

Table &Handles()
{
    static Table table;
    return table;
}

}  // namespace

HANDLE InsertKeyHandle(KeyHandle handle)
{
    auto &t = Handles();
    std::lock_guard<std::mutex> lock(t.lock);
    uintptr_t &next = handle.mode == CallerMode::Kernel ? t.nextKernel : t.nextUser;
    uintptr_t value = next;
    next += 4;
    t.handles.emplace(value, std::move(handle));
    return reinterpret_cast<HANDLE>(value);
}

NTSTATUS ReferenceKeyHandle(HANDLE handle, CallerMode mode, KeyHandle *out)
{
    auto &t = Handles();
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.handles.end() || it->second.mode != mode)
        return STATUS_INVALID_HANDLE;
    *out = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS CloseKeyHandle(HANDLE handle, CallerMode mode)
{
    KeyHandle closed;  // released outside the lock
    auto &t = Handles();
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.handles.end() || it->second.mode != mode)
        return STATUS_INVALID_HANDLE;
    closed = std::move(it->second);
    t.handles.erase(it);
    return STATUS_SUCCESS;
}

size_t OpenKeyHandleCount(CallerMode mode)
{
    auto &t = Handles();
    std::lock_guard<std::mutex> lock(t.lock);
    size_t n = 0;
    for (auto &[value, h] : t.handles)
        n += h.mode == mode;
    return n;
}

std::vector<std::string> DescribeKernelKeyHandles(const Module *owner)
{
    std::vector<KeyHandle> open;
    {
        auto &t = Handles();
        std::lock_guard<std::mutex> lock(t.lock);
        for (auto &[value, h] : t.handles)
            if (h.mode == CallerMode::Kernel && (owner == nullptr || h.owner == owner))
                open.push_back(h);
    }
    std::vector<std::string> out;
    for (auto &h : open) {
        std::u16string path = TheStore().PathOf(h.key);
        out.push_back("registry key handle " + (path.empty() ? std::string("(deleted key)") : Utf16ToUtf8(path)) +
                      " opened by " + (h.owner != nullptr ? h.owner->name : std::string("the system")));
    }
    return out;
}

void ResetKeyHandles()
{
    std::map<uintptr_t, KeyHandle> old;
    auto &t = Handles();
    std::lock_guard<std::mutex> lock(t.lock);
    old.swap(t.handles);
    t.nextKernel = kKernelBase;
    t.nextUser = kUserBase;
}

}  // namespace winsim::registry
