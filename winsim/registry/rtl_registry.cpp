// RtlWriteRegistryValue and RtlDeleteRegistryValue: a value under a path
// relative to one of the well-known keys, or under an open key handle.
#include "kernel_calls.h"
#include "../kernel/lowres.h"

using namespace winsim;
using namespace winsim::registry;

namespace {

// The key Path is relative to, for each RTL_REGISTRY_* value (USER is the
// system process's view: the default user).
const char16_t *const kRelativeRoots[] = {
    u"",                                                                  // RTL_REGISTRY_ABSOLUTE
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",          // RTL_REGISTRY_SERVICES
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",           // RTL_REGISTRY_CONTROL
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",  // RTL_REGISTRY_WINDOWS_NT
    u"\\Registry\\Machine\\Hardware\\DeviceMap",                          // RTL_REGISTRY_DEVICEMAP
    u"\\Registry\\User\\.Default",                                        // RTL_REGISTRY_USER
};

// The key the routine works on: the handle itself with RTL_REGISTRY_HANDLE,
// otherwise the key at the path, created when create is set.
NTSTATUS KeyOf(ULONG relativeTo, PCWSTR path, bool create, KeyRef *out)
{
    ULONG root = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        KeyHandle handle;
        NTSTATUS status = ReferenceKeyHandle(const_cast<PWSTR>(path), CallerMode::Kernel, &handle);
        *out = handle.key;
        return status;
    }
    if (root >= RTL_REGISTRY_MAXIMUM)
        return STATUS_INVALID_PARAMETER;
    std::u16string relative = ToU16(path);
    std::u16string full;
    if (root == RTL_REGISTRY_ABSOLUTE) {
        full = relative;
    } else {
        full = kRelativeRoots[root];
        if (!relative.empty() && relative[0] != u'\\')
            full += u'\\';
        full += relative;
    }
    if (create)
        return TheStore().Create(nullptr, full, false, out, nullptr);
    return TheStore().Open(nullptr, full, out);
}

}  // namespace

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID valueData,
                               ULONG valueLength)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("RtlWriteRegistryValue", caller);
    RequirePointer(path, "RtlWriteRegistryValue", "Path", caller);
    if (valueLength != 0)
        RequirePointer(valueData, "RtlWriteRegistryValue", "ValueData", caller);
    if (ShouldFailAllocation("RtlWriteRegistryValue", caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = KeyOf(relativeTo, path, true, &key);
    if (!NT_SUCCESS(status))
        return status;
    return TheStore().SetValue(key, ToU16(valueName), valueType, valueData, valueLength);
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("RtlDeleteRegistryValue", caller);
    RequirePointer(path, "RtlDeleteRegistryValue", "Path", caller);
    KeyRef key;
    NTSTATUS status = KeyOf(relativeTo, path, false, &key);
    if (!NT_SUCCESS(status))
        return status;
    return TheStore().DeleteValue(key, ToU16(valueName));
}

}  // extern "C"
