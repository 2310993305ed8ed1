// Requests to the USB stack below: URBs carried by internal device-control
// requests, the single-pipe requests and the port reset.
#include "tarvik_usb.h"

// Every URB the driver builds itself comes zeroed from the driver's pool.
PURB AllocateUrb(USHORT Length)
{
    PURB urb = static_cast<PURB>(AllocatePool(Length));

    if (urb != NULL)
        RtlZeroMemory(urb, Length);
    return urb;
}

VOID FreeUrb(PURB Urb)
{
    FreePool(Urb);
}

// Sends one internal device-control request to the lower driver and waits
// for it without a time limit.
static NTSTATUS SendInternalRequest(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument1)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    IO_STATUS_BLOCK ioStatus;
    KEVENT done;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IoControlCode, extension->LowerDeviceObject, NULL, 0, NULL, 0, TRUE,
                                        &done, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;

    // The I/O manager frees the request when it completes; only the status
    // block and the event are looked at afterwards.
    status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// The URB's own USBD status is left to the caller, which reads from the URB
// what it needs (chiefly the TransferBufferLength the stack wrote back).
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    return SendInternalRequest(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

// Waits for the request in slices of 8 ms. After each slice it looks whether
// the device's IOCTL_BULK_READ has been told to give up; if so the request
// is cancelled and, once it has come back, the abort is consumed.
static VOID WaitCancellable(PUSB_DEVICE_EXTENSION Extension, PIRP Irp, PKEVENT Done)
{
    LARGE_INTEGER slice;

    slice.QuadPart = -80000;    // 8 ms, relative
    while (KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, &slice) == STATUS_TIMEOUT) {
        if (!ReadShared(&Extension->BulkReadCancelRequested))
            continue;
        IoCancelIrp(Irp);
        KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, NULL);
        WriteShared(&Extension->BulkReadCancelRequested, FALSE);
    }
}

// SubmitUrb with a wait that an abort can cut short. The request is the
// driver's own and is handed back by its completion routine, so it stays
// valid for IoCancelIrp until the driver frees it, however the wait ended.
NTSTATUS SubmitUrbCancellable(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    PIO_STACK_LOCATION next;
    KEVENT done;
    PIRP irp;
    NTSTATUS status;

    irp = IoAllocateIrp(extension->LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

    if (IoCallDriver(extension->LowerDeviceObject, irp) == STATUS_PENDING)
        WaitCancellable(extension, irp, &done);

    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

static NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle, USHORT Function)
{
    PURB urb;
    NTSTATUS status;

    urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = PipeHandle;

    status = SubmitUrb(DeviceObject, urb);
    FreeUrb(urb);
    return status;
}

// Ends every transfer pending on the pipe. A successful abort also closes
// the pipe: its file object, if any, can no longer transfer through it.
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe)
{
    USBD_PIPE_HANDLE pipeHandle;
    NTSTATUS status;

    if (!CapturePipeHandle(DeviceObject, Pipe, NULL, &pipeHandle))
        return STATUS_INVALID_HANDLE;
    status = SubmitPipeRequest(DeviceObject, pipeHandle, URB_FUNCTION_ABORT_PIPE);
    if (NT_SUCCESS(status))
        MarkPipeClosed(DeviceObject, Pipe);
    return status;
}

// Clears a halted pipe; whether the pipe is open does not change.
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe)
{
    USBD_PIPE_HANDLE pipeHandle;

    if (!CapturePipeHandle(DeviceObject, Pipe, NULL, &pipeHandle))
        return STATUS_INVALID_HANDLE;
    return SubmitPipeRequest(DeviceObject, pipeHandle, URB_FUNCTION_RESET_PIPE);
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject)
{
    return SendInternalRequest(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}
