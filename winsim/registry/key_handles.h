// Handles to open registry keys. Kernel-mode handles (Zw*, Rtl*,
// IoOpenDeviceRegistryKey) and user-mode handles (Reg*) live in separate
// ranges: a kernel handle is never access-checked, a user handle carries the
// access it was granted. Each kernel handle remembers the module that opened
// it so that a driver that leaks one can be named.
#pragma once

#include "key_tree.h"

#include "../kernel/internal.h"

#include <string>
#include <vector>

namespace winsim::registry {

enum class CallerMode { Kernel, User };

struct KeyHandle {
    KeyRef key;
    ACCESS_MASK granted = 0;
    CallerMode mode = CallerMode::Kernel;
    const Module *owner = nullptr;  // kernel handles: the driver that opened it, if any
};

HANDLE InsertKeyHandle(KeyHandle handle);
// STATUS_INVALID_HANDLE unless handle is an open key handle of that mode.
NTSTATUS ReferenceKeyHandle(HANDLE handle, CallerMode mode, KeyHandle *out);
NTSTATUS CloseKeyHandle(HANDLE handle, CallerMode mode);
size_t OpenKeyHandleCount(CallerMode mode);
// "\Registry\...\Device Parameters (opened by tarvik_serial)" for each open
// kernel handle of the module (all modules when owner is null).
std::vector<std::string> DescribeKernelKeyHandles(const Module *owner);
void ResetKeyHandles();

}  // namespace winsim::registry
