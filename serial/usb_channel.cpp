// The channel to the USB driver directly below: the two pipes, opened with
// file objects this driver builds itself, and the synchronous device-control
// requests through which the receive path and the modem-status query talk to
// the printer.
//
// The USB driver reads nothing of a pipe file object but FileName and
// FsContext, and keeps its pipe record in FsContext from create to close; the
// same block therefore serves the pipe's create, every transfer on it and its
// close. The block is not an object-manager object and is never referenced
// or closed through the object manager.
#include "tarvik_serial.h"

static const WCHAR SerialReadPipeName[] = L"if0pipe1";
static const WCHAR SerialWritePipeName[] = L"if0pipe0";

static IO_COMPLETION_ROUTINE SerialPipeCompletion;

static PFILE_OBJECT SerialAllocatePipeFileObject(PCWSTR PipeName)
{
    PFILE_OBJECT fileObject;

    fileObject = static_cast<PFILE_OBJECT>(ExAllocatePoolWithTag(PagedPool, sizeof(FILE_OBJECT), SERIAL_POOL_TAG));
    if (fileObject == NULL)
        return NULL;
    RtlZeroMemory(fileObject, sizeof(FILE_OBJECT));
    RtlInitUnicodeString(&fileObject->FileName, PipeName);
    return fileObject;
}

