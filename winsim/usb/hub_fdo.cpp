// The root hub's FDO: reports the devices on its ports as bus relations and
// passes everything else to the root-enumerated PDO below it.
#include "bus.h"

namespace winsim::usb {
namespace {

constexpr ULONG kRelationsTag = 0x52425355;  // 'USBR'

NTSTATUS PassDown(Bus &bus, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus.busPdo, irp);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Bus &bus, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(bus.busPdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// BusRelations: the PDO of every connected device, each referenced for the
// Plug and Play manager, appended to what a filter above may already have
// put into the request. The PDO of a device that has left is missing from
// now on: its next remove-device request deletes it.
NTSTATUS QueryBusRelations(Bus &bus, PIRP irp)
{
    auto existing = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    std::vector<PDEVICE_OBJECT> present;
    {
        std::lock_guard<std::mutex> lock(bus.Lock());
        for (auto &p : bus.pdos) {
            if (p->Connected() && !p->deleted)
                present.push_back(p->pdo);
            else if (!p->deleted)
                p->missing = true;
        }
    }
    ULONG previous = existing ? existing->Count : 0;
    ULONG count = previous + static_cast<ULONG>(present.size());
    size_t bytes = offsetof(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * (count ? count : 1);
    auto relations = static_cast<PDEVICE_RELATIONS>(PoolAllocate(PagedPool, bytes, kRelationsTag, nullptr, nullptr));
    relations->Count = count;
    for (ULONG i = 0; i < previous; i++)
        relations->Objects[i] = existing->Objects[i];
    for (size_t i = 0; i < present.size(); i++) {
        ObReferenceObject(present[i]);
        relations->Objects[previous + i] = present[i];
    }
    if (existing != nullptr)
        ExFreePool(existing);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(bus, irp);
}

}  // namespace

NTSTATUS HubDispatchPnp(Bus &bus, PDEVICE_OBJECT fdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(bus, irp);
        if (NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED)
            status = STATUS_SUCCESS;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
            return QueryBusRelations(bus, irp);
        return PassDown(bus, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        // The hub's own removal is the host's teardown (UsbHost's destructor),
        // which removes the children first.
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, irp);
    default:
        return PassDown(bus, irp);
    }
}

NTSTATUS HubDispatchPower(Bus &bus, PDEVICE_OBJECT fdo, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(bus.busPdo, irp);
}

}  // namespace winsim::usb
