// Shared parts of the kernel-mode registry routines (see kernel_calls.h).
#include "kernel_calls.h"

namespace winsim::registry {

void RequirePassiveLevel(const char *routine, const void *caller)
{
    if (CurrentThread().irql > PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " called above PASSIVE_LEVEL", caller);
}

void RequirePointer(const void *pointer, const char *routine, const char *parameter, const void *caller)
{
    if (pointer == nullptr)
        BugCheck("NULL_POINTER_ARGUMENT", std::string(routine) + " called with a NULL " + parameter, caller);
}

HANDLE InsertKernelHandle(const KeyRef &key, ACCESS_MASK access, const void *caller)
{
    return InsertKeyHandle(KeyHandle{key, access, CallerMode::Kernel, ModuleFromAddress(caller)});
}

NTSTATUS OpenFromAttributes(POBJECT_ATTRIBUTES attributes, bool create, bool *created, KeyRef *out)
{
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    KeyRef base;
    if (attributes->RootDirectory != nullptr) {
        KeyHandle root;
        NTSTATUS status = ReferenceKeyHandle(attributes->RootDirectory, CallerMode::Kernel, &root);
        if (!NT_SUCCESS(status))
            return status;
        base = root.key;
    }
    std::u16string name = ToU16(attributes->ObjectName);
    if (base == nullptr && name.empty())
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (create)
        return TheStore().Create(base, name, false, out, created);
    return TheStore().Open(base, name, out);
}

}  // namespace winsim::registry