// Opens one pipe unless it is open already. A block whose create was refused
// is kept and offered again at the next start.
static NTSTATUS SerialOpenPipe(PSERIAL_DEVICE_EXTENSION Extension, PFILE_OBJECT *FileObject,
                               BOOLEAN *Opened, PCWSTR PipeName)
{
    NTSTATUS status;

    if (SerialReadFlag(Opened))
        return STATUS_SUCCESS;
    if (*FileObject == NULL) {
        PFILE_OBJECT fileObject = SerialAllocatePipeFileObject(PipeName);
        if (fileObject == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        SerialWritePointer(FileObject, fileObject);
    }

    status = SerialSendCreateClose(Extension, IRP_MJ_CREATE, *FileObject);
    // Only now may writes put the block into their requests: the USB driver
    // fills in FsContext during the create.
    SerialWriteFlag(Opened, NT_SUCCESS(status) ? TRUE : FALSE);
    return status;
}

// Closes one pipe and frees its block. Close goes down only for a block the
// USB driver accepted: to the USB driver a close on a block without pipe
// context would be the close of a device handle.
static VOID SerialClosePipe(PSERIAL_DEVICE_EXTENSION Extension, PFILE_OBJECT *FileObject, BOOLEAN *Opened,
                            BOOLEAN UsedByWrites)
{
    PFILE_OBJECT fileObject = *FileObject;
    BOOLEAN opened;

    if (fileObject == NULL)
        return;

    opened = SerialExchangeFlag(Opened, FALSE);
    // A write that picked up the block before the flag fell is still handing
    // it to the USB driver; the block must outlive that.
    while (UsedByWrites && SerialReadLong(&Extension->ActiveWriteCount) != 0)
        SerialPause(SERIAL_PIPE_DRAIN_INTERVAL);

    if (opened)
        SerialSendCreateClose(Extension, IRP_MJ_CLOSE, fileObject);
    SerialWritePointer(FileObject, static_cast<PFILE_OBJECT>(NULL));
    ExFreePoolWithTag(fileObject, SERIAL_POOL_TAG);
}

// "if0pipe1" is opened first: opening it makes it the pipe that
// IOCTL_BULK_READ reads.
NTSTATUS SerialOpenPipes(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    SerialOpenPipe(extension, &extension->Pipe1FileObject, &extension->Pipe1Opened, SerialReadPipeName);
    return SerialOpenPipe(extension, &extension->Pipe0FileObject, &extension->Pipe0Opened, SerialWritePipeName);
}

VOID SerialClosePipes(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    SerialClosePipe(extension, &extension->Pipe1FileObject, &extension->Pipe1Opened, FALSE);
    SerialClosePipe(extension, &extension->Pipe0FileObject, &extension->Pipe0Opened, TRUE);
}

// The write path's hold on the write pipe. The count goes up before the flag
// is read and SerialClosePipe lowers the flag before it reads the count, so
// one of them always sees the other. Returns NULL when the pipe is not open;
// the USB driver then refuses the write. Every call is paired with
// SerialReleaseWritePipe.
PFILE_OBJECT SerialAcquireWritePipe(PSERIAL_DEVICE_EXTENSION Extension)
{
    SerialAddLong(&Extension->ActiveWriteCount, 1);
    if (!SerialReadFlag(&Extension->Pipe0Opened))
        return NULL;
    return SerialReadPointer(&Extension->Pipe0FileObject);
}

VOID SerialReleaseWritePipe(PSERIAL_DEVICE_EXTENSION Extension)
{
    SerialAddLong(&Extension->ActiveWriteCount, -1);
}

static NTSTATUS NTAPI SerialPipeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    // The request is this driver's own; its sender frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SerialSendCreateClose(PSERIAL_DEVICE_EXTENSION Extension, UCHAR MajorFunction, PFILE_OBJECT FileObject)
{
    PDEVICE_OBJECT lower = Extension->LowerDeviceObject;
    PIO_STACK_LOCATION stack;
    KEVENT event;
    NTSTATUS status;
    PIRP irp;

    irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = MajorFunction;
    stack->MinorFunction = 0;
    stack->FileObject = FileObject;

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(irp, SerialPipeCompletion, &event, TRUE, TRUE, TRUE);

    status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);

    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS SerialSendIoctl(PDEVICE_OBJECT Target, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                         PVOID OutputBuffer, ULONG OutputLength)
{
    IO_STATUS_BLOCK ioStatus;
    KEVENT event;
    NTSTATUS status;
    PIRP irp;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IoControlCode, Target, InputBuffer, InputLength, OutputBuffer,
                                        OutputLength, FALSE, &event, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    status = IoCallDriver(Target, irp);
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    return ioStatus.Status;
}

static VOID SerialFillVendorRequestBlock(PVENDOR_REQUEST_BLOCK Block, UCHAR UrbFunction, BOOLEAN DirectionIn,
                                         UCHAR Request, USHORT Value, USHORT Index)
{
    RtlZeroMemory(Block, sizeof(*Block));
    Block->UrbFunction = UrbFunction;
    // The USB driver takes the direction from the control code; a reply
    // shorter than asked for is fine.
    Block->TransferFlags = DirectionIn ? USBD_SHORT_TRANSFER_OK : 0;
    Block->RequestTypeReservedBits = 0;
    Block->Request = Request;
    Block->Value = Value;
    Block->Index = Index;
}

NTSTATUS SerialVendorRequest(PDEVICE_OBJECT Target, UCHAR UrbFunction, BOOLEAN DirectionIn, UCHAR Request,
                             USHORT Value, USHORT Index, USHORT Length, PVOID Buffer)
{
    ULONG blockSize = sizeof(VENDOR_REQUEST_BLOCK) + (DirectionIn ? 0 : Length);
    PVENDOR_REQUEST_BLOCK block;
    NTSTATUS status;

    block = static_cast<PVENDOR_REQUEST_BLOCK>(ExAllocatePoolWithTag(SerialPoolType, blockSize, SERIAL_POOL_TAG));
    if (block == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    SerialFillVendorRequestBlock(block, UrbFunction, DirectionIn, Request, Value, Index);

    if (DirectionIn) {
        status = SerialSendIoctl(Target, IOCTL_VENDOR_REQUEST_IN, block, blockSize, Buffer, Length);
    } else {
        // The data to send follows the block.
        if (Length != 0)
            RtlCopyMemory(block + 1, Buffer, Length);
        status = SerialSendIoctl(Target, IOCTL_VENDOR_REQUEST_OUT, block, blockSize, NULL, 0);
    }

    ExFreePoolWithTag(block, SERIAL_POOL_TAG);
    return status;
}
