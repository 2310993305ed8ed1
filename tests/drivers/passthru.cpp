// passthru: a test filter driver that passes every request to the device below
// unchanged. Stacks of it stand between an application and a test driver.
#include <ntddk.h>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

struct FILTER_EXTENSION {
    PDEVICE_OBJECT LowerDeviceObject;
};

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FILTER_EXTENSION *ext = static_cast<FILTER_EXTENSION *>(DeviceObject->DeviceExtension);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(ext->LowerDeviceObject, Irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    bool removing = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    PDEVICE_OBJECT lower = ext->LowerDeviceObject;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (removing) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT filter;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FILTER_EXTENSION), NULL,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
    if (!NT_SUCCESS(status))
        return status;
    FILTER_EXTENSION *ext = static_cast<FILTER_EXTENSION *>(filter->DeviceExtension);
    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(filter, PhysicalDeviceObject);
    if (ext->LowerDeviceObject == NULL) {
        IoDeleteDevice(filter);
        return STATUS_NO_SUCH_DEVICE;
    }
    filter->Flags |= ext->LowerDeviceObject->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI FilterUnload(PDRIVER_OBJECT DriverObject)
{
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = FilterDispatch;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}
