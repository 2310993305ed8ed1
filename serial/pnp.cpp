// Device creation and Plug and Play: the port's device object is attached
// above the USB driver's, a start opens the pipes and names the port, a stop
// undoes both, and the removal sequences wait until every request and the
// receive worker have left before the device object goes.
#include <ntddk.h>
#include <initguid.h>
#include <ntddser.h>

#include "tarvik_serial.h"

static IO_COMPLETION_ROUTINE SerialSignalCompletion;

static NTSTATUS SerialPassDownSkipping(PSERIAL_DEVICE_EXTENSION Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

static NTSTATUS SerialPassDownCopying(PSERIAL_DEVICE_EXTENSION Extension, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

static NTSTATUS NTAPI SerialSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
    // The request goes back to the routine that is waiting for it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the drivers below have finished it;
// the request is then this driver's again and still has to be completed.
static NTSTATUS SerialForwardAndWait(PSERIAL_DEVICE_EXTENSION Extension, PIRP Irp)
{
    KEVENT event;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SerialSignalCompletion, &event, TRUE, TRUE, TRUE);
    status = IoCallDriver(Extension->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

VOID SerialInitPortDefaults(PSERIAL_DEVICE_EXTENSION Extension)
{
    Extension->BaudRate = 9600;
    Extension->LineControl.StopBits = STOP_BIT_1;
    Extension->LineControl.Parity = NO_PARITY;
    Extension->LineControl.WordLength = 8;
    Extension->Timeouts.ReadIntervalTimeout = 15;
    Extension->Timeouts.ReadTotalTimeoutMultiplier = 5;
    Extension->Timeouts.ReadTotalTimeoutConstant = 10;
    Extension->Timeouts.WriteTotalTimeoutMultiplier = 20;
    Extension->Timeouts.WriteTotalTimeoutConstant = 20;
    Extension->InQueueSize = SERIAL_DEFAULT_IN_QUEUE_SIZE;
    Extension->OutQueueSize = SERIAL_DEFAULT_OUT_QUEUE_SIZE;

    KeInitializeSpinLock(&Extension->RxLock);
    KeInitializeEvent(&Extension->PendingDpcEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->ReadDelayEvent, NotificationEvent, FALSE);
    Extension->ReadRetryInterval.QuadPart = SERIAL_WORKER_RETRY_INTERVAL;
    Extension->ReadPollInterval.QuadPart = SERIAL_READ_POLL_INTERVAL;

    InitializeListHead(&Extension->MaskQueue);
    Extension->CurrentMaskIrp = NULL;
    Extension->CurrentWaitIrp = NULL;
    Extension->WaitResultLocation = NULL;
    KeInitializeDpc(&Extension->CommWaitDpc, SerialCompleteWaitDpc, Extension);
    Extension->PendingDpcCount = 1;
}

// Keeps a terminated copy of the interface's link name: it is the target of
// the DOS link and the value name in the SERIALCOMM map.
static NTSTATUS SerialCopyInterfaceName(PSERIAL_DEVICE_EXTENSION Extension, PCUNICODE_STRING LinkName)
{
    USHORT size;

    if (LinkName->Buffer == NULL)
        return STATUS_SUCCESS;

    size = LinkName->Length + sizeof(WCHAR);
    Extension->InterfaceName.Buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, size, SERIAL_POOL_TAG));
    if (Extension->InterfaceName.Buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    Extension->InterfaceName.MaximumLength = size;
    Extension->InterfaceName.Length = 0;
    RtlZeroMemory(Extension->InterfaceName.Buffer, size);
    RtlCopyUnicodeString(&Extension->InterfaceName, LinkName);
    return STATUS_SUCCESS;
}

static VOID SerialFreeDeviceBuffers(PSERIAL_DEVICE_EXTENSION Extension)
{
    if (Extension->InterfaceName.Buffer != NULL) {
        ExFreePoolWithTag(Extension->InterfaceName.Buffer, SERIAL_POOL_TAG);
        Extension->InterfaceName.Buffer = NULL;
        Extension->InterfaceName.Length = 0;
        Extension->InterfaceName.MaximumLength = 0;
    }
    if (Extension->RxBuffer != NULL) {
        ExFreePoolWithTag(Extension->RxBuffer, SERIAL_POOL_TAG);
        Extension->RxBuffer = NULL;
    }
    if (Extension->RxScratch != NULL) {
        ExFreePoolWithTag(Extension->RxScratch, SERIAL_POOL_TAG);
        Extension->RxScratch = NULL;
    }
}

NTSTATUS SerialCreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PDEVICE_OBJECT *DeviceObject)
{
    PDEVICE_OBJECT deviceObject = NULL;
    PSERIAL_DEVICE_EXTENSION extension;
    UNICODE_STRING linkName;
    NTSTATUS interfaceStatus;
    NTSTATUS status;

    *DeviceObject = NULL;
    status = IoCreateDevice(DriverObject, sizeof(SERIAL_DEVICE_EXTENSION), NULL,
                            FILE_DEVICE_SERIAL_PORT, 0, TRUE, &deviceObject);
    if (!NT_SUCCESS(status))
        return status;

    extension = SerialExtension(deviceObject);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->DeviceObject = deviceObject;
    SerialInitPortDefaults(extension);

    RtlZeroMemory(&linkName, sizeof(linkName));
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL, &linkName);
    if (!NT_SUCCESS(status))
        goto delete_device;
    status = IoSetDeviceInterfaceState(&linkName, TRUE);
    if (!NT_SUCCESS(status))
        goto free_link_name;
    interfaceStatus = status;

    extension->RxBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(SerialPoolType, SERIAL_RX_BUFFER_SIZE, SERIAL_POOL_TAG));
    if (extension->RxBuffer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto disable_interface;
    }
    extension->RxScratch =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(SerialPoolType, SERIAL_RX_BUFFER_SIZE, SERIAL_POOL_TAG));
    if (extension->RxScratch == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto free_rx_buffer;
    }
    RtlZeroMemory(extension->RxBuffer, SERIAL_RX_BUFFER_SIZE);
    RtlZeroMemory(extension->RxScratch, SERIAL_RX_BUFFER_SIZE);

    status = SerialCopyInterfaceName(extension, &linkName);
    if (!NT_SUCCESS(status))
        goto free_rx_scratch;
    RtlFreeUnicodeString(&linkName);

    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->StopEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&extension->IoCountLock);
    extension->ReadRefCount = 0;
    KeInitializeEvent(&extension->ReadIdleEvent, NotificationEvent, FALSE);

    *DeviceObject = deviceObject;
    return interfaceStatus;

