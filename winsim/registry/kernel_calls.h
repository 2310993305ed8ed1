// What the kernel-mode registry routines (Zw*, Rtl*, IoOpenDeviceRegistryKey)
// share: the verifier's checks on their callers and the kernel handle they
// hand out.
#pragma once

#include "key_handles.h"

namespace winsim::registry {

// The registry routines run at PASSIVE_LEVEL only.
void RequirePassiveLevel(const char *routine, const void *caller);
// A pointer Windows would dereference without probing (kernel-mode caller).
void RequirePointer(const void *pointer, const char *routine, const char *parameter, const void *caller);
// A kernel handle to key, attributed to the module that caller belongs to.
HANDLE InsertKernelHandle(const KeyRef &key, ACCESS_MASK access, const void *caller);
// Opens or creates a key from a kernel caller's OBJECT_ATTRIBUTES.
NTSTATUS OpenFromAttributes(POBJECT_ATTRIBUTES attributes, bool create, bool *created, KeyRef *out);

}  // namespace winsim::registry
