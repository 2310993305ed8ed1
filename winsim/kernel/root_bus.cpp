// winsim's root enumerator: the bus driver of devices that no hardware bus
// reports (test devices and the USB host controller). Its PDOs answer Plug
// and Play and power requests the way a bus driver with no hardware to manage
// does: IDs, capabilities, the target relation, and success for the state
// changes; a PDO is deleted by the remove request once its device is gone.
#include "root_bus.h"

#include "device.h"

namespace winsim {
namespace {

struct RootChild {
    std::u16string instanceId;
    std::vector<std::u16string> hardwareIds, compatibleIds;
    bool present = true;
    bool removed = false;
    PIRP waitWake = nullptr;  // pending IRP_MN_WAIT_WAKE, under the cancel spin lock
};

constexpr ULONG kIdTag = 0x44497452;  // 'RtID'

DRIVER_OBJECT *g_rootDriver = nullptr;
DRIVER_EXTENSION g_rootExtension;
std::u16string g_rootName = u"\\Driver\\PnpManager";

RootChild *ChildOf(PDEVICE_OBJECT pdo) { return *static_cast<RootChild **>(pdo->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    if (NT_SUCCESS(status))
        irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// An ID answer: one string, or a REG_MULTI_SZ list, from paged pool; the PnP
// manager frees it.
ULONG_PTR IdAnswer(const std::vector<std::u16string> &ids, bool multi)
{
    size_t chars = 1;
    for (auto &id : ids)
        chars += id.size() + 1;
    auto *buffer = static_cast<WCHAR *>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kIdTag));
    if (buffer == nullptr)
        return 0;
    WCHAR *p = buffer;
    for (auto &id : ids) {
        for (char16_t c : id)
            *p++ = c;
        *p++ = 0;
        if (!multi)
            break;
    }
    *p = 0;
    return reinterpret_cast<ULONG_PTR>(buffer);
}

NTSTATUS QueryId(PDEVICE_OBJECT pdo, PIRP irp)
{
    RootChild *child = ChildOf(pdo);
    std::u16string id = child->instanceId;
    size_t slash = id.rfind(u'\\');
    std::u16string deviceId = slash == std::u16string::npos ? id : id.substr(0, slash);
    std::u16string instance = slash == std::u16string::npos ? u"0000" : id.substr(slash + 1);
    ULONG_PTR answer = 0;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: answer = IdAnswer({deviceId}, false); break;
    case BusQueryInstanceID: answer = IdAnswer({instance}, false); break;
    case BusQueryHardwareIDs: answer = IdAnswer(child->hardwareIds, true); break;
    case BusQueryCompatibleIDs: answer = IdAnswer(child->compatibleIds, true); break;
    default: return Complete(irp, irp->IoStatus.Status);
    }
    return answer ? Complete(irp, STATUS_SUCCESS, answer) : Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
}

NTSTATUS QueryCapabilities(PIRP irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_UNSUCCESSFUL);
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; s++)
        caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->SilentInstall = TRUE;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS TargetRelation(PDEVICE_OBJECT pdo, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
    if (relations == nullptr)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 1;
    relations->Objects[0] = pdo;
    ObReferenceObject(pdo);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

}  // namespace

bool EndWaitWake(PDEVICE_OBJECT pdo, NTSTATUS status);

