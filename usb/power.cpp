// Power requests and idle power management.
//
// The device follows the system's power state, and while nothing is open
// it is kept in its idle power state: the last close sends it there and the
// next open brings it back to D0 (SetIdlePower). The device power requests
// the driver asks for travel down the whole stack and come through this
// driver's own device set-power handling, which records the state.
#include "tarvik_usb.h"

static IO_COMPLETION_ROUTINE PowerUpComplete;
static REQUEST_POWER_COMPLETE SystemPowerComplete;
static REQUEST_POWER_COMPLETE IdlePowerComplete;

// Passes a power request down unchanged, without a completion routine.
static NTSTATUS PassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(DeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// Wait-wake: the request is held below until the device signals wake or the
// request is cancelled, and this dispatch waits for it all that time.
static NTSTATUS HandleWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    DEVICE_POWER_STATE deviceWake = extension->DeviceCapabilities.DeviceWake;
    DEVICE_POWER_STATE current = ReadShared(&extension->DevicePowerState);
    KEVENT done;
    NTSTATUS status;

    // Taken from every wait-wake request, also one refused below.
    WriteShared(&extension->IdlePowerState, deviceWake);

    // The device cannot wake the system from a state shallower than its wake state.
    if (current == PowerDeviceD0 || current < deviceWake) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_STATE;
    }

    WriteShared(&extension->WaitWakeArmed, TRUE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    if (PoCallDriver(extension->LowerDeviceObject, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;

    // Awake again: bring the device back to D0 if anything is open.
    SetIdlePower(DeviceObject, FALSE);
    WriteShared(&extension->WaitWakeArmed, FALSE);

    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// The device state that goes with a system state: D0 for S0; for a sleep
// state D3, or what the capabilities give for it while a wake is armed.
static DEVICE_POWER_STATE DeviceStateForSystemState(PUSB_DEVICE_EXTENSION Extension, SYSTEM_POWER_STATE State)
{
    if (State == PowerSystemWorking)
        return PowerDeviceD0;
    if (ReadShared(&Extension->WaitWakeArmed) && State > PowerSystemUnspecified && State < PowerSystemMaximum)
        return Extension->DeviceCapabilities.DeviceState[State];
    return PowerDeviceD3;
}

// A system set-power request that changes the device's state waits until
// the device request it causes has completed, and only then goes down. It
// keeps the dispatch's reference until then.
static NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    SYSTEM_POWER_STATE systemState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    POWER_STATE deviceState;
    NTSTATUS status;

    deviceState.DeviceState = DeviceStateForSystemState(extension, systemState);
    if (deviceState.DeviceState == ReadShared(&extension->DevicePowerState)) {
        status = PassPowerDown(DeviceObject, Irp);
        DecrementIoCount(DeviceObject);
        return status;
    }

    WriteShared(&extension->PendingSystemPowerIrp, Irp);
    IoMarkIrpPending(Irp);
    status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, deviceState,
                               SystemPowerComplete, DeviceObject, NULL);
    if (status != STATUS_PENDING) {
        // The device request could not be issued: the system request goes
        // on down all the same.
        WriteShared(&extension->PendingSystemPowerIrp, NULL);
        PassPowerDown(DeviceObject, Irp);
        DecrementIoCount(DeviceObject);
    }
    return STATUS_PENDING;
}

// Called when the device request issued for a system request has completed.
static VOID NTAPI SystemPowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(Context);
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(deviceObject);
    PIRP systemIrp = ReadShared(&extension->PendingSystemPowerIrp);

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);

    WriteShared(&extension->PendingSystemPowerIrp, NULL);
    PassPowerDown(deviceObject, systemIrp);
    DecrementIoCount(deviceObject);
}

// D0 is recorded once the lower drivers have completed it; D1 to D3 as the
// request goes down, before the device leaves D0.
static NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    NTSTATUS status;

    if (state == PowerDeviceD0) {
        // The dispatch's reference is dropped by PowerUpComplete.
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, PowerUpComplete, NULL, TRUE, TRUE, TRUE);
        return PoCallDriver(extension->LowerDeviceObject, Irp);
    }

    if (state >= PowerDeviceD1 && state <= PowerDeviceD3)
        WriteShared(&extension->DevicePowerState, state);
    status = PassPowerDown(DeviceObject, Irp);
    DecrementIoCount(DeviceObject);
    return status;
}

