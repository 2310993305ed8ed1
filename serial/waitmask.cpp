// Wait-on-mask: the event recorder, the queue through which SET_WAIT_MASK
// and WAIT_ON_MASK requests are handled one at a time in arrival order, the
// one armed WAIT_ON_MASK request and its completion through CommWaitDpc, and
// the cancellation of all of them.
//
// One lock serialises it all: the system cancel spin lock guards WaitMask
// (writes), EventHistory, WaitResultLocation, MaskQueue, CurrentMaskIrp,
// CurrentWaitIrp, the cancel routines of the mask requests and the reference
// bits of the armed wait. Recording, arming, reclaiming and flushing are
// therefore atomic with respect to each other, an armed wait receives
// exactly one delivery, and CommWaitDpc always finds the wait it was queued
// for. No other lock of the driver is held while it is taken, and requests
// are completed, and OutstandingIo released, only after it is dropped.
#include "tarvik_serial.h"

static ULONG SerialWaitReferences(PIRP Irp)
{
    return static_cast<ULONG>(
        reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4));
}

static VOID SerialSetWaitReferences(PIRP Irp, ULONG References)
{
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(References));
}

static ULONG SerialMaskIrpCode(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
}

// ---------------------------------------------------------------------------
// Recording and delivery

static VOID SerialReleaseDpcReference(PSERIAL_DEVICE_EXTENSION Extension)
{
    if (InterlockedDecrement(&Extension->PendingDpcCount) == 0)
        KeSetEvent(&Extension->PendingDpcEvent, IO_NO_INCREMENT, FALSE);
}

BOOLEAN SerialQueueCommWaitDpc(PSERIAL_DEVICE_EXTENSION Extension)
{
    InterlockedIncrement(&Extension->PendingDpcCount);
    if (KeInsertQueueDpc(&Extension->CommWaitDpc, NULL, NULL))
        return TRUE;
    // Already queued: that run serves this delivery too.
    SerialReleaseDpcReference(Extension);
    return FALSE;
}

// Writes the event word into the armed wait; CommWaitDpc completes it.
// Cancel spin lock held, a wait armed and waiting.
static VOID SerialDeliverToArmedWait(PSERIAL_DEVICE_EXTENSION Extension, ULONG EventWord)
{
    *Extension->WaitResultLocation = EventWord;
    Extension->WaitResultLocation = NULL;
    Extension->CurrentWaitIrp->IoStatus.Information = sizeof(ULONG);
    SerialQueueCommWaitDpc(Extension);
}

// Releases a waiting armed wait with the event word 0. Cancel spin lock held.
static VOID SerialFlushArmedWaitLocked(PSERIAL_DEVICE_EXTENSION Extension)
{
    if (Extension->WaitResultLocation != NULL)
        SerialDeliverToArmedWait(Extension, 0);
}

VOID SerialReportCommEvents(PSERIAL_DEVICE_EXTENSION Extension, ULONG Events)
{
    KIRQL cancelIrql;
    ULONG waitMask;

    // Nothing is recorded while no events are asked for; this spares the
    // write path and the receive worker the lock.
    if (SerialReadUlong(&Extension->WaitMask) == 0)
        return;

    IoAcquireCancelSpinLock(&cancelIrql);
    waitMask = SerialReadUlong(&Extension->WaitMask);
    if (waitMask != 0) {
        Extension->EventHistory |= Events & waitMask;
        if (Extension->WaitResultLocation != NULL && Extension->EventHistory != 0) {
            SerialDeliverToArmedWait(Extension, Extension->EventHistory);
            Extension->EventHistory = 0;
        }
    }
    IoReleaseCancelSpinLock(cancelIrql);
}

VOID SerialFlushArmedWait(PSERIAL_DEVICE_EXTENSION Extension)
{
    KIRQL cancelIrql;

    IoAcquireCancelSpinLock(&cancelIrql);
    SerialFlushArmedWaitLocked(Extension);
    IoReleaseCancelSpinLock(cancelIrql);
}