namespace {

NTSTATUS RootDispatchPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    bool hasIds = ChildOf(pdo) != nullptr;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        // A device that is gone cannot wake anything.
        if (hasIds)
            EndWaitWake(pdo, STATUS_NO_SUCH_DEVICE);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        RootChild *child = hasIds ? ChildOf(pdo) : nullptr;
        if (child != nullptr)
            EndWaitWake(pdo, STATUS_NO_SUCH_DEVICE);
        Complete(irp, STATUS_SUCCESS);
        // The PDO goes once its device is gone; a disabled device keeps it.
        if (child != nullptr && !child->present && !child->removed) {
            child->removed = true;
            delete child;
            *static_cast<RootChild **>(pdo->DeviceExtension) = nullptr;
            IoDeleteDevice(pdo);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
        return hasIds ? QueryId(pdo, irp) : Complete(irp, irp->IoStatus.Status);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return TargetRelation(pdo, irp);
    default: {
        // Requests a bus driver does not handle keep the status they came with.
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

VOID CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp)
{
    ChildOf(pdo)->waitWake = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

// A root device can wake the system: it holds the wait-wake request until
// SignalRootChildWake completes it.
NTSTATUS HoldWaitWake(PDEVICE_OBJECT pdo, PIRP irp)
{
    RootChild *child = ChildOf(pdo);
    if (child == nullptr)
        return Complete(irp, STATUS_NOT_SUPPORTED);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (child->waitWake != nullptr) {
        IoReleaseCancelSpinLock(irql);
        return Complete(irp, STATUS_DEVICE_BUSY);
    }
    IoMarkIrpPending(irp);
    child->waitWake = irp;
    IoSetCancelRoutine(irp, CancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        child->waitWake = nullptr;
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

NTSTATUS RootDispatchPower(PDEVICE_OBJECT pdo, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return HoldWaitWake(pdo, irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return Complete(irp, STATUS_SUCCESS);
    default: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS RootDispatchOther(PDEVICE_OBJECT pdo, PIRP irp) { return Complete(irp, STATUS_INVALID_DEVICE_REQUEST); }

PDEVICE_OBJECT NewPdo(const std::u16string &instanceId, RootChild *child)
{
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(g_rootDriver, sizeof(RootChild *), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return nullptr;
    *static_cast<RootChild **>(pdo->DeviceExtension) = child;
    SetDeviceInstanceId(pdo, instanceId);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

}  // namespace

void StartRootBus()
{
    g_rootDriver = new DRIVER_OBJECT{};
    g_rootDriver->Type = 4;
    g_rootDriver->Size = sizeof(DRIVER_OBJECT);
    g_rootExtension = DRIVER_EXTENSION{};
    g_rootExtension.DriverObject = g_rootDriver;
    g_rootDriver->DriverExtension = &g_rootExtension;
    g_rootDriver->DriverName.Buffer = reinterpret_cast<PWSTR>(g_rootName.data());
    g_rootDriver->DriverName.Length = g_rootDriver->DriverName.MaximumLength =
        static_cast<USHORT>(g_rootName.size() * sizeof(WCHAR));
    for (auto &f : g_rootDriver->MajorFunction)
        f = RootDispatchOther;
    g_rootDriver->MajorFunction[IRP_MJ_PNP] = RootDispatchPnp;
    g_rootDriver->MajorFunction[IRP_MJ_POWER] = RootDispatchPower;
}

std::vector<std::string> StopRootBus()
{
    std::vector<std::string> findings;
    for (PDEVICE_OBJECT pdo : LiveDevicesOf(g_rootDriver))
        findings.push_back("root device " + DeviceName(pdo) + " was never removed");
    if (findings.empty()) {
        delete g_rootDriver;
        g_rootDriver = nullptr;
    }
    return findings;
}

PDEVICE_OBJECT CreateRootPdo(const std::u16string &instanceId) { return NewPdo(instanceId, nullptr); }

void DeleteRootPdo(PDEVICE_OBJECT pdo) { IoDeleteDevice(pdo); }

PDEVICE_OBJECT CreateRootChild(const std::u16string &instanceId, const std::vector<std::u16string> &hardwareIds,
                               const std::vector<std::u16string> &compatibleIds)
{
    auto child = std::make_unique<RootChild>();
    child->instanceId = instanceId;
    child->hardwareIds = hardwareIds;
    child->compatibleIds = compatibleIds;
    PDEVICE_OBJECT pdo = NewPdo(instanceId, child.get());
    if (pdo != nullptr)
        child.release();
    return pdo;
}

bool SignalRootChildWake(PDEVICE_OBJECT pdo) { return EndWaitWake(pdo, STATUS_SUCCESS); }

void MarkRootChildMissing(PDEVICE_OBJECT pdo)
{
    if (RootChild *child = ChildOf(pdo))
        child->present = false;
}

bool EndWaitWake(PDEVICE_OBJECT pdo, NTSTATUS status)
{
    RootChild *child = ChildOf(pdo);
    if (child == nullptr)
        return false;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = child->waitWake;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    child->waitWake = nullptr;
    IoReleaseCancelSpinLock(irql);
    Complete(irp, status);
    return true;
}

}  // namespace winsim
