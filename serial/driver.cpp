// Driver entry, the dispatch table, the requests this driver passes down
// untouched, and the two reference counts that let removal wait until
// everything inside the driver has left.
#include "tarvik_serial.h"

POOL_TYPE SerialPoolType = NonPagedPool;

// Windows 8 (6.2) introduced non-executable non-paged pool; older systems
// reject the pool type, so it is chosen by the running version.
static POOL_TYPE SerialChooseDataPoolType(VOID)
{
    RTL_OSVERSIONINFOW version;

    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!NT_SUCCESS(RtlGetVersion(&version)))
        return NonPagedPool;
    if (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))
        return NonPagedPoolNx;
    return NonPagedPool;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    SerialPoolType = SerialChooseDataPoolType();

    // Whatever this driver does not handle itself reaches the USB driver as it came.
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++)
        DriverObject->MajorFunction[major] = SerialDispatchPassThrough;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = SerialQueryInformation;
    DriverObject->MajorFunction[IRP_MJ_READ] = SerialRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = SerialWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = SerialDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = SerialDispatchPnp;
    DriverObject->DriverUnload = SerialUnload;
    DriverObject->DriverExtension->AddDevice = SerialAddDevice;

    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDeviceObject, Irp);
}

// The port keeps no power state of its own: the USB driver below owns the
// device's power, so power requests go straight down.
NTSTATUS NTAPI SerialDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->LowerDeviceObject, Irp);
}

// Every device has been torn down by its removal before the driver unloads.
VOID NTAPI SerialUnload(PDRIVER_OBJECT DriverObject)
{
}

VOID SerialIoIncrement(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->IoCountLock, &oldIrql);
    if (InterlockedIncrement(&extension->OutstandingIo) == 2)
        KeClearEvent(&extension->StopEvent);
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
}

LONG SerialIoDecrement(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    KIRQL oldIrql;
    LONG count;

    KeAcquireSpinLock(&extension->IoCountLock, &oldIrql);
    count = InterlockedDecrement(&extension->OutstandingIo);
    if (count == 1)
        KeSetEvent(&extension->StopEvent, 1, FALSE);
    if (count == 0)
        KeSetEvent(&extension->RemoveEvent, 1, FALSE);
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
    return count;
}

// Only the fall to 0 has an effect, so the read count needs no lock.
VOID SerialReadRefIncrement(PDEVICE_OBJECT DeviceObject)
{
    InterlockedIncrement(&SerialExtension(DeviceObject)->ReadRefCount);
}

LONG SerialReadRefDecrement(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    LONG count = InterlockedDecrement(&extension->ReadRefCount);

    if (count == 0)
        KeSetEvent(&extension->ReadIdleEvent, 1, FALSE);
    return count;
}

NTSTATUS SerialCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// A timed wait on an event that nothing signals: the driver's way to pause a
// passive-level thread for RelativeInterval (negative, 100-ns units).
VOID SerialPause(LONGLONG RelativeInterval)
{
    KEVENT neverSignalled;
    LARGE_INTEGER timeout;

    KeInitializeEvent(&neverSignalled, NotificationEvent, FALSE);
    timeout.QuadPart = RelativeInterval;
    KeWaitForSingleObject(&neverSignalled, Executive, KernelMode, FALSE, &timeout);
}