// Forgets the events seen so far and, while events are asked for, releases
// the armed wait with the event word 0: cleanup, the end of the receive
// worker and the final teardown.
VOID SerialDiscardEventHistory(PSERIAL_DEVICE_EXTENSION Extension)
{
    KIRQL cancelIrql;

    IoAcquireCancelSpinLock(&cancelIrql);
    Extension->EventHistory = 0;
    if (SerialReadUlong(&Extension->WaitMask) != 0)
        SerialFlushArmedWaitLocked(Extension);
    IoReleaseCancelSpinLock(cancelIrql);
}

// ---------------------------------------------------------------------------
// The mask queue

NTSTATUS SerialQueueMaskIrp(PSERIAL_DEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL cancelIrql;

    IoAcquireCancelSpinLock(&cancelIrql);

    if (IsListEmpty(&Extension->MaskQueue) && Extension->CurrentMaskIrp == NULL) {
        Extension->CurrentMaskIrp = Irp;
        IoReleaseCancelSpinLock(cancelIrql);
        return SerialProcessMaskIrps(Extension);
    }

    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(cancelIrql);
        SerialCompleteRequest(Irp, STATUS_CANCELLED, 0);
        SerialIoDecrement(Extension->DeviceObject);
        return STATUS_CANCELLED;
    }

    // Another thread is handling the queue; it takes this request in turn.
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    InsertTailList(&Extension->MaskQueue, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, SerialCancelQueuedMaskIrp);
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

PIRP SerialNextMaskIrp(PSERIAL_DEVICE_EXTENSION Extension, BOOLEAN CompleteCurrent, const KIRQL *HeldCancelIrql)
{
    PIRP oldIrp;
    PIRP newIrp = NULL;
    KIRQL cancelIrql;

    if (HeldCancelIrql != NULL)
        cancelIrql = *HeldCancelIrql;
    else
        IoAcquireCancelSpinLock(&cancelIrql);

    oldIrp = Extension->CurrentMaskIrp;
    while (!IsListEmpty(&Extension->MaskQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Extension->MaskQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);

        // An unlinked entry points at itself, so that a cancel routine's
        // unlink of it changes nothing.
        InitializeListHead(entry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            newIrp = irp;
            break;
        }
        // Its cancel routine is already on the way and completes it.
    }
    Extension->CurrentMaskIrp = newIrp;
    IoReleaseCancelSpinLock(cancelIrql);

    if (CompleteCurrent && oldIrp != NULL) {
        IoCompleteRequest(oldIrp, IO_SERIAL_INCREMENT);
        SerialIoDecrement(Extension->DeviceObject);
    }
    return newIrp;
}

VOID SerialApplyWaitMask(PSERIAL_DEVICE_EXTENSION Extension)
{
    KIRQL cancelIrql;
    ULONG newMask;

    IoAcquireCancelSpinLock(&cancelIrql);
    newMask = *static_cast<PULONG>(Extension->CurrentMaskIrp->AssociatedIrp.SystemBuffer);
    // A wait armed under the old mask ends with the event word 0.
    SerialFlushArmedWaitLocked(Extension);
    Extension->EventHistory &= newMask;
    SerialWriteUlong(&Extension->WaitMask, newMask);
    IoReleaseCancelSpinLock(cancelIrql);
}

// Cancel spin lock held; CurrentWaitIrp is the request being armed.
VOID SerialArmWait(PSERIAL_DEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->CurrentWaitIrp;
    PULONG eventWord = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);

    SerialSetWaitReferences(irp, SerialWaitReferences(irp) | WAIT_REF_RECORDER);
    if (Extension->EventHistory == 0) {
        Extension->WaitResultLocation = eventWord;
        return;
    }

    // Events seen before the wait was armed are delivered at once.
    *eventWord = Extension->EventHistory;
    Extension->EventHistory = 0;
    irp->IoStatus.Information = sizeof(ULONG);
    irp->IoStatus.Status = STATUS_SUCCESS;
    SerialQueueCommWaitDpc(Extension);
}

