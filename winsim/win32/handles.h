// The process's handle table: what a Win32 HANDLE stands for.
#pragma once

#include <windows.h>
#include <wdm.h>

#include <cstdint>
#include <memory>

namespace winsim::win32 {

enum class HandleType { File, Event, Thread, Token, FileSearch };

struct FileSearch;

struct HandleObject {
    HandleType type;
    PFILE_OBJECT file = nullptr;           // File
    std::shared_ptr<KEVENT> event{};       // Event
    uint64_t threadId = 0;                 // Thread
    ACCESS_MASK granted = 0;               // Token: the process token, with this access
    std::shared_ptr<FileSearch> search{};  // FileSearch
};

HANDLE Insert(HandleObject object);
// The object behind a handle, or nullptr (last error ERROR_INVALID_HANDLE).
std::shared_ptr<HandleObject> Lookup(HANDLE handle);
std::shared_ptr<HandleObject> Remove(HANDLE handle);
size_t OpenHandleCount();

// Sets the last error from a status and returns FALSE.
BOOL FailWithStatus(NTSTATUS status);
BOOL Fail(DWORD error);

}  // namespace winsim::win32