// A device that failed to power up is not recorded as in D0, and the
// failure goes on upward.
static NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);

    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status))
        WriteShared(&DeviceExtension(DeviceObject)->DevicePowerState, PowerDeviceD0);
    PoStartNextPowerIrp(Irp);
    DecrementIoCount(DeviceObject);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    IncrementIoCount(DeviceObject);

    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        status = HandleWaitWake(DeviceObject, Irp);
        break;
    case IRP_MN_SET_POWER:
        // Both handlers release the dispatch's reference themselves.
        if (stack->Parameters.Power.Type == SystemPowerState)
            return HandleSystemSetPower(DeviceObject, Irp);
        return HandleDeviceSetPower(DeviceObject, Irp);
    default:
        status = PassPowerDown(DeviceObject, Irp);
        break;
    }

    DecrementIoCount(DeviceObject);
    return status;
}

// Moves the device between D0 and its idle state as opens and closes come
// and go: power-down (close) when nothing is open any more, power-up
// (create, wake) when something is. Nothing is done while a system power
// change or another idle request is under way, or when the device has no
// usable idle state.
NTSTATUS SetIdlePower(PDEVICE_OBJECT DeviceObject, BOOLEAN PowerDown)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    DEVICE_POWER_STATE idle;
    NTSTATUS status;

    if (!IsDeviceUsable(DeviceObject))
        return STATUS_DELETE_PENDING;
    if (ReadShared(&extension->PendingSystemPowerIrp) != NULL || ReadShared(&extension->PowerRequestPending))
        return STATUS_SUCCESS;
    if (PowerDown == (ReadShared(&extension->OpenPipeCount) != 0 || ReadShared(&extension->DeviceOpenCount) != 0))
        return STATUS_SUCCESS;
    idle = ReadShared(&extension->IdlePowerState);
    if (idle < PowerDeviceD1 || idle > PowerDeviceD3)
        return STATUS_SUCCESS;

    KeWaitForSingleObject(IdlePowerMutex, Executive, KernelMode, FALSE, NULL);

    // An open or close may have come in while this one waited for the
    // mutex: decide on the counts as they are now.
    if (PowerDown == (ReadShared(&extension->OpenPipeCount) != 0 || ReadShared(&extension->DeviceOpenCount) != 0))
        status = STATUS_SUCCESS;
    else
        status = RequestDevicePower(DeviceObject, PowerDown ? idle : PowerDeviceD0);

    KeReleaseMutex(IdlePowerMutex, FALSE);
    return status;
}

// Asks the power manager for a device set-power request for the device's
// stack. A power-up is waited for, so that the open that caused it finds
// the device in D0; a power-down is not. Called with IdlePowerMutex held,
// which the set-power handling this request runs through never takes.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    BOOLEAN powerUp = (State == PowerDeviceD0);
    POWER_STATE powerState;
    NTSTATUS status;

    if (State == ReadShared(&extension->DevicePowerState))
        return STATUS_SUCCESS;

    // The reference is dropped by IdlePowerComplete.
    IncrementIoCount(DeviceObject);
    WriteShared(&extension->PowerRequestPending, TRUE);
    if (powerUp)
        KeClearEvent(&extension->PowerUpEvent);

    powerState.DeviceState = State;
    status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, powerState, IdlePowerComplete,
                               DeviceObject, NULL);
    if (status != STATUS_PENDING) {
        WriteShared(&extension->PowerRequestPending, FALSE);
        DecrementIoCount(DeviceObject);
        return status;
    }

    if (powerUp)
        KeWaitForSingleObject(&extension->PowerUpEvent, Executive, KernelMode, FALSE, NULL);
    WriteShared(&extension->PowerRequestPending, FALSE);
    return STATUS_SUCCESS;
}

// Called when an idle device power request has completed.
static VOID NTAPI IdlePowerComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(Context);

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(IoStatus);

    if (PowerState.DeviceState == PowerDeviceD0)
        KeSetEvent(&DeviceExtension(deviceObject)->PowerUpEvent, IO_NO_INCREMENT, FALSE);
    DecrementIoCount(deviceObject);
}
