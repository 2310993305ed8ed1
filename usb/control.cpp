// The private device-control requests (tarvik_usb_ioctl.h): descriptors,
// vendor and class control transfers, USB status, pipe and port resets, and
// the fixed-size bulk-in read with its abort. Every request runs to its end
// in the caller's thread and is completed before the dispatch returns.
#include "tarvik_usb.h"

// The parameters of one request, as the handlers see them. Input and output
// share the system buffer (METHOD_BUFFERED).
typedef struct _CONTROL_REQUEST {
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    PVOID Buffer;
    ULONG InputLength;
    ULONG OutputLength;
} CONTROL_REQUEST, *PCONTROL_REQUEST;

static NTSTATUS GetConfigDescriptor(PCONTROL_REQUEST Request)
{
    ULONG copied;
    NTSTATUS status;

    if (Request->Buffer == NULL)
        return STATUS_INVALID_PARAMETER;
    status = CopyConfigurationDescriptor(Request->DeviceObject, Request->Buffer, Request->OutputLength, &copied);
    Request->Irp->IoStatus.Information = copied;
    return status;
}

// The pipe behind the request's file object, or NULL for a device file
// object, a request without one, or a pipe the file object no longer has
// (see IsPipeOfFileObject).
static PPIPE_CONTEXT RequestPipe(PCONTROL_REQUEST Request)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Request->Irp)->FileObject;
    PPIPE_CONTEXT pipe;

    if (fileObject == NULL || fileObject->FsContext == NULL)
        return NULL;
    pipe = static_cast<PPIPE_CONTEXT>(fileObject->FsContext);
    if (!IsPipeOfFileObject(Request->DeviceObject, pipe, fileObject))
        return NULL;
    return pipe;
}

// The outcome of the reset itself is not reported.
static NTSTATUS ResetRequestPipe(PCONTROL_REQUEST Request)
{
    PPIPE_CONTEXT pipe = RequestPipe(Request);

    if (pipe == NULL)
        return STATUS_INVALID_PARAMETER;
    ResetPipe(Request->DeviceObject, pipe);
    return STATUS_SUCCESS;
}

// The outcome of the abort itself is not reported; a successful one has
// closed the pipe.
static NTSTATUS AbortRequestPipe(PCONTROL_REQUEST Request)
{
    PPIPE_CONTEXT pipe = RequestPipe(Request);

    if (pipe == NULL)
        return STATUS_INVALID_PARAMETER;
    AbortPipe(Request->DeviceObject, pipe);
    return STATUS_SUCCESS;
}

// The block names the URB function itself; only the vendor and class
// control-transfer functions fit the URB built here.
static BOOLEAN IsVendorOrClassFunction(USHORT Function)
{
    switch (Function) {
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        return TRUE;
    default:
        return FALSE;
    }
}

// One vendor or class control transfer as the block describes it. The
// direction comes from the control code; of the block's flags only
// USBD_SHORT_TRANSFER_OK is taken.
static NTSTATUS VendorOrClassTransfer(PDEVICE_OBJECT DeviceObject, const VENDOR_REQUEST_BLOCK *Block,
                                      BOOLEAN In, PVOID Buffer, ULONG Length, PULONG Transferred)
{
    ULONG flags = Block->TransferFlags & USBD_SHORT_TRANSFER_OK;
    PURB urb;
    NTSTATUS status;

    *Transferred = 0;
    if (In)
        flags |= USBD_TRANSFER_DIRECTION_IN;

    urb = AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildVendorRequest(urb, Block->UrbFunction, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags,
                          Block->RequestTypeReservedBits, Block->Request, Block->Value, Block->Index, Buffer, NULL,
                          Length, NULL);
    status = SubmitUrb(DeviceObject, urb);
    *Transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
    FreeUrb(urb);
    return status;
}

