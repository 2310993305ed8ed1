// IRP_MJ_INTERNAL_DEVICE_CONTROL on a device's PDO: IOCTL_INTERNAL_USB_SUBMIT_URB
// (every URB is checked as the USB stack checks it and turned into a request
// for the wire), IOCTL_INTERNAL_USB_RESET_PORT and
// IOCTL_INTERNAL_USB_GET_PORT_STATUS. Misuse that would corrupt memory or
// crash Windows later stops the machine here instead.
#include "bus.h"

#include "../kernel/irp.h"

namespace winsim::usb {
namespace {

// The dispatch routine of the driver that sent the request, for the
// verifier's report: the location above the PDO's, or whoever built the IRP.
const void *Sender(PIRP irp)
{
    if (irp->CurrentLocation < irp->StackCount) {
        PIO_STACK_LOCATION upper = IoGetCurrentIrpStackLocation(irp) + 1;
        if (upper->DeviceObject != nullptr && upper->DeviceObject->DriverObject != nullptr)
            return reinterpret_cast<const void *>(upper->DeviceObject->DriverObject->MajorFunction[upper->MajorFunction]);
    }
    return RecordOfIrp(irp, nullptr, "IOCTL_INTERNAL_USB")->allocator;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The buffer of a data stage: the MDL if there is one, else TransferBuffer.
USBD_STATUS UseBuffer(Request &r, PVOID buffer, PMDL mdl, ULONG length, const void *sender)
{
    r.length = length;
    if (length == 0)
        return USBD_STATUS_SUCCESS;
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length)
            BugCheck("BUGCODE_USB_DRIVER",
                     "URB with TransferBufferLength " + std::to_string(length) + " on an MDL that describes only " +
                         std::to_string(MmGetMdlByteCount(mdl)) + " bytes: the controller would write past it",
                     sender);
        r.buffer = static_cast<UCHAR *>(MmGetMdlVirtualAddress(mdl));
        return USBD_STATUS_SUCCESS;
    }
    if (buffer == nullptr)
        return USBD_STATUS_INVALID_PARAMETER;
    r.buffer = static_cast<UCHAR *>(buffer);
    return USBD_STATUS_SUCCESS;
}

// The recipient bits of a setup packet for the URB functions that come in
// device/interface/endpoint/other variants.
UCHAR Recipient(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
        return BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
        return BMREQUEST_TO_ENDPOINT;
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER:
        return BMREQUEST_TO_OTHER;
    default:
        return BMREQUEST_TO_DEVICE;
    }
}

constexpr UCHAR kDeviceToHost = 0x80;