free_rx_scratch:
    ExFreePoolWithTag(extension->RxScratch, SERIAL_POOL_TAG);
    extension->RxScratch = NULL;
free_rx_buffer:
    ExFreePoolWithTag(extension->RxBuffer, SERIAL_POOL_TAG);
    extension->RxBuffer = NULL;
disable_interface:
    IoSetDeviceInterfaceState(&linkName, FALSE);
free_link_name:
    RtlFreeUnicodeString(&linkName);
delete_device:
    IoDeleteDevice(deviceObject);
    return status;
}

NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT deviceObject;
    PSERIAL_DEVICE_EXTENSION extension;
    NTSTATUS status;

    status = SerialCreateDeviceObject(DriverObject, PhysicalDeviceObject, &deviceObject);
    if (!NT_SUCCESS(status))
        return status;
    extension = SerialExtension(deviceObject);

    deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        status = STATUS_NO_SUCH_DEVICE;
        goto destroy_device;
    }

    // The base references; the removal sequences drop them.
    SerialIoIncrement(deviceObject);
    SerialReadRefIncrement(deviceObject);

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;

destroy_device:
    if (extension->InterfaceName.Buffer != NULL)
        IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    SerialFreeDeviceBuffers(extension);
    IoDeleteDevice(deviceObject);
    return status;
}

NTSTATUS SerialStartDevice(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    // A pipe that does not open shows up later as failing writes or reads;
    // the port is started either way.
    SerialOpenPipes(DeviceObject);
    SerialWriteFlag(&extension->DeviceStarted, TRUE);
    return SerialDoExternalNaming(extension);
}

// Stop leaves the receive worker, the work item, the interface and the
// buffers alone, so that a handle kept open across a stop and restart keeps
// working.
NTSTATUS SerialStopDevice(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    SerialWriteFlag(&extension->DeviceStarted, FALSE);
    SerialWriteFlag(&extension->StopPending, FALSE);
    SerialUndoExternalNaming(extension);
    SerialClosePipes(DeviceObject);
    return STATUS_SUCCESS;
}

static VOID SerialFreeReadWorkItem(PSERIAL_DEVICE_EXTENSION Extension)
{
    PIO_WORKITEM workItem = SerialReadPointer(&Extension->ReadWorkItem);

    if (workItem != NULL) {
        SerialWritePointer(&Extension->ReadWorkItem, static_cast<PIO_WORKITEM>(NULL));
        IoFreeWorkItem(workItem);
    }
}

// Final teardown, the last step of every removal. Nothing of this driver may
// run on the device afterwards: the caller has waited for the requests, the
// receive worker and the reads, and this routine waits for CommWaitDpc.
VOID SerialRemoveDevice(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    if (extension->InterfaceName.Buffer != NULL)
        IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    IoDetachDevice(extension->LowerDeviceObject);

    SerialClearBits(&extension->PendingErrors, SERIAL_ERROR_QUEUEOVERRUN);
    SerialDiscardReceivedData(extension);
    SerialDiscardEventHistory(extension);
    SerialWaitForCommWaitDpcs(extension);

    SerialFreeDeviceBuffers(extension);
    IoDeleteDevice(DeviceObject);
}