// Hands the current WAIT_ON_MASK request its refusal and moves on.
static PIRP SerialRefuseMaskIrp(PSERIAL_DEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    return SerialNextMaskIrp(Extension, TRUE, NULL);
}

NTSTATUS SerialProcessMaskIrps(PSERIAL_DEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->CurrentMaskIrp;
    BOOLEAN firstIrp = TRUE;
    NTSTATUS firstStatus = STATUS_SUCCESS;
    KIRQL cancelIrql;

    while (irp != NULL) {
        PIRP currentIrp = irp;
        NTSTATUS status;

        if (SerialMaskIrpCode(currentIrp) == IOCTL_SERIAL_SET_WAIT_MASK) {
            SerialApplyWaitMask(Extension);
            status = STATUS_SUCCESS;
            currentIrp->IoStatus.Status = status;
            currentIrp->IoStatus.Information = 0;
            irp = SerialNextMaskIrp(Extension, TRUE, NULL);
        } else {
            IoAcquireCancelSpinLock(&cancelIrql);
            if (SerialReadUlong(&Extension->WaitMask) == 0 || Extension->CurrentWaitIrp != NULL) {
                // Nothing to wait for, or another wait is armed.
                IoReleaseCancelSpinLock(cancelIrql);
                status = STATUS_INVALID_PARAMETER;
                irp = SerialRefuseMaskIrp(Extension, currentIrp, status);
            } else if (currentIrp->Cancel) {
                IoReleaseCancelSpinLock(cancelIrql);
                status = STATUS_CANCELLED;
                irp = SerialRefuseMaskIrp(Extension, currentIrp, status);
            } else {
                // Requests taken from the queue were marked pending when queued.
                if (firstIrp)
                    IoMarkIrpPending(currentIrp);
                status = STATUS_PENDING;
                Extension->CurrentWaitIrp = currentIrp;
                SerialSetWaitReferences(currentIrp, 0);
                IoSetCancelRoutine(currentIrp, SerialCancelArmedWait);
                SerialSetWaitReferences(currentIrp, WAIT_REF_CANCEL);
                SerialArmWait(Extension);
                Extension->CurrentMaskIrp = NULL;
                irp = SerialNextMaskIrp(Extension, FALSE, &cancelIrql);
            }
        }

        if (firstIrp) {
            firstStatus = status;
            firstIrp = FALSE;
        }
    }
    return firstStatus;
}

// ---------------------------------------------------------------------------
// Completion of the armed wait

VOID NTAPI SerialCompleteWaitDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PSERIAL_DEVICE_EXTENSION extension = static_cast<PSERIAL_DEVICE_EXTENSION>(DeferredContext);
    KIRQL cancelIrql;

    IoAcquireCancelSpinLock(&cancelIrql);
    if (extension->CurrentWaitIrp != NULL)
        SerialCompleteCurrentWait(extension, NULL, cancelIrql, STATUS_SUCCESS, WAIT_REF_RECORDER);
    else
        IoReleaseCancelSpinLock(cancelIrql);

    // The last touch of the extension: teardown waits for this.
    SerialReleaseDpcReference(extension);
}

VOID SerialCompleteCurrentWait(PSERIAL_DEVICE_EXTENSION Extension,
                               VOID (*SynchronisationStep)(PSERIAL_DEVICE_EXTENSION), KIRQL CancelIrql,
                               NTSTATUS Status, ULONG ReferenceBit)
{
    PIRP irp = Extension->CurrentWaitIrp;

    SerialSetWaitReferences(irp, SerialWaitReferences(irp) & ~ReferenceBit);
    if (SynchronisationStep != NULL)
        SynchronisationStep(Extension);

    // Whoever takes the cancel routine away owns its reference.
    if (IoSetCancelRoutine(irp, NULL) != NULL)
        SerialSetWaitReferences(irp, SerialWaitReferences(irp) & ~WAIT_REF_CANCEL);

    if (SerialWaitReferences(irp) != 0) {
        // The other holder completes the request.
        IoReleaseCancelSpinLock(CancelIrql);
        return;
    }

    irp->IoStatus.Status = Status;
    if (Status == STATUS_CANCELLED)
        irp->IoStatus.Information = 0;
    Extension->CurrentWaitIrp = NULL;
    IoReleaseCancelSpinLock(CancelIrql);

    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    SerialIoDecrement(Extension->DeviceObject);
}