USBD_STATUS PipeRequest(PdoContext &p, Request &r, RequestKind kind)
{
    if (r.urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return USBD_STATUS_INVALID_PARAMETER;
    r.pipe = r.urb->UrbPipeRequest.PipeHandle;
    if (p.FindPipe(r.pipe) == nullptr)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    r.kind = kind;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS BulkOrInterrupt(PdoContext &p, Request &r, const void *sender)
{
    auto &t = r.urb->UrbBulkOrInterruptTransfer;
    if (r.urb->UrbHeader.Length < sizeof(t))
        return USBD_STATUS_INVALID_PARAMETER;
    Pipe *pipe = p.FindPipe(t.PipeHandle);
    if (pipe == nullptr)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    if (pipe->type != USB_ENDPOINT_TYPE_BULK && pipe->type != USB_ENDPOINT_TYPE_INTERRUPT)
        return USBD_STATUS_INVALID_PARAMETER;
    // The direction is the endpoint's, whatever the flags say.
    r.in = pipe->In();
    if (r.in)
        t.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    else
        t.TransferFlags &= ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN);
    r.kind = RequestKind::Transfer;
    r.pipe = pipe->handle;
    r.shortOk = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    r.lengthField = &t.TransferBufferLength;
    return UseBuffer(r, t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, sender);
}

// A control transfer on the default pipe, from one of the URB forms that
// name the request, or from a raw setup packet.
USBD_STATUS Control(Request &r, const void *sender)
{
    PURB urb = r.urb;
    USHORT f = r.function;
    USHORT length = urb->UrbHeader.Length;
    UCHAR recipient = Recipient(f);
    r.kind = RequestKind::Control;
    switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT: {
        auto &d = urb->UrbControlDescriptorRequest;
        if (length < sizeof(d) || d.TransferBufferLength > MAXUSHORT)
            return USBD_STATUS_INVALID_PARAMETER;
        bool get = f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
                   f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
        r.in = get;
        r.shortOk = true;  // a descriptor may be shorter than the buffer
        r.setup = SetupPacket{static_cast<UCHAR>((get ? kDeviceToHost : 0) | recipient),
                              static_cast<UCHAR>(get ? USB_REQUEST_GET_DESCRIPTOR : USB_REQUEST_SET_DESCRIPTOR),
                              USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d.DescriptorType, d.Index), d.LanguageId,
                              static_cast<USHORT>(d.TransferBufferLength)};
        r.lengthField = &d.TransferBufferLength;
        return UseBuffer(r, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, sender);
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: {
        auto &d = urb->UrbControlFeatureRequest;
        if (length < sizeof(d))
            return USBD_STATUS_INVALID_PARAMETER;
        bool set = f == URB_FUNCTION_SET_FEATURE_TO_DEVICE || f == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                   f == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || f == URB_FUNCTION_SET_FEATURE_TO_OTHER;
        r.setup = SetupPacket{recipient, static_cast<UCHAR>(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
                              d.FeatureSelector, d.Index, 0};
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
        auto &d = urb->UrbControlGetStatusRequest;
        if (length < sizeof(d) || d.TransferBufferLength != sizeof(USHORT))
            return USBD_STATUS_INVALID_PARAMETER;
        r.in = true;
        r.shortOk = true;
        r.setup = SetupPacket{static_cast<UCHAR>(kDeviceToHost | recipient), USB_REQUEST_GET_STATUS, 0, d.Index,
                              sizeof(USHORT)};
        r.lengthField = &d.TransferBufferLength;
        return UseBuffer(r, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, sender);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto &d = urb->UrbControlVendorClassRequest;
        if (length < sizeof(d) || d.TransferBufferLength > MAXUSHORT)
            return USBD_STATUS_INVALID_PARAMETER;
        bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                      f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
        r.in = (d.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        r.shortOk = (d.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        UCHAR type = static_cast<UCHAR>((vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) << 5);
        r.setup = SetupPacket{static_cast<UCHAR>((r.in ? kDeviceToHost : 0) | type | recipient |
                                                 (d.RequestTypeReservedBits & 0x1C)),
                              d.Request, d.Value, d.Index, static_cast<USHORT>(d.TransferBufferLength)};
        r.lengthField = &d.TransferBufferLength;
        return UseBuffer(r, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, sender);
    }
    case URB_FUNCTION_GET_CONFIGURATION: {
        auto &d = urb->UrbControlGetConfigurationRequest;
        if (length < sizeof(d) || d.TransferBufferLength > MAXUSHORT)
            return USBD_STATUS_INVALID_PARAMETER;
        r.in = true;
        r.shortOk = true;
        r.setup = SetupPacket{kDeviceToHost, USB_REQUEST_GET_CONFIGURATION, 0, 0,
                              static_cast<USHORT>(d.TransferBufferLength)};
        r.lengthField = &d.TransferBufferLength;
        return UseBuffer(r, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, sender);
    }
    case URB_FUNCTION_GET_INTERFACE: {
        auto &d = urb->UrbControlGetInterfaceRequest;
        if (length < sizeof(d) || d.TransferBufferLength > MAXUSHORT)
            return USBD_STATUS_INVALID_PARAMETER;
        r.in = true;
        r.shortOk = true;
        r.setup = SetupPacket{kDeviceToHost | BMREQUEST_TO_INTERFACE, USB_REQUEST_GET_INTERFACE, 0, d.Interface,
                              static_cast<USHORT>(d.TransferBufferLength)};
        r.lengthField = &d.TransferBufferLength;
        return UseBuffer(r, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, sender);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto &d = urb->UrbControlTransfer;
        if (length < sizeof(d) || d.TransferBufferLength > MAXUSHORT)
            return USBD_STATUS_INVALID_PARAMETER;
        // Only the default pipe is a control pipe on the devices of this bus.
        if (!(d.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) && d.PipeHandle != nullptr)
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        r.in = (d.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        r.shortOk = (d.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        const UCHAR *s = d.SetupPacket;
        r.setup = SetupPacket{s[0], s[1], static_cast<USHORT>(s[2] | s[3] << 8), static_cast<USHORT>(s[4] | s[5] << 8),
                              static_cast<USHORT>(s[6] | s[7] << 8)};
        r.lengthField = &d.TransferBufferLength;
        return UseBuffer(r, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, sender);
    }
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

// Fills in the request for its URB function, or says why it is refused.
USBD_STATUS Prepare(PdoContext &p, Request &r, const void *sender)
{
    PURB urb = r.urb;
    if (urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
        return USBD_STATUS_INVALID_PARAMETER;
    switch (r.function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface))
            return USBD_STATUS_INVALID_PARAMETER;
        r.kind = RequestKind::Configure;
        return USBD_STATUS_SUCCESS;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE:
        return PipeRequest(p, r, RequestKind::HostOnly);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return PipeRequest(p, r, RequestKind::ClearHalt);
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        r.resetHostSide = false;
        return PipeRequest(p, r, RequestKind::ClearHalt);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
            return USBD_STATUS_INVALID_PARAMETER;
        r.kind = RequestKind::HostOnly;
        return USBD_STATUS_SUCCESS;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkOrInterrupt(p, r, sender);
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL:
    case URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL:
    case URB_FUNCTION_GET_FRAME_LENGTH:
    case URB_FUNCTION_SET_FRAME_LENGTH:
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR:
    case URB_FUNCTION_CONTROL_TRANSFER_EX:
        return USBD_STATUS_NOT_SUPPORTED;  // real functions this bus does not offer
    default:
        return Control(r, sender);
    }
}

NTSTATUS SubmitUrb(PdoContext &p, PIRP irp, PURB urb)
{
    const void *sender = Sender(irp);
    if (urb == nullptr)
        BugCheck("BUGCODE_USB_DRIVER",
                 "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB in Parameters.Others.Argument1", sender);
    auto r = std::make_unique<Request>();
    r->irp = irp;
    r->urb = urb;
    r->pdo = &p;
    r->function = urb->UrbHeader.Function;
    USBD_STATUS refused;
    std::unique_lock<std::mutex> lock(p.bus->Lock());
    {
        for (auto &pending : p.active) {
            if (pending->irp == irp)
                BugCheck("BUGCODE_USB_DRIVER", "an IRP submitted to the USB stack while already pending in it",
                         sender);
            if (pending->urb == urb)
                BugCheck("BUGCODE_USB_DRIVER",
                         "a URB submitted while still attached to another IRP pending in the USB stack", sender);
        }
        if (p.deleted || p.removed || p.surpriseRemoved || !p.Connected())
            refused = USBD_STATUS_DEVICE_GONE;
        else if (p.resetting)
            refused = USBD_STATUS_INVALID_PARAMETER;  // the hub refuses URBs while it resets the port
        else
            refused = Prepare(p, *r, sender);
    }
    if (refused != USBD_STATUS_SUCCESS) {
        r->finished = true;
        r->usbd = refused;
        r->status = NtStatusFromUsbd(refused);
        urb->UrbHeader.Status = refused;
    }
    return p.bus->Submit(std::move(r), std::move(lock));
}

// Resets the port: the hub does it in the background, so the request always
// pends, and only one reset runs at a time.
NTSTATUS ResetPort(PdoContext &p, PIRP irp)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IOCTL_INTERNAL_USB_RESET_PORT sent above PASSIVE_LEVEL", Sender(irp));
    auto r = std::make_unique<Request>();
    r->irp = irp;
    r->pdo = &p;
    r->kind = RequestKind::ResetPort;
    std::unique_lock<std::mutex> lock(p.bus->Lock());
    {
        NTSTATUS refused = STATUS_SUCCESS;
        if (p.deleted || p.removed || p.surpriseRemoved || !p.Connected())
            refused = STATUS_DEVICE_NOT_CONNECTED;
        else if (p.resetting)
            refused = STATUS_UNSUCCESSFUL;
        else
            p.resetting = r->holdsPortReset = true;
        if (refused != STATUS_SUCCESS) {
            r->finished = true;
            r->usbd = USBD_STATUS_SUCCESS;
            r->status = refused;
        }
    }
    return p.bus->Submit(std::move(r), std::move(lock));
}

NTSTATUS GetPortStatus(PdoContext &p, PIRP irp)
{
    auto out = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (out == nullptr)
        BugCheck("BUGCODE_USB_DRIVER", "IOCTL_INTERNAL_USB_GET_PORT_STATUS without a ULONG in Argument1", Sender(irp));
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        *out = p.Connected() && !p.deleted ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
    }
    return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS PdoDispatchInternalControl(PdoContext &p, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(p, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(p, irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return GetPortStatus(p, irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace winsim::usb
