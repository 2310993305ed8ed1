// Pipe file objects: create, close, and reads and writes that become single
// bulk or interrupt transfers on the pipe.
//
// A create whose file name names a pipe ("if0pipe0", see ParsePipeName)
// opens that pipe exclusively and leaves its PIPE_CONTEXT in the file
// object's FsContext. A create without a file name opens the device itself,
// also exclusively, for the control requests. Nothing else of a file object
// is read, so a driver above may use file objects it built itself.
#include "tarvik_usb.h"

// What a transfer's completion needs; one per read or write.
typedef struct _TRANSFER_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PURB Urb;
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

static IO_COMPLETION_ROUTINE TransferComplete;

static NTSTATUS OpenDevice(PDEVICE_OBJECT DeviceObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    NTSTATUS status;

    if (InterlockedIncrement(&extension->DeviceOpenCount) > 1) {
        InterlockedDecrement(&extension->DeviceOpenCount);
        return STATUS_INVALID_PARAMETER;
    }

    // No close follows a failed create: give the open back at once.
    status = SetIdlePower(DeviceObject, FALSE);
    if (!NT_SUCCESS(status))
        InterlockedDecrement(&extension->DeviceOpenCount);
    return status;
}

static NTSTATUS OpenPipe(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject)
{
    ULONG interfaceNumber;
    ULONG pipeNumber;
    PPIPE_CONTEXT pipe;
    NTSTATUS status;

    if (!LookupPipe(DeviceObject, &FileObject->FileName, &interfaceNumber, &pipeNumber))
        return STATUS_INVALID_PARAMETER;

    status = ClaimPipe(DeviceObject, interfaceNumber, pipeNumber, FileObject, &pipe);
    if (!NT_SUCCESS(status))
        return status;

    // No close follows a failed create: give the pipe back at once.
    status = SetIdlePower(DeviceObject, FALSE);
    if (!NT_SUCCESS(status)) {
        ReleasePipe(DeviceObject, pipe, FileObject);
        return status;
    }
    FileObject->FsContext = pipe;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS status;

    IncrementIoCount(DeviceObject);

    if (!IsDeviceUsable(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else if (fileObject == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        fileObject->FsContext = NULL;
        if (fileObject->FileName.Length == 0)
            status = OpenDevice(DeviceObject);
        else
            status = OpenPipe(DeviceObject, fileObject);
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(DeviceObject);
    return status;
}

// Lowers the device open count, never below 0.
static VOID CloseDevice(PDEVICE_OBJECT DeviceObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    LONG count = ReadShared(&extension->DeviceOpenCount);

    while (count > 0) {
        LONG seen = InterlockedCompareExchange(&extension->DeviceOpenCount, count - 1, count);
        if (seen == count)
            break;
        count = seen;
    }
}

// Close succeeds in every state, also while the device stops or is gone.
// A file object without FsContext is the device's own when it has no file
// name; one with a file name is a pipe file object whose create failed (a
// driver above may close those too) and releases nothing.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    IncrementIoCount(DeviceObject);

    if (fileObject != NULL) {
        PPIPE_CONTEXT pipe = static_cast<PPIPE_CONTEXT>(fileObject->FsContext);

        if (pipe != NULL) {
            ReleasePipe(DeviceObject, pipe, fileObject);
            fileObject->FsContext = NULL;
        } else if (fileObject->FileName.Length == 0) {
            CloseDevice(DeviceObject);
        }
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    // When nothing is open any more the device goes to its idle state; the
    // close does not wait for it.
    SetIdlePower(DeviceObject, TRUE);

    DecrementIoCount(DeviceObject);
    return STATUS_SUCCESS;
}

// The requested length, bounded by what the MDL describes; 0 without an MDL.
static ULONG TransferLength(PIRP Irp, BOOLEAN Read)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = Read ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
    ULONG mdlLength;

    if (Irp->MdlAddress == NULL)
        return 0;
    mdlLength = MmGetMdlByteCount(Irp->MdlAddress);
    return mdlLength < length ? mdlLength : length;
}

// One transfer straight on the request's MDL: no data is copied.
static PURB BuildTransferUrb(USBD_PIPE_HANDLE PipeHandle, PMDL Mdl, ULONG Length, BOOLEAN Read)
{
    ULONG flags = Read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
    PURB urb;

    urb = AllocateUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (urb == NULL)
        return NULL;
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), PipeHandle, NULL,
                                           Mdl, Length, flags, NULL);
    return urb;
}

// Read and write: the request itself travels down with the URB in the next
// stack location and is completed by TransferComplete. Its reference on
// the device is taken at entry, so that a removal cannot finish while the
// transfer is being set up, and handed to the transfer.
static NTSTATUS ReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    PTRANSFER_CONTEXT transfer;
    PIO_STACK_LOCATION next;
    USBD_PIPE_HANDLE pipeHandle;
    PURB urb;
    NTSTATUS status;

    Irp->IoStatus.Information = 0;
    IncrementIoCount(DeviceObject);

    if (!IsDeviceUsable(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
        goto complete;
    }

    // A device file object, a pipe of a configuration since torn down, or
    // one that another file object has opened since an abort.
    if (fileObject == NULL || fileObject->FsContext == NULL ||
        !CapturePipeHandle(DeviceObject, static_cast<PPIPE_CONTEXT>(fileObject->FsContext), fileObject,
                           &pipeHandle)) {
        status = STATUS_INVALID_HANDLE;
        goto complete;
    }

    urb = BuildTransferUrb(pipeHandle, Irp->MdlAddress, TransferLength(Irp, Read), Read);
    if (urb == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto complete;
    }

    transfer = static_cast<PTRANSFER_CONTEXT>(AllocatePool(sizeof(TRANSFER_CONTEXT)));
    if (transfer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto free_urb;
    }
    transfer->DeviceObject = DeviceObject;
    transfer->Urb = urb;

    next = IoGetNextIrpStackLocation(Irp);
    RtlZeroMemory(next, sizeof(*next));
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(Irp, TransferComplete, transfer, TRUE, TRUE, TRUE);

    // TransferComplete sets the final status, which may differ from what
    // the bus driver returns: the request is pending as far as the caller
    // knows, whenever the bus finishes it.
    IoMarkIrpPending(Irp);
    IoCallDriver(extension->LowerDeviceObject, Irp);
    return STATUS_PENDING;

free_urb:
    FreeUrb(urb);
complete:
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(DeviceObject);
    return status;
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ReadWrite(DeviceObject, Irp, TRUE);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ReadWrite(DeviceObject, Irp, FALSE);
}

// Finishes a read or write: the number of bytes the stack transferred (a
// read may end early on a short packet), or STATUS_IO_DEVICE_ERROR when the
// transfer failed on the bus. The request is completed upward from here, so
// the completion already under way below stops with
// STATUS_MORE_PROCESSING_REQUIRED. The device reference goes last: once it
// is dropped a removal may delete the device.
static NTSTATUS NTAPI TransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PTRANSFER_CONTEXT transfer = static_cast<PTRANSFER_CONTEXT>(Context);
    PDEVICE_OBJECT deviceObject = transfer->DeviceObject;
    PURB urb = transfer->Urb;

    UNREFERENCED_PARAMETER(DeviceObject);

    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);

    if (urb->UrbHeader.Status != USBD_STATUS_SUCCESS) {
        Irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
        Irp->IoStatus.Information = 0;
    } else {
        Irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }

    FreeUrb(urb);
    FreePool(transfer);

    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(deviceObject);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
