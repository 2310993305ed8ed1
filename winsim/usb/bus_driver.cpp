// The bus driver's entry points: one dispatch routine for every major
// function, routing each request to the hub's FDO or to a device's PDO, and
// the answers to the request types neither handles specially.
#include "bus.h"

namespace winsim::usb {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A PDO is not opened by applications while a function driver sits on it;
// once the stack has been torn down, what reaches the PDO is refused, except
// the cleanup and close that must always succeed.
NTSTATUS PdoDispatchOther(PdoContext &p, PIRP irp)
{
    bool gone;
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        gone = p.deleted || p.removed || !p.Connected();
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CREATE:
        return Complete(irp, gone ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS);
    case IRP_MJ_SYSTEM_CONTROL: {
        // WMI: not provided; the request keeps the status it came with.
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        return Complete(irp, gone ? STATUS_NO_SUCH_DEVICE : STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS HubDispatchOther(Bus &bus, PDEVICE_OBJECT fdo, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(bus.busPdo, irp);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = ExtensionOf(device);
    if (ext == nullptr || ext->signature != kExtensionSignature)
        BugCheck("USB_BUS_DRIVER", "a request reached the USB bus driver through a device object it does not own");
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (!ext->isPdo) {
        switch (major) {
        case IRP_MJ_PNP:
            return HubDispatchPnp(*ext->bus, device, irp);
        case IRP_MJ_POWER:
            return HubDispatchPower(*ext->bus, device, irp);
        default:
            return HubDispatchOther(*ext->bus, device, irp);
        }
    }
    PdoContext &p = *ext->pdo;
    switch (major) {
    case IRP_MJ_PNP:
        return PdoDispatchPnp(p, irp);
    case IRP_MJ_POWER:
        return PdoDispatchPower(p, irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return PdoDispatchInternalControl(p, irp);
    default:
        return PdoDispatchOther(p, irp);
    }
}

}  // namespace winsim::usb
