// broken: a test function driver that, on request, breaks one rule of the
// kernel interface. Each control code of broken_ioctl.h is one fault a real
// driver could have; the verifier must stop the machine on every one.
#include <ntddk.h>

#include "broken_ioctl.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

const ULONG kTag = 0x6B6F7242;  // 'Brok'

struct BROKEN_EXTENSION {
    PDEVICE_OBJECT LowerDeviceObject;
    BOOLEAN DeleteWithoutDetach;
    BOOLEAN FailRemove;
    BOOLEAN FailSetPower;
    PIRP HeldIrp;
    PVOID Leaked;
};

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

VOID NTAPI IgnoreCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) { IoReleaseCancelSpinLock(Irp->CancelIrql); }

VOID NTAPI SlowWork(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 1000 * 200;  // 200 ms: long enough to still be queued behind
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

VOID NTAPI SpinningDpc(PKDPC Dpc, PVOID Context, PVOID A1, PVOID A2)
{
    ULONGLONG until = KeQueryInterruptTime() + 10 * 1000 * 200;
    while (KeQueryInterruptTime() < until)
        ;
}

VOID NTAPI EmptyDpc(PKDPC Dpc, PVOID Context, PVOID A1, PVOID A2) {}

NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BreakRule(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code, ULONG OutputLength)
{
    BROKEN_EXTENSION *ext = static_cast<BROKEN_EXTENSION *>(DeviceObject->DeviceExtension);
    switch (Code) {
    case IOCTL_BROKEN_COMPLETE_TWICE:
        Complete(Irp, STATUS_SUCCESS, 0);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BROKEN_COMPLETE_WITH_CANCEL:
        IoSetCancelRoutine(Irp, IgnoreCancel);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BROKEN_PENDING_NOT_MARKED:
        ext->HeldIrp = Irp;
        return STATUS_PENDING;
    case IOCTL_BROKEN_MARKED_NOT_PENDING:
        IoMarkIrpPending(Irp);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BROKEN_INFORMATION_TOO_LARGE:
        return Complete(Irp, STATUS_SUCCESS, OutputLength + 16);
    case IOCTL_BROKEN_CANCEL_AFTER_COMPLETE: {
        // A request to the device below, waited for with a time-out, then
        // cancelled: by then the I/O manager has completed and freed it.
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP lower = IoBuildDeviceIoControlRequest(0x12345, ext->LowerDeviceObject, NULL, 0, NULL, 0, FALSE, &event,
                                                   &iosb);
        IoCallDriver(ext->LowerDeviceObject, lower);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10 * 1000 * 10;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        IoCancelIrp(lower);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_OUT_OF_STACK: {
        // An IRP with one location sent to this device, which passes it on.
        PIRP own = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        IoSetCompletionRoutine(own, FreeOwnIrp, NULL, TRUE, TRUE, TRUE);
        IoCallDriver(DeviceObject, own);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_WAIT_AT_DISPATCH: {
        KSPIN_LOCK lock;
        KIRQL irql;
        KEVENT event;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000;
        KeInitializeSpinLock(&lock);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeAcquireSpinLock(&lock, &irql);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        KeReleaseSpinLock(&lock, irql);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_PAGED_AT_DISPATCH: {
        KSPIN_LOCK lock;
        KIRQL irql;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLock(&lock, &irql);
        PVOID p = ExAllocatePoolWithTag(PagedPool, 32, kTag);
        KeReleaseSpinLock(&lock, irql);
        ExFreePoolWithTag(p, kTag);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_WRONG_TAG: {
        PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
        ExFreePoolWithTag(p, 0x656E6F4E);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_DOUBLE_FREE: {
        PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
        ExFreePoolWithTag(p, kTag);
        ExFreePoolWithTag(p, kTag);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_OVERRUN: {
        PUCHAR p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag));
        RtlFillMemory(p, 17, 0x41);
        ExFreePoolWithTag(p, kTag);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_LEAK:
        ext->Leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BROKEN_SPIN_LOCK_HELD: {
        static KSPIN_LOCK lock;
        KIRQL irql;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLock(&lock, &irql);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_FREE_QUEUED_WORK_ITEM: {
        PIO_WORKITEM blocker = IoAllocateWorkItem(DeviceObject);
        PIO_WORKITEM item = IoAllocateWorkItem(DeviceObject);
        IoQueueWorkItem(blocker, SlowWork, DelayedWorkQueue, NULL);
        IoQueueWorkItem(item, SlowWork, DelayedWorkQueue, NULL);
        IoFreeWorkItem(item);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_FREE_QUEUED_DPC: {
        KDPC *blocker = static_cast<KDPC *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), kTag));
        KDPC *dpc = static_cast<KDPC *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), kTag));
        KeInitializeDpc(blocker, SpinningDpc, NULL);
        KeInitializeDpc(dpc, EmptyDpc, NULL);
        KeInsertQueueDpc(blocker, NULL, NULL);
        KeInsertQueueDpc(dpc, NULL, NULL);
        ExFreePoolWithTag(dpc, kTag);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BROKEN_DELETE_ATTACHED:
        ext->DeleteWithoutDetach = TRUE;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BROKEN_FAIL_REMOVE:
        ext->FailRemove = TRUE;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BROKEN_FAIL_SET_POWER:
        ext->FailSetPower = TRUE;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BROKEN_HOLD_IRP:
        IoMarkIrpPending(Irp);
        ext->HeldIrp = Irp;
        return STATUS_PENDING;
    case IOCTL_BROKEN_COMPLETE_PENDING:
        return Complete(Irp, STATUS_PENDING, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS NTAPI BrokenDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BROKEN_EXTENSION *ext = static_cast<BROKEN_EXTENSION *>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        return BreakRule(DeviceObject, Irp, stack->Parameters.DeviceIoControl.IoControlCode,
                         stack->Parameters.DeviceIoControl.OutputBufferLength);
    case IRP_MJ_POWER:
        if (ext->FailSetPower && stack->MinorFunction == IRP_MN_SET_POWER)
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(ext->LowerDeviceObject, Irp);
    case IRP_MJ_PNP: {
        UCHAR minor = stack->MinorFunction;
        if (minor == IRP_MN_REMOVE_DEVICE && ext->FailRemove)
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_START_DEVICE)
            Irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->LowerDeviceObject;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(lower, Irp);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            if (!ext->DeleteWithoutDetach)
                IoDetachDevice(lower);
            IoDeleteDevice(DeviceObject);
        }
        return status;
    }
    case IRP_MJ_FLUSH_BUFFERS:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        return IoCallDriver(ext->LowerDeviceObject, Irp);
    default:
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
}

NTSTATUS NTAPI BrokenAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(BROKEN_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    BROKEN_EXTENSION *ext = static_cast<BROKEN_EXTENSION *>(fdo->DeviceExtension);
    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI BrokenUnload(PDRIVER_OBJECT DriverObject) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = BrokenDispatch;
    DriverObject->DriverExtension->AddDevice = BrokenAddDevice;
    DriverObject->DriverUnload = BrokenUnload;
    return STATUS_SUCCESS;
}
