// ZwQueryValueKey, ZwSetValueKey and ZwDeleteValueKey for kernel-mode callers.
#include "kernel_calls.h"
#include "value_information.h"

using namespace winsim;
using namespace winsim::registry;

namespace {

// Longest value name the registry accepts, in characters.
constexpr size_t kMaxValueNameChars = 16383;

}  // namespace

extern "C" {

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID information, ULONG length, PULONG resultLength)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("ZwQueryValueKey", caller);
    RequirePointer(valueName, "ZwQueryValueKey", "ValueName", caller);
    RequirePointer(resultLength, "ZwQueryValueKey", "ResultLength", caller);
    if (length != 0)
        RequirePointer(information, "ZwQueryValueKey", "KeyValueInformation", caller);
    if (infoClass < KeyValueBasicInformation || infoClass > KeyValuePartialInformationAlign64)
        return STATUS_INVALID_PARAMETER;
    KeyHandle handle;
    NTSTATUS status = ReferenceKeyHandle(keyHandle, CallerMode::Kernel, &handle);
    if (!NT_SUCCESS(status))
        return status;
    StoredValue value;
    status = TheStore().QueryValue(handle.key, ToU16(valueName), &value);
    if (!NT_SUCCESS(status))
        return status;
    return FillValueInformation(value, infoClass, information, length, resultLength);
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("ZwSetValueKey", caller);
    RequirePointer(valueName, "ZwSetValueKey", "ValueName", caller);
    if (dataSize != 0)
        RequirePointer(data, "ZwSetValueKey", "Data", caller);
    KeyHandle handle;
    NTSTATUS status = ReferenceKeyHandle(keyHandle, CallerMode::Kernel, &handle);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string name = ToU16(valueName);
    if (name.size() > kMaxValueNameChars)
        return STATUS_INVALID_PARAMETER;
    return TheStore().SetValue(handle.key, name, type, data, dataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("ZwDeleteValueKey", caller);
    RequirePointer(valueName, "ZwDeleteValueKey", "ValueName", caller);
    KeyHandle handle;
    NTSTATUS status = ReferenceKeyHandle(keyHandle, CallerMode::Kernel, &handle);
    if (!NT_SUCCESS(status))
        return status;
    return TheStore().DeleteValue(handle.key, ToU16(valueName));
}

}  // extern "C"