// Reads the block out of the system buffer before a transfer overwrites it.
static NTSTATUS CaptureVendorRequestBlock(PCONTROL_REQUEST Request, PVENDOR_REQUEST_BLOCK Block)
{
    if (Request->Buffer == NULL || Request->InputLength < sizeof(VENDOR_REQUEST_BLOCK))
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(Block, Request->Buffer, sizeof(VENDOR_REQUEST_BLOCK));
    if (!IsVendorOrClassFunction(Block->UrbFunction))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// The data read from the device overwrite the block in the system buffer.
static NTSTATUS VendorRequestIn(PCONTROL_REQUEST Request)
{
    VENDOR_REQUEST_BLOCK block;
    ULONG transferred;
    NTSTATUS status;

    status = CaptureVendorRequestBlock(Request, &block);
    if (!NT_SUCCESS(status))
        return status;

    status = VendorOrClassTransfer(Request->DeviceObject, &block, TRUE, Request->Buffer, Request->OutputLength,
                                   &transferred);
    if (status == STATUS_SUCCESS)
        Request->Irp->IoStatus.Information = transferred;
    return status;
}

// The data to send follow the block. The request reports the number of
// bytes it was given to send, but never more than the caller's output
// buffer holds: the I/O manager copies that many bytes back into it.
static NTSTATUS VendorRequestOut(PCONTROL_REQUEST Request)
{
    VENDOR_REQUEST_BLOCK block;
    ULONG dataLength;
    ULONG transferred;
    NTSTATUS status;

    status = CaptureVendorRequestBlock(Request, &block);
    if (!NT_SUCCESS(status))
        return status;
    dataLength = Request->InputLength - static_cast<ULONG>(sizeof(VENDOR_REQUEST_BLOCK));

    status = VendorOrClassTransfer(Request->DeviceObject, &block, FALSE,
                                   static_cast<PUCHAR>(Request->Buffer) + sizeof(VENDOR_REQUEST_BLOCK), dataLength,
                                   &transferred);
    Request->Irp->IoStatus.Information = dataLength < Request->OutputLength ? dataLength : Request->OutputLength;
    return status;
}

// Input: descriptor type, descriptor index, language ID (16 bits). The
// language ID only means something for string descriptors.
static NTSTATUS GetUsbDescriptor(PCONTROL_REQUEST Request)
{
    PUCHAR input = static_cast<PUCHAR>(Request->Buffer);
    UCHAR descriptorType;
    UCHAR descriptorIndex;
    USHORT languageId;
    PURB urb;
    NTSTATUS status;

    if (input == NULL || Request->InputLength != 4)
        return STATUS_INVALID_PARAMETER;
    descriptorType = input[0];
    descriptorIndex = input[1];
    languageId = static_cast<USHORT>(input[2] | (input[3] << 8));
    if (descriptorType != USB_STRING_DESCRIPTOR_TYPE)
        languageId = 0;

    urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), descriptorType,
                                 descriptorIndex, languageId, Request->Buffer, NULL, Request->OutputLength, NULL);
    status = SubmitUrb(Request->DeviceObject, urb);
    Request->Irp->IoStatus.Information = urb->UrbControlDescriptorRequest.TransferBufferLength;
    FreeUrb(urb);
    return status;
}

