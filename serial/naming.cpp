// COM port naming: the port name comes from the device's hardware key; a
// started port gets a DOS device link to its COM-port interface and a value
// in the SERIALCOMM device map, and loses both at stop.
#include "tarvik_serial.h"

// Room the driver offers for a port name, and the scratch buffers that hold
// it and the link name with one terminator more.
#define SERIAL_NAME_BUFFER_SIZE 256
#define SERIAL_NAME_SCRATCH_SIZE (SERIAL_NAME_BUFFER_SIZE + sizeof(WCHAR))

// The SERIALCOMM data holds port names of up to this many characters.
#define SERIAL_COMM_DATA_SIZE 66
#define SERIAL_COMM_DATA_MAX_CHARS 32

static const WCHAR SerialCommKeyName[] = L"SERIALCOMM";

NTSTATUS SerialReadRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Buffer,
                                 ULONG BufferLength)
{
    UNICODE_STRING name;
    PKEY_VALUE_FULL_INFORMATION information;
    ULONG informationSize = sizeof(KEY_VALUE_FULL_INFORMATION) + ValueNameSize + BufferLength;
    ULONG resultLength;
    NTSTATUS status;

    RtlInitUnicodeString(&name, ValueName);
    information = static_cast<PKEY_VALUE_FULL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, informationSize, SERIAL_POOL_TAG));
    if (information == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, information, informationSize,
                             &resultLength);
    // Data that does not fit the caller's buffer is left out; the caller's
    // buffer keeps what it held.
    if (NT_SUCCESS(status) && information->DataLength <= BufferLength &&
        information->DataOffset <= informationSize &&
        information->DataLength <= informationSize - information->DataOffset) {
        RtlCopyMemory(Buffer, reinterpret_cast<PUCHAR>(information) + information->DataOffset,
                      information->DataLength);
    }

    ExFreePoolWithTag(information, SERIAL_POOL_TAG);
    return status;
}

static VOID SerialFreeString(PUNICODE_STRING String)
{
    if (String->Buffer != NULL)
        ExFreePoolWithTag(String->Buffer, SERIAL_POOL_TAG);
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

// Allocates a zero-filled string buffer of Size bytes from paged pool.
static NTSTATUS SerialAllocateString(PUNICODE_STRING String, USHORT Size)
{
    String->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, Size, SERIAL_POOL_TAG));
    if (String->Buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(String->Buffer, Size);
    String->Length = 0;
    String->MaximumLength = Size;
    return STATUS_SUCCESS;
}

// Releases whatever naming the port holds: the DOS link, the SERIALCOMM
// value this driver wrote, and the naming strings.
static VOID SerialReleaseExternalNaming(PSERIAL_DEVICE_EXTENSION Extension)
{
    if (Extension->DosLinkName.Buffer != NULL && Extension->CreatedSymbolicLink) {
        IoDeleteSymbolicLink(&Extension->DosLinkName);
        Extension->CreatedSymbolicLink = FALSE;
    }
    SerialFreeString(&Extension->ComName);
    SerialFreeString(&Extension->DosLinkName);
    SerialFreeString(&Extension->SerialCommData);
    if (Extension->InterfaceName.Buffer != NULL && Extension->WroteSerialCommValue) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKeyName, Extension->InterfaceName.Buffer);
        Extension->WroteSerialCommValue = FALSE;
    }
}

// Undoes a naming attempt that failed part-way. The SERIALCOMM value named
// after this port's interface goes too, whoever wrote it: the port has no
// name now.
static VOID SerialUndoFailedNaming(PSERIAL_DEVICE_EXTENSION Extension)
{
    SerialFreeString(&Extension->SerialCommData);
    if (Extension->CreatedSymbolicLink) {
        IoDeleteSymbolicLink(&Extension->DosLinkName);
        Extension->CreatedSymbolicLink = FALSE;
    }
    SerialFreeString(&Extension->DosLinkName);
    if (Extension->InterfaceName.Buffer != NULL) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKeyName, Extension->InterfaceName.Buffer);
        Extension->WroteSerialCommValue = FALSE;
    }
    SerialFreeString(&Extension->ComName);
}

// Reads the port name into NameBuffer (zero-filled, with room for one more
// terminator than it is offered): "PortName", or "Identifier" when that
// cannot be read.
static NTSTATUS SerialReadPortName(HANDLE Key, PWCH NameBuffer)
{
    static const WCHAR portName[] = L"PortName";
    static const WCHAR identifier[] = L"Identifier";
    NTSTATUS status;

    status = SerialReadRegistryValue(Key, portName, sizeof(portName), NameBuffer, SERIAL_NAME_BUFFER_SIZE);
    if (NT_SUCCESS(status))
        return status;
    return SerialReadRegistryValue(Key, identifier, sizeof(identifier), NameBuffer, SERIAL_NAME_BUFFER_SIZE);
}

