// ZwOpenKey, ZwCreateKey and ZwClose for kernel-mode callers. Kernel handles
// are not access-checked: the desired access is recorded, never enforced.
#include "kernel_calls.h"
#include "../kernel/lowres.h"

namespace {

// Values of wdm.h that the stand-in header leaves out.
constexpr ULONG kRegOptionVolatile = 0x1, kRegOptionCreateLink = 0x2, kRegOptionBackupRestore = 0x4,
                kRegOptionOpenLink = 0x8;
constexpr ULONG kRegCreatedNewKey = 1, kRegOpenedExistingKey = 2;

}  // namespace

using namespace winsim;
using namespace winsim::registry;

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("ZwOpenKey", caller);
    RequirePointer(keyHandle, "ZwOpenKey", "KeyHandle", caller);
    RequirePointer(attributes, "ZwOpenKey", "ObjectAttributes", caller);
    *keyHandle = nullptr;
    if (ShouldFailAllocation("ZwOpenKey", caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    KeyRef key;
    NTSTATUS status = OpenFromAttributes(attributes, false, nullptr, &key);
    if (!NT_SUCCESS(status))
        return status;
    *keyHandle = InsertKernelHandle(key, desiredAccess, caller);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                     PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("ZwCreateKey", caller);
    RequirePointer(keyHandle, "ZwCreateKey", "KeyHandle", caller);
    RequirePointer(attributes, "ZwCreateKey", "ObjectAttributes", caller);
    *keyHandle = nullptr;
    constexpr ULONG kValidOptions =
        kRegOptionVolatile | kRegOptionCreateLink | kRegOptionBackupRestore | kRegOptionOpenLink;
    if ((createOptions & ~kValidOptions) != 0)
        return STATUS_INVALID_PARAMETER;
    if (ShouldFailAllocation("ZwCreateKey", caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    bool created = false;
    KeyRef key;
    NTSTATUS status = OpenFromAttributes(attributes, true, &created, &key);
    if (!NT_SUCCESS(status))
        return status;
    *keyHandle = InsertKernelHandle(key, desiredAccess, caller);
    if (disposition != nullptr)
        *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
    return STATUS_SUCCESS;
}

// Key handles are the only kernel handles winsim hands out so far.
NTSTATUS ZwClose(HANDLE handle)
{
    RequirePassiveLevel("ZwClose", __builtin_return_address(0));
    return CloseKeyHandle(handle, CallerMode::Kernel);
}

}  // extern "C"
