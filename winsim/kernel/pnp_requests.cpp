// Requests of the Plug and Play and power managers (see pnp_requests.h).
#include "pnp_requests.h"

#include "device.h"

namespace winsim::pnp {
namespace {

StackResult Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                 const std::function<void(PIO_STACK_LOCATION)> &setup)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = AllocateIrp(top->StackSize, nullptr, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (setup)
        setup(stack);
    // Windows starts every PnP and power request with this status, so that a
    // driver that does not handle it passes it down unchanged.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    ThreadedRequest request;
    request.threadId = CurrentThread().id;
    AttachThreadedRequest(irp, std::move(request));
    NTSTATUS status = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    DereferenceDevice(top);
    return StackResult{status, NT_SUCCESS(status) ? iosb.Information : 0};
}

}  // namespace

StackResult SendPnp(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup)
{
    return Send(device, IRP_MJ_PNP, minor, setup);
}

StackResult SendSystemPower(PDEVICE_OBJECT device, UCHAR minor, SYSTEM_POWER_STATE state)
{
    return Send(device, IRP_MJ_POWER, minor, [state](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = state;
        stack->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    });
}

std::vector<std::u16string> TakeIdList(ULONG_PTR information)
{
    std::vector<std::u16string> ids;
    auto *p = reinterpret_cast<const WCHAR *>(information);
    if (p == nullptr)
        return ids;
    while (*p) {
        std::u16string id = ToU16(p);
        p += id.size() + 1;
        ids.push_back(std::move(id));
    }
    ExFreePool(reinterpret_cast<PVOID>(information));
    return ids;
}

std::u16string TakeIdString(ULONG_PTR information)
{
    auto *p = reinterpret_cast<const WCHAR *>(information);
    if (p == nullptr)
        return {};
    std::u16string id = ToU16(p);
    ExFreePool(reinterpret_cast<PVOID>(information));
    return id;
}

std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR information)
{
    std::vector<PDEVICE_OBJECT> devices;
    auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (relations == nullptr)
        return devices;
    for (ULONG i = 0; i < relations->Count; i++)
        devices.push_back(relations->Objects[i]);
    ExFreePool(relations);
    return devices;
}

}  // namespace winsim::pnp
