// Plug and Play requests: start and stop run the configuration's start-up
// and tear-down, query-remove and removal wait for the requests in flight,
// and the capability query sets the device's idle power state.
#include "tarvik_usb.h"

// Sends the request down unchanged, without a completion routine.
static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(DeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// Sends the request down and waits until the lower drivers have completed
// it; the request then belongs to this driver again, to finish and complete.
static NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT done;

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(DeviceExtension(DeviceObject)->LowerDeviceObject, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

// The device state to idle in: the last of the sleep states S1 to S3 whose
// device state is shallower than D3 decides.
DEVICE_POWER_STATE IdleStateFromCapabilities(const DEVICE_CAPABILITIES *Capabilities)
{
    static const SYSTEM_POWER_STATE sleepStates[] = {PowerSystemSleeping1, PowerSystemSleeping2,
                                                     PowerSystemSleeping3};
    DEVICE_POWER_STATE idle = PowerDeviceUnspecified;

    for (ULONG i = 0; i < sizeof(sleepStates) / sizeof(sleepStates[0]); i++) {
        DEVICE_POWER_STATE state = Capabilities->DeviceState[sleepStates[i]];
        if (state < PowerDeviceD3)
            idle = state;
    }
    return idle;
}

// The driver's own capability query, sent by add-device to the device below.
NTSTATUS QueryLowerCapabilities(PDEVICE_OBJECT LowerDeviceObject, PDEVICE_CAPABILITIES Capabilities)
{
    PIO_STACK_LOCATION next;
    KEVENT done;
    PIRP irp;
    NTSTATUS status;

    irp = IoAllocateIrp(LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = 0xFFFFFFFF;
    Capabilities->UINumber = 0xFFFFFFFF;

    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;   // as every Plug and Play request starts

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(LowerDeviceObject, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);

    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// The lower drivers start the device first; then the driver reads and
// selects its configuration. A start while already started keeps the
// configuration in place: file objects point into its pipe table.
static NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status) && !ReadShared(&DeviceExtension(DeviceObject)->DeviceStarted)) {
        status = StartUsbDevice(DeviceObject);
        Irp->IoStatus.Status = status;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Waits, without its own reference, until no other request is inside the
// driver: the removal that may follow must not find any.
static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);

    if (!ReadShared(&extension->DeviceStarted))
        return PassDown(DeviceObject, Irp);

    WriteShared(&extension->RemovePending, TRUE);
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, NULL);
    IncrementIoCount(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(DeviceObject, Irp);
}

// Sets or clears one of the query flags of a started device and passes the
// request down; a device that is not started passes it down untouched.
static NTSTATUS SetQueryFlag(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN *Flag, BOOLEAN Value)
{
    if (ReadShared(&DeviceExtension(DeviceObject)->DeviceStarted)) {
        WriteShared(Flag, Value);
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDown(DeviceObject, Irp);
}

static NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = StopUsbDevice(DeviceObject);
    return PassDown(DeviceObject, Irp);
}

// Runs with the dispatch's reference already dropped. The device object is
// deleted at the end, after every request still inside (transfers in flight
// included) has left.
static NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    UNICODE_STRING interfaceName;
    NTSTATUS status;

    WriteShared(&extension->DeviceRemoved, TRUE);
    if (ReadShared(&extension->DeviceStarted))
        StopUsbDevice(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = PassDown(DeviceObject, Irp);

    // Drop the base reference taken by add-device and wait for the rest.
    DecrementIoCount(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    RtlInitUnicodeString(&interfaceName, extension->InterfaceName);
    IoSetDeviceInterfaceState(&interfaceName, FALSE);
    IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return status;
}

// The device may be unplugged without warning. Open pipes and transfers in
// flight are left to the removal that follows.
static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    WriteShared(&SurpriseRemovalSeen, TRUE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(DeviceObject, Irp);
}

// Lets the lower drivers fill in the capabilities, keeps a copy and derives
// the idle power state from it: D2 when no sleep state offers a usable one.
static NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    DEVICE_POWER_STATE idle = PowerDeviceUnspecified;
    NTSTATUS status;

    capabilities->SurpriseRemovalOK = TRUE;
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&extension->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
        idle = IdleStateFromCapabilities(capabilities);
        capabilities->SurpriseRemovalOK = TRUE;
    }
    if (idle == PowerDeviceUnspecified || idle == PowerDeviceD0)
        idle = PowerDeviceD2;
    WriteShared(&extension->IdlePowerState, idle);

    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    NTSTATUS status;

    IncrementIoCount(DeviceObject);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = HandleStartDevice(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = HandleQueryRemove(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        DecrementIoCount(DeviceObject);
        return HandleRemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = SetQueryFlag(DeviceObject, Irp, &extension->RemovePending, FALSE);
        break;
    case IRP_MN_STOP_DEVICE:
        status = HandleStopDevice(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        // Requests in flight are not waited for; new ones are refused.
        status = SetQueryFlag(DeviceObject, Irp, &extension->StopPending, TRUE);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = SetQueryFlag(DeviceObject, Irp, &extension->StopPending, FALSE);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = HandleQueryCapabilities(DeviceObject, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        DecrementIoCount(DeviceObject);
        return HandleSurpriseRemoval(DeviceObject, Irp);
    default:
        status = PassDown(DeviceObject, Irp);
        break;
    }

    DecrementIoCount(DeviceObject);
    return status;
}