static USHORT SerialCountNameChars(PCWCH Name)
{
    USHORT count = 0;

    while (count < SERIAL_NAME_BUFFER_SIZE / sizeof(WCHAR) && Name[count] != 0)
        count++;
    return count;
}

NTSTATUS SerialDoExternalNaming(PSERIAL_DEVICE_EXTENSION Extension)
{
    static const WCHAR skipExternalNaming[] = L"SerialSkipExternalNaming";
    HANDLE key;
    PWCH linkBuffer = NULL;
    PWCH nameBuffer = NULL;
    UNICODE_STRING link;
    USHORT nameChars;
    NTSTATUS status;

    // A start that was not preceded by a stop must not leak the names of the last one.
    SerialReleaseExternalNaming(Extension);

    status = IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                     STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status))
        return status;

    // A missing value leaves the setting as it was.
    SerialReadRegistryValue(key, skipExternalNaming, sizeof(skipExternalNaming),
                            &Extension->SkipExternalNaming, sizeof(Extension->SkipExternalNaming));
    if (Extension->SkipExternalNaming != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    linkBuffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, SERIAL_NAME_SCRATCH_SIZE, SERIAL_POOL_TAG));
    nameBuffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, SERIAL_NAME_SCRATCH_SIZE, SERIAL_POOL_TAG));
    if (linkBuffer == NULL || nameBuffer == NULL) {
        ZwClose(key);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto undo_naming;
    }
    RtlZeroMemory(linkBuffer, SERIAL_NAME_SCRATCH_SIZE);
    RtlZeroMemory(nameBuffer, SERIAL_NAME_SCRATCH_SIZE);
    link.Buffer = linkBuffer;
    link.Length = 0;
    link.MaximumLength = SERIAL_NAME_BUFFER_SIZE;

    status = SerialReadPortName(key, nameBuffer);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        goto undo_naming;

    nameChars = SerialCountNameChars(nameBuffer);
    status = SerialAllocateString(&Extension->ComName, static_cast<USHORT>((nameChars + 1) * sizeof(WCHAR)));
    if (!NT_SUCCESS(status))
        goto undo_naming;
    RtlCopyMemory(Extension->ComName.Buffer, nameBuffer, nameChars * sizeof(WCHAR));
    Extension->ComName.Length = static_cast<USHORT>(nameChars * sizeof(WCHAR));

    RtlAppendUnicodeToString(&link, L"\\");
    RtlAppendUnicodeToString(&link, L"DosDevices");
    RtlAppendUnicodeToString(&link, L"\\");
    // An empty name, or one too long for the link, would leave the link
    // naming the DOS device directory itself.
    if (nameChars == 0 || !NT_SUCCESS(RtlAppendUnicodeStringToString(&link, &Extension->ComName))) {
        status = STATUS_OBJECT_NAME_INVALID;
        goto undo_naming;
    }

    status = SerialAllocateString(&Extension->DosLinkName, static_cast<USHORT>(link.Length + sizeof(WCHAR)));
    if (!NT_SUCCESS(status))
        goto undo_naming;
    RtlCopyUnicodeString(&Extension->DosLinkName, &link);

    status = SerialAllocateString(&Extension->SerialCommData, SERIAL_COMM_DATA_SIZE);
    if (!NT_SUCCESS(status))
        goto undo_naming;
    // Longer names are recorded as an empty string; the zero-filled buffer
    // keeps the text terminated.
    if (nameChars <= SERIAL_COMM_DATA_MAX_CHARS)
        RtlCopyUnicodeString(&Extension->SerialCommData, &Extension->ComName);

    status = IoCreateSymbolicLink(&Extension->DosLinkName, &Extension->InterfaceName);
    if (!NT_SUCCESS(status))
        goto undo_naming;
    Extension->CreatedSymbolicLink = TRUE;

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKeyName, Extension->InterfaceName.Buffer,
                                   REG_SZ, Extension->SerialCommData.Buffer,
                                   Extension->SerialCommData.Length + sizeof(WCHAR));
    if (!NT_SUCCESS(status))
        goto undo_naming;
    Extension->WroteSerialCommValue = TRUE;
    goto free_scratch;

undo_naming:
    SerialUndoFailedNaming(Extension);
free_scratch:
    if (nameBuffer != NULL)
        ExFreePoolWithTag(nameBuffer, SERIAL_POOL_TAG);
    if (linkBuffer != NULL)
        ExFreePoolWithTag(linkBuffer, SERIAL_POOL_TAG);
    return status;
}

VOID SerialUndoExternalNaming(PSERIAL_DEVICE_EXTENSION Extension)
{
    if (Extension->SkipExternalNaming != 0)
        return;
    SerialReleaseExternalNaming(Extension);
}