VOID NTAPI SerialCancelArmedWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SerialCompleteCurrentWait(SerialExtension(DeviceObject), SerialReclaimArmedWait, Irp->CancelIrql,
                              STATUS_CANCELLED, WAIT_REF_CANCEL);
}

// Takes the armed wait back from the recorders, unless events have already
// been delivered to it: then the queued DPC completes it with them.
VOID SerialReclaimArmedWait(PSERIAL_DEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->CurrentWaitIrp;

    if (Extension->WaitResultLocation == NULL)
        return;
    *Extension->WaitResultLocation = 0;
    Extension->WaitResultLocation = NULL;
    irp->IoStatus.Information = sizeof(ULONG);
    SerialSetWaitReferences(irp, SerialWaitReferences(irp) & ~WAIT_REF_RECORDER);
}

// ---------------------------------------------------------------------------
// Cancellation of queued requests and removal

VOID NTAPI SerialCancelQueuedMaskIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    // A request SerialCancelMaskIrps or SerialNextMaskIrp has unlinked
    // already points at itself, and this changes nothing.
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    SerialIoDecrement(DeviceObject);
}

// Calls the cancel routine of Irp as the I/O manager would. Entered with the
// cancel spin lock held at CancelIrql; returns with it released.
static VOID SerialCancelIrpLocked(PDEVICE_OBJECT DeviceObject, PIRP Irp, KIRQL CancelIrql)
{
    PDRIVER_CANCEL cancelRoutine = IoSetCancelRoutine(Irp, NULL);

    Irp->Cancel = TRUE;
    if (cancelRoutine == NULL) {
        // Either it has none, or the I/O manager is already calling it.
        IoReleaseCancelSpinLock(CancelIrql);
        return;
    }
    Irp->CancelIrql = CancelIrql;
    cancelRoutine(DeviceObject, Irp);
}

VOID SerialCancelMaskIrps(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    KIRQL cancelIrql;

    // The most recently queued request goes first.
    IoAcquireCancelSpinLock(&cancelIrql);
    while (!IsListEmpty(&extension->MaskQueue)) {
        PLIST_ENTRY entry = RemoveTailList(&extension->MaskQueue);
        InitializeListHead(entry);
        SerialCancelIrpLocked(DeviceObject, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), cancelIrql);
        IoAcquireCancelSpinLock(&cancelIrql);
    }

    // A request being handled has no cancel routine; its Cancel flag makes
    // a WAIT_ON_MASK end with STATUS_CANCELLED instead of being armed.
    if (extension->CurrentMaskIrp != NULL)
        SerialCancelIrpLocked(DeviceObject, extension->CurrentMaskIrp, cancelIrql);
    else
        IoReleaseCancelSpinLock(cancelIrql);

    IoAcquireCancelSpinLock(&cancelIrql);
    if (extension->CurrentWaitIrp != NULL)
        SerialCancelIrpLocked(DeviceObject, extension->CurrentWaitIrp, cancelIrql);
    else
        IoReleaseCancelSpinLock(cancelIrql);
}

// No CommWaitDpc may be queued or running once the extension goes away.
// Drops the base count and waits for the runs still to come. The last run
// signals the event just before it returns, so the wait alone does not
// mean that the routine has left the DPC: the flush makes sure it has.
VOID SerialWaitForCommWaitDpcs(PSERIAL_DEVICE_EXTENSION Extension)
{
    SerialReleaseDpcReference(Extension);
    KeWaitForSingleObject(&Extension->PendingDpcEvent, Executive, KernelMode, FALSE, NULL);
    KeFlushQueuedDpcs();
}
