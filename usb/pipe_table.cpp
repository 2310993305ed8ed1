// Pipe names and every access to the pipe table.
//
// The table (Interfaces and their Pipes arrays), PipeBySlot and the held
// configuration descriptor are built by start-up and freed by stop, both in
// the Plug and Play thread, while create, close, read, write and the control
// requests use them from other threads. Everything here that touches them
// does so under PipeTableLock, and checks that a pipe context it was handed
// (from a file object's FsContext) still belongs to the current table: a file
// object can outlive the table its pipe was opened in.
//
// File objects are never touched under the lock: their memory may be
// pageable. Callers read FileName and FsContext at PASSIVE_LEVEL and pass
// what they found.
#include "tarvik_usb.h"

static BOOLEAN IsDigit(WCHAR Character)
{
    return Character >= L'0' && Character <= L'9';
}

// The name ends at its length or at a NUL, whichever comes first.
static ULONG NameLength(PCUNICODE_STRING Name)
{
    ULONG length = Name->Length / sizeof(WCHAR);
    ULONG count = 0;

    while (count < length && Name->Buffer[count] != L'\0')
        count++;
    return count;
}

static ULONG SkipNonDigits(PCWSTR Characters, ULONG Length, ULONG Position)
{
    while (Position < Length && !IsDigit(Characters[Position]))
        Position++;
    return Position;
}

// Reads a run of one or more decimal digits starting at *Position. The value
// is accumulated in 32 bits and wraps, as a longer number would.
static BOOLEAN ScanNumber(PCWSTR Characters, ULONG Length, PULONG Position, PULONG Number)
{
    ULONG position = *Position;
    ULONG value = 0;

    while (position < Length && IsDigit(Characters[position])) {
        value = value * 10 + static_cast<ULONG>(Characters[position] - L'0');
        position++;
    }
    if (position == *Position)
        return FALSE;
    *Position = position;
    *Number = value;
    return TRUE;
}

// Pipe names: any non-digits, the interface number, at least one non-digit,
// the pipe number; whatever follows the pipe number is ignored. "if0pipe1",
// "\if0pipe1" and "0.1" all name pipe 1 of interface 0.
BOOLEAN ParsePipeName(PCUNICODE_STRING Name, PULONG InterfaceNumber, PULONG PipeNumber)
{
    PCWSTR characters = Name->Buffer;
    ULONG length;
    ULONG position;
    ULONG separator;

    if (characters == NULL)
        return FALSE;
    length = NameLength(Name);

    position = SkipNonDigits(characters, length, 0);
    if (!ScanNumber(characters, length, &position, InterfaceNumber))
        return FALSE;

    separator = position;
    position = SkipNonDigits(characters, length, position);
    if (position == separator)
        return FALSE;

    return ScanNumber(characters, length, &position, PipeNumber);
}

// The pipe at the given numbers in the current table, or NULL. Lock held.
static PPIPE_CONTEXT PipeAt(PUSB_DEVICE_EXTENSION Extension, ULONG InterfaceNumber, ULONG PipeNumber)
{
    if (InterfaceNumber >= Extension->NumberOfInterfaces)
        return NULL;
    if (PipeNumber >= Extension->Interfaces[InterfaceNumber].NumberOfPipes)
        return NULL;
    return &Extension->Interfaces[InterfaceNumber].Pipes[PipeNumber];
}

// Whether Pipe points at a record of the current table. Lock held.
static BOOLEAN IsPipeInTable(PUSB_DEVICE_EXTENSION Extension, PPIPE_CONTEXT Pipe)
{
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(Pipe);

    for (ULONG i = 0; i < Extension->NumberOfInterfaces; i++) {
        ULONG_PTR first = reinterpret_cast<ULONG_PTR>(Extension->Interfaces[i].Pipes);
        ULONG_PTR size = Extension->Interfaces[i].NumberOfPipes * sizeof(PIPE_CONTEXT);

        if (address >= first && address < first + size)
            return (address - first) % sizeof(PIPE_CONTEXT) == 0;
    }
    return FALSE;
}

// Parses the file name of a create and checks both numbers against the
// current configuration. PASSIVE_LEVEL: the name may be pageable.
BOOLEAN LookupPipe(PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING FileName, PULONG InterfaceNumber,
                   PULONG PipeNumber)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    BOOLEAN found;
    KIRQL oldIrql;

    if (!ParsePipeName(FileName, InterfaceNumber, PipeNumber))
        return FALSE;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    found = PipeAt(extension, *InterfaceNumber, *PipeNumber) != NULL;
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return found;
}

// Opens the pipe for one file object. Every open that names an existing
// pipe is remembered in PipeBySlot, also one refused because the pipe is
// already open; PipeBySlot has room for pipe numbers 0 to 4 only.
NTSTATUS ClaimPipe(PDEVICE_OBJECT DeviceObject, ULONG InterfaceNumber, ULONG PipeNumber, PFILE_OBJECT FileObject,
                   PPIPE_CONTEXT *Pipe)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    PPIPE_CONTEXT pipe;
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);

    // The table may have been withdrawn since the name was looked up.
    pipe = PipeAt(extension, InterfaceNumber, PipeNumber);
    if (pipe == NULL)
        goto unlock;

    if (PipeNumber < PIPE_SLOT_COUNT)
        extension->PipeBySlot[PipeNumber] = pipe;

    if (InterlockedIncrement(&pipe->OpenCount) > 1) {
        InterlockedDecrement(&pipe->OpenCount);     // already open: the pipe is exclusive
        goto unlock;
    }
    pipe->OpenFileObject = FileObject;
    InterlockedIncrement(&extension->OpenPipeCount);
    *Pipe = pipe;
    status = STATUS_SUCCESS;

