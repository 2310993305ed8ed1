// Power requests to a device's PDO: set-power (the device suspends in D1 to
// D3 and resumes in D0), query-power, and wait-wake, which arms the
// device's remote wake-up and stays pending until the device signals wake,
// the request is cancelled, or the device goes away.
#include "bus.h"

namespace winsim::usb {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// SET_FEATURE / CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP) on the device.
bool SetRemoteWakeFeature(DeviceState &device, bool enable)
{
    SetupPacket setup{0x00, static_cast<UCHAR>(enable ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
                      USB_FEATURE_REMOTE_WAKEUP, 0, 0};
    return device.Control(setup, {}).has_value();
}

void CancelWaitWake(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PdoContext &p = *ExtensionOf(device)->pdo;
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        if (p.waitWake == irp) {
            p.waitWake = nullptr;
            if (p.Connected())
                SetRemoteWakeFeature(p.Device(), false);
        }
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The steps of "Handling a wait/wake IRP in a bus driver": refuse a wake
// the device cannot give, allow one pending request per PDO, arm the
// hardware, and pend with a cancel routine.
NTSTATUS WaitWake(PdoContext &p, PIRP irp)
{
    SYSTEM_POWER_STATE from = IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
    std::unique_lock<std::mutex> lock(p.bus->Lock());
    if (!p.Connected() || p.removed || p.surpriseRemoved) {
        lock.unlock();
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    }
    const PowerCapabilities &caps = p.Device().config.power;
    if (caps.deviceWake == PowerDeviceUnspecified || caps.systemWake == PowerSystemUnspecified) {
        lock.unlock();
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
    if (from > caps.systemWake || p.devicePower > caps.deviceWake) {
        lock.unlock();
        return Complete(irp, STATUS_INVALID_DEVICE_STATE);
    }
    if (p.waitWake != nullptr) {
        lock.unlock();
        return Complete(irp, STATUS_DEVICE_BUSY);
    }
    if (!SetRemoteWakeFeature(p.Device(), true)) {
        lock.unlock();
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
    IoMarkIrpPending(irp);
    p.waitWake = irp;
    IoSetCancelRoutine(irp, CancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        p.waitWake = nullptr;
        SetRemoteWakeFeature(p.Device(), false);
        lock.unlock();
        Complete(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

NTSTATUS SetPower(PdoContext &p, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.Power.Type == SystemPowerState) {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        p.systemPower = stack->Parameters.Power.State.SystemState;
    } else {
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        if (state < PowerDeviceD0 || state > PowerDeviceD3)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        {
            std::lock_guard<std::mutex> lock(p.bus->Lock());
            p.devicePower = state;
            p.bus->KickLocked();
        }
        PoSetPowerState(p.pdo, DevicePowerState, stack->Parameters.Power.State);
    }
    return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

// Ends the pending wait-wake request, if any, with the given status.
bool CompleteWaitWake(PdoContext &p, NTSTATUS status)
{
    PIRP irp = p.waitWake;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr)
        return false;  // none, or its cancel routine is already on the way
    p.waitWake = nullptr;
    if (p.Connected())
        SetRemoteWakeFeature(p.Device(), false);
    PoStartNextPowerIrp(irp);
    p.bus->QueueCompletion(irp, status);
    return true;
}

NTSTATUS PdoDispatchPower(PdoContext &p, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool deleted;
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        deleted = p.deleted;
    }
    if (deleted)
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return WaitWake(p, irp);
    case IRP_MN_SET_POWER:
        return SetPower(p, irp);
    case IRP_MN_QUERY_POWER:
        return Complete(irp, STATUS_SUCCESS);
    default: {
        NTSTATUS status = irp->IoStatus.Status;
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

}  // namespace winsim::usb