static NTSTATUS GetDeviceReady(PCONTROL_REQUEST Request)
{
    if (Request->Buffer == NULL || Request->OutputLength != sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    *static_cast<PULONG>(Request->Buffer) = IsDeviceUsable(Request->DeviceObject) ? 1 : 0;
    Request->Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static USHORT GetStatusFunction(USHORT Recipient)
{
    switch (Recipient) {
    case 0:
        return URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    case 1:
        return URB_FUNCTION_GET_STATUS_FROM_INTERFACE;
    case 2:
        return URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    default:
        return URB_FUNCTION_GET_STATUS_FROM_OTHER;
    }
}

// Input: recipient and index, 16 bits each. Output: the 16-bit status word.
static NTSTATUS GetUsbStatus(PCONTROL_REQUEST Request)
{
    PUCHAR input = static_cast<PUCHAR>(Request->Buffer);
    USHORT recipient;
    USHORT index;
    PURB urb;
    NTSTATUS status;

    if (input == NULL || Request->InputLength != 4 || Request->OutputLength != sizeof(USHORT))
        return STATUS_INVALID_PARAMETER;
    recipient = static_cast<USHORT>(input[0] | (input[1] << 8));
    index = static_cast<USHORT>(input[2] | (input[3] << 8));

    urb = AllocateUrb(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetStatusRequest(urb, GetStatusFunction(recipient), index, Request->Buffer, NULL, NULL);
    status = SubmitUrb(Request->DeviceObject, urb);
    Request->Irp->IoStatus.Information = urb->UrbControlGetStatusRequest.TransferBufferLength;
    FreeUrb(urb);
    return status;
}

// One 64-byte IN transfer on the pipe last opened under pipe number 1,
// returned as a BULK_READ_RESULT. The request waits until the device sends
// a packet, or until IOCTL_BULK_ABORT_READ cuts it short.
static NTSTATUS BulkRead(PCONTROL_REQUEST Request)
{
    BULK_READ_RESULT result;
    USBD_PIPE_HANDLE pipeHandle;
    PURB urb;
    NTSTATUS status;

    if (Request->Buffer == NULL || Request->OutputLength < sizeof(BULK_READ_RESULT))
        return STATUS_INVALID_PARAMETER;

    // No pipe has been opened under number 1 since the device was configured.
    if (!CaptureSlotPipeHandle(Request->DeviceObject, BULK_READ_PIPE_SLOT, &pipeHandle))
        return STATUS_INVALID_DEVICE_STATE;

    RtlZeroMemory(&result, sizeof(result));
    urb = AllocateUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipeHandle,
                                           result.Data, NULL, sizeof(result.Data),
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);

    status = SubmitUrbCancellable(Request->DeviceObject, urb);
    result.Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    FreeUrb(urb);

    RtlCopyMemory(Request->Buffer, &result, sizeof(result));
    Request->Irp->IoStatus.Information = sizeof(result);
    return status;
}

// Tells a waiting (or the next) IOCTL_BULK_READ of this device to give up.
static NTSTATUS BulkAbortRead(PCONTROL_REQUEST Request)
{
    WriteShared(&DeviceExtension(Request->DeviceObject)->BulkReadCancelRequested, TRUE);
    return STATUS_SUCCESS;
}

static NTSTATUS HandleControlRequest(PCONTROL_REQUEST Request, ULONG IoControlCode)
{
    switch (IoControlCode) {
    case IOCTL_GET_CONFIG_DESCRIPTOR:
        return GetConfigDescriptor(Request);
    case IOCTL_RESET_DEVICE_PORT:
        return ResetPort(Request->DeviceObject);
    case IOCTL_RESET_PIPE:
        return ResetRequestPipe(Request);
    case IOCTL_VENDOR_REQUEST_IN:
        return VendorRequestIn(Request);
    case IOCTL_VENDOR_REQUEST_OUT:
        return VendorRequestOut(Request);
    case IOCTL_GET_USB_DESCRIPTOR:
        return GetUsbDescriptor(Request);
    case IOCTL_GET_DEVICE_READY:
        return GetDeviceReady(Request);
    case IOCTL_GET_USB_STATUS:
        return GetUsbStatus(Request);
    case IOCTL_ABORT_PIPE:
        return AbortRequestPipe(Request);
    case IOCTL_BULK_READ:
        return BulkRead(Request);
    case IOCTL_BULK_ABORT_READ:
        return BulkAbortRead(Request);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CONTROL_REQUEST request;
    NTSTATUS status;

    IncrementIoCount(DeviceObject);
    Irp->IoStatus.Information = 0;

    if (!IsDeviceUsable(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else {
        request.DeviceObject = DeviceObject;
        request.Irp = Irp;
        request.Buffer = Irp->AssociatedIrp.SystemBuffer;
        request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        status = HandleControlRequest(&request, stack->Parameters.DeviceIoControl.IoControlCode);
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(DeviceObject);
    return status;
}