unlock:
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return status;
}

// Undoes ClaimPipe for a closing file object. A pipe that an abort has
// already closed (and that may since have been opened by another file
// object), or that belongs to a table since freed, changes nothing.
VOID ReleasePipe(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe, PFILE_OBJECT FileObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    if (IsPipeInTable(extension, Pipe) && Pipe->OpenFileObject == FileObject && ReadShared(&Pipe->OpenCount) > 0) {
        Pipe->OpenFileObject = NULL;
        InterlockedDecrement(&extension->OpenPipeCount);
        InterlockedDecrement(&Pipe->OpenCount);
    }
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
}

// Records that an abort has closed the pipe. OpenPipeCount follows only a
// change from open to closed, so that aborting a closed pipe again cannot
// drive it below the number of pipes really open.
VOID MarkPipeClosed(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    if (IsPipeInTable(extension, Pipe) && InterlockedExchange(&Pipe->OpenCount, 0) != 0) {
        Pipe->OpenFileObject = NULL;
        InterlockedDecrement(&extension->OpenPipeCount);
    }
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
}

// Whether the file object may still use the pipe: the pipe belongs to the
// current table and no other file object holds it. A file object whose
// pipe an abort has closed keeps using it until another one opens it. Lock
// held.
static BOOLEAN IsPipeUsableBy(PUSB_DEVICE_EXTENSION Extension, PPIPE_CONTEXT Pipe, PFILE_OBJECT FileObject)
{
    if (!IsPipeInTable(Extension, Pipe))
        return FALSE;
    return Pipe->OpenFileObject == NULL || Pipe->OpenFileObject == FileObject;
}

BOOLEAN IsPipeOfFileObject(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe, PFILE_OBJECT FileObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    BOOLEAN usable;
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    usable = IsPipeUsableBy(extension, Pipe, FileObject);
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return usable;
}

// Fetches the handle to transfer on for the file object; FALSE for a pipe
// of a table since freed or one that another file object holds now.
// FileObject NULL: the driver's own request, which only needs the pipe to
// be in the table.
BOOLEAN CapturePipeHandle(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe, PFILE_OBJECT FileObject,
                          USBD_PIPE_HANDLE *PipeHandle)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    BOOLEAN found;
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    found = FileObject == NULL ? IsPipeInTable(extension, Pipe) : IsPipeUsableBy(extension, Pipe, FileObject);
    if (found)
        *PipeHandle = Pipe->PipeInformation.PipeHandle;
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return found;
}

// Fetches the handle of the pipe last opened under the given pipe number;
// FALSE when none has been opened since the configuration was selected.
BOOLEAN CaptureSlotPipeHandle(PDEVICE_OBJECT DeviceObject, ULONG Slot, USBD_PIPE_HANDLE *PipeHandle)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    PPIPE_CONTEXT pipe;
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    pipe = extension->PipeBySlot[Slot];
    if (pipe != NULL)
        *PipeHandle = pipe->PipeInformation.PipeHandle;
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return pipe != NULL;
}

// Makes a newly selected configuration visible to the I/O paths. The
// extension takes ownership of the descriptor and the table.
VOID PublishConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                          USBD_CONFIGURATION_HANDLE ConfigurationHandle, PINTERFACE_PIPES Interfaces,
                          ULONG NumberOfInterfaces)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    extension->ConfigurationDescriptor = ConfigurationDescriptor;
    extension->ConfigurationHandle = ConfigurationHandle;
    extension->Interfaces = Interfaces;
    extension->NumberOfInterfaces = NumberOfInterfaces;
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
}

// Takes the configuration away from the I/O paths and hands it to the
// caller to free. PipeBySlot is emptied with it: its entries point into the
// table.
VOID WithdrawConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR *ConfigurationDescriptor,
                           PINTERFACE_PIPES *Interfaces, PULONG NumberOfInterfaces)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    *ConfigurationDescriptor = extension->ConfigurationDescriptor;
    *Interfaces = extension->Interfaces;
    *NumberOfInterfaces = extension->NumberOfInterfaces;
    extension->ConfigurationDescriptor = NULL;
    extension->ConfigurationHandle = NULL;
    extension->Interfaces = NULL;
    extension->NumberOfInterfaces = 0;
    RtlZeroMemory(extension->PipeBySlot, sizeof(extension->PipeBySlot));
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
}

// Copies the whole held configuration descriptor (wTotalLength bytes) into
// a nonpaged buffer.
NTSTATUS CopyConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG BufferLength,
                                     PULONG BytesCopied)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR descriptor;
    NTSTATUS status;
    KIRQL oldIrql;

    *BytesCopied = 0;
    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    descriptor = extension->ConfigurationDescriptor;
    if (descriptor == NULL) {
        status = STATUS_DEVICE_DATA_ERROR;
    } else if (BufferLength < descriptor->wTotalLength) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        RtlCopyMemory(Buffer, descriptor, descriptor->wTotalLength);
        *BytesCopied = descriptor->wTotalLength;
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return status;
}