static NTSTATUS SerialPnpStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    NTSTATUS status;

    // The drivers below start first; the pipes exist only after that.
    status = SerialForwardAndWait(extension, Irp);
    if (NT_SUCCESS(status))
        status = SerialStartDevice(DeviceObject);

    // The work item that runs the receive worker lives from the first start
    // until removal. It is there before the start completes, so an open that
    // follows the start at once finds it.
    if (SerialReadPointer(&extension->ReadWorkItem) == NULL)
        SerialWritePointer(&extension->ReadWorkItem, IoAllocateWorkItem(DeviceObject));

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS SerialPnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    if (SerialReadFlag(&extension->DeviceIsOpen))
        return SerialCompleteRequest(Irp, STATUS_DEVICE_BUSY, 0);
    if (!SerialReadFlag(&extension->DeviceStarted))
        return SerialPassDownSkipping(extension, Irp);

    SerialWriteFlag(&extension->RemovePending, TRUE);

    // Let the requests already inside the driver finish; this one's own
    // reference is dropped while waiting so that it does not wait on itself.
    SerialIoDecrement(DeviceObject);
    KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, NULL);
    SerialIoIncrement(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    return SerialPassDownCopying(extension, Irp);
}

// Removal after a query-remove, or after a surprise removal whose handle has
// been closed since.
static NTSTATUS SerialPnpRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    NTSTATUS status;

    SerialStopReceiveWorker(extension, FALSE);
    SerialCancelMaskIrps(DeviceObject);
    SerialIoDecrement(DeviceObject);

    SerialWriteFlag(&extension->DeviceRemoved, TRUE);
    if (SerialReadFlag(&extension->DeviceStarted))
        SerialStopDevice(DeviceObject);

    // The receive worker and the reads end before the USB driver is removed:
    // a bulk read the worker sends after that would reach a deleted device.
    SerialReadRefDecrement(DeviceObject);
    KeWaitForSingleObject(&extension->ReadIdleEvent, Suspended, KernelMode, FALSE, NULL);

    status = SerialPassDownCopying(extension, Irp);

    SerialIoDecrement(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);

    SerialFreeReadWorkItem(extension);
    SerialRemoveDevice(DeviceObject);
    return status;
}

static NTSTATUS SerialPnpSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    SerialStopReceiveWorker(extension, FALSE);
    SerialIoDecrement(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;

    // Without an open handle the name, the pipes and the device object stay
    // until the remove request that follows.
    if (!SerialReadFlag(&extension->DeviceIsOpen))
        return SerialPassDownCopying(extension, Irp);

    // With a handle open the remove request would come only after the
    // application closes it, so the device is torn down now.
    SerialWriteFlag(&extension->DeviceRemoved, TRUE);
    if (SerialReadFlag(&extension->DeviceStarted))
        SerialStopDevice(DeviceObject);
    SerialIoDecrement(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    SerialIoIncrement(DeviceObject);

    // The receive worker and the reads end before the USB driver below is
    // torn down with it: nothing may reach it afterwards.
    SerialReadRefDecrement(DeviceObject);
    KeWaitForSingleObject(&extension->ReadIdleEvent, Executive, KernelMode, FALSE, NULL);

    stack->MinorFunction = IRP_MN_REMOVE_DEVICE;
    status = SerialPassDownCopying(extension, Irp);

    SerialFreeReadWorkItem(extension);
    SerialRemoveDevice(DeviceObject);
    return status;
}

// The port can be unplugged at any time; the drivers below may fill in the
// capabilities, so the flag is set again once they have.
static NTSTATUS SerialPnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status;

    capabilities->SurpriseRemovalOK = TRUE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = SerialForwardAndWait(extension, Irp);
    if (NT_SUCCESS(status))
        capabilities->SurpriseRemovalOK = TRUE;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Query, cancel and stop requests of a started device record the state and
// go down with success; those of a device that is not started go down as
// they came.
static NTSTATUS SerialPnpSetPendingFlag(PSERIAL_DEVICE_EXTENSION Extension, PIRP Irp, BOOLEAN *Flag,
                                       BOOLEAN Value)
{
    if (!SerialReadFlag(&Extension->DeviceStarted))
        return SerialPassDownSkipping(Extension, Irp);
    SerialWriteFlag(Flag, Value);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return SerialPassDownCopying(Extension, Irp);
}

NTSTATUS NTAPI SerialDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    NTSTATUS status;

    SerialIoIncrement(DeviceObject);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = SerialPnpStart(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = SerialPnpQueryRemove(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // Drops its own reference; the device object is gone on return.
        return SerialPnpRemove(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = SerialPnpSetPendingFlag(extension, Irp, &extension->RemovePending, FALSE);
        break;
    case IRP_MN_STOP_DEVICE:
        SerialStopDevice(DeviceObject);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = SerialPassDownCopying(extension, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        // An open handle does not refuse a stop: it survives the restart.
        status = SerialPnpSetPendingFlag(extension, Irp, &extension->StopPending, TRUE);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = SerialPnpSetPendingFlag(extension, Irp, &extension->StopPending, FALSE);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = SerialPnpQueryCapabilities(DeviceObject, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        // Drops its own reference; with a handle open the device object is
        // gone on return.
        return SerialPnpSurpriseRemoval(DeviceObject, Irp);
    default:
        status = SerialPassDownCopying(extension, Irp);
        break;
    }

    SerialIoDecrement(DeviceObject);
    return status;
}
