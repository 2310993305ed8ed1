// allocs: a test function driver whose one control request allocates at four
// sites (two pool blocks, an IRP, a work item), fails cleanly with
// STATUS_INSUFFICIENT_RESOURCES when any of them fails, and frees everything.
// The low-resource simulation must find exactly these four sites.
#include <ntddk.h>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

const ULONG kTag = 0x636F6C41;  // 'Aloc'

struct ALLOCS_EXTENSION {
    PDEVICE_OBJECT LowerDeviceObject;
};

NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS AllocateEverything(PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PVOID header = NULL, body = NULL;
    PIRP irp = NULL;
    PIO_WORKITEM item = NULL;

    header = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    if (header == NULL)
        goto done;
    body = ExAllocatePoolWithTag(PagedPool, 256, kTag);
    if (body == NULL)
        goto free_header;
    irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL)
        goto free_body;
    item = IoAllocateWorkItem(DeviceObject);
    if (item == NULL)
        goto free_irp;
    status = STATUS_SUCCESS;
    IoFreeWorkItem(item);
free_irp:
    IoFreeIrp(irp);
free_body:
    ExFreePoolWithTag(body, kTag);
free_header:
    ExFreePoolWithTag(header, kTag);
done:
    return status;
}

NTSTATUS NTAPI AllocsDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ALLOCS_EXTENSION *ext = static_cast<ALLOCS_EXTENSION *>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        return Complete(Irp, AllocateEverything(DeviceObject));
    case IRP_MJ_PNP: {
        UCHAR minor = stack->MinorFunction;
        if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE)
            Irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->LowerDeviceObject;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(lower, Irp);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            IoDetachDevice(lower);
            IoDeleteDevice(DeviceObject);
        }
        return status;
    }
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(ext->LowerDeviceObject, Irp);
    default:
        return Complete(Irp, STATUS_SUCCESS);
    }
}

NTSTATUS NTAPI AllocsAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ALLOCS_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    ALLOCS_EXTENSION *ext = static_cast<ALLOCS_EXTENSION *>(fdo->DeviceExtension);
    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (ext->LowerDeviceObject == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI AllocsUnload(PDRIVER_OBJECT DriverObject) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = AllocsDispatch;
    DriverObject->DriverExtension->AddDevice = AllocsAddDevice;
    DriverObject->DriverUnload = AllocsUnload;
    return STATUS_SUCCESS;
}
