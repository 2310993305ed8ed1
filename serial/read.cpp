// Receive side. ReceiveWorker runs on a system worker thread while the port
// is open, fetches bulk-in packets from the USB driver and appends them to
// RxBuffer. SerialRead never sends anything down and never pends: it polls
// RxBuffer in the caller's thread until data is there, the read timeout
// expires or the read is aborted.
#include "tarvik_serial.h"

// Read timeout modes chosen by SERIAL_TIMEOUTS.
enum SERIAL_READ_MODE {
    SerialReadImmediate,    // MAXULONG, 0, 0: return what is there after one poll
    SerialReadUnlimited,    // 0, 0, 0: wait for data or an abort
    SerialReadTimed         // anything else: wait at most the total timeout
};

// ---------------------------------------------------------------------------
// Receive worker

static BOOLEAN SerialWorkerShouldRun(PSERIAL_DEVICE_EXTENSION Extension)
{
    return SerialReadFlag(&Extension->KeepReading) && !SerialReadFlag(&Extension->DeviceRemoved);
}

// Ends the receive worker's polling. The abort cuts short the bulk-in read the
// USB driver is holding for it; the worker then leaves its loop by itself.
// Returns FALSE when the worker was not told to read.
BOOLEAN SerialStopReceiveWorker(PSERIAL_DEVICE_EXTENSION Extension, BOOLEAN AbortPollingReads)
{
    if (!SerialExchangeFlag(&Extension->KeepReading, FALSE))
        return FALSE;
    if (AbortPollingReads)
        SerialWriteFlag(&Extension->AbortReads, TRUE);
    // The failed or empty reply the abort causes is not a line error.
    SerialWriteFlag(&Extension->ReadAbortSent, TRUE);
    SerialSendIoctl(Extension->LowerDeviceObject, IOCTL_BULK_ABORT_READ, NULL, 0, NULL, 0);
    return TRUE;
}

VOID SerialDiscardReceivedData(PSERIAL_DEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->RxLock, &oldIrql);
    SerialWriteUlong(&Extension->RxCount, 0);
    KeReleaseSpinLock(&Extension->RxLock, oldIrql);
}

// Pauses after a failed bulk read so that a device in trouble is not asked
// again at once. Returns FALSE when the worker is to stop.
static BOOLEAN SerialBackOffAfterFailure(PSERIAL_DEVICE_EXTENSION Extension)
{
    for (int pause = 0; pause < SERIAL_WORKER_RETRY_PAUSES; pause++) {
        if (!SerialWorkerShouldRun(Extension))
            return FALSE;
        KeWaitForSingleObject(&Extension->ReadDelayEvent, Executive, KernelMode, FALSE,
                              &Extension->ReadRetryInterval);
    }
    return TRUE;
}

// Appends one packet to RxBuffer as far as InQueueSize allows and records
// the receive events. Bytes that do not fit are lost and reported as an
// overrun.
static VOID SerialStoreReceivedBytes(PSERIAL_DEVICE_EXTENSION Extension, const BULK_READ_RESULT *Result)
{
    ULONG length = Result->Length;
    UCHAR eventChar = SerialReadUchar(&Extension->SpecialChars.EventChar);
    ULONG events = SERIAL_EV_RXCHAR;
    ULONG limit;
    ULONG count;
    KIRQL oldIrql;

    // The USB driver never reports more than one packet; nothing beyond the
    // result record may be read.
    if (length > BULK_READ_DATA_SIZE)
        length = BULK_READ_DATA_SIZE;

    KeAcquireSpinLock(&Extension->RxLock, &oldIrql);
    limit = SerialReadUlong(&Extension->InQueueSize);
    if (limit > SERIAL_RX_BUFFER_SIZE)
        limit = SERIAL_RX_BUFFER_SIZE;
    count = SerialReadUlong(&Extension->RxCount);
    for (ULONG i = 0; i < length; i++) {
        if (count >= limit) {
            SerialSetBits(&Extension->PendingErrors, SERIAL_ERROR_QUEUEOVERRUN);
            break;
        }
        Extension->RxBuffer[count++] = Result->Data[i];
        if (Result->Data[i] == eventChar)
            events |= SERIAL_EV_RXFLAG;
    }
    SerialWriteUlong(&Extension->RxCount, count);
    KeReleaseSpinLock(&Extension->RxLock, oldIrql);

    // The recorder takes the cancel spin lock, which is never taken while
    // RxLock is held.
    SerialReportCommEvents(Extension, events);
}

// The end of a receive session: unread bytes and pending events belong to
// the handle that is going away.
static VOID SerialFinishReceiving(PDEVICE_OBJECT DeviceObject)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);

    SerialClearBits(&extension->PendingErrors, SERIAL_ERROR_QUEUEOVERRUN);
    SerialDiscardReceivedData(extension);
    SerialDiscardEventHistory(extension);
    SerialWriteFlag(&extension->ReadWorkerRunning, FALSE);
    // SerialCreate took this reference when it queued the worker.
    SerialReadRefDecrement(DeviceObject);
}

VOID NTAPI ReceiveWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    union {
        BULK_READ_RESULT result;
        UCHAR bytes[SERIAL_BULK_READ_AREA_SIZE];
    } area;
    NTSTATUS status;

    RtlZeroMemory(&area, sizeof(area));

    while (SerialWorkerShouldRun(extension)) {
        SerialWriteFlag(&extension->ReadAbortSent, FALSE);
        status = SerialSendIoctl(extension->LowerDeviceObject, IOCTL_BULK_READ, NULL, 0, area.bytes,
                                 sizeof(area.bytes));

        if (status != STATUS_SUCCESS) {
            if (!SerialReadFlag(&extension->ReadAbortSent))
                SerialReportCommEvents(extension, SERIAL_EV_ERR);
            if (!SerialBackOffAfterFailure(extension))
                break;
            continue;
        }

        if (area.result.Length == 0) {
            if (!SerialReadFlag(&extension->ReadAbortSent))
                SerialReportCommEvents(extension, SERIAL_EV_ERR);
            continue;
        }

        SerialStoreReceivedBytes(extension, &area.result);
    }

    SerialFinishReceiving(DeviceObject);
}

// ---------------------------------------------------------------------------
// Read requests

// Moves up to Length bytes from the front of RxBuffer to Destination and
// the rest to the front. Returns the number of bytes moved.
static ULONG SerialTakeReceivedBytes(PSERIAL_DEVICE_EXTENSION Extension, PUCHAR Destination, ULONG Length)
{
    ULONG queueSize;
    ULONG remaining;
    ULONG count;
    ULONG taken;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->RxLock, &oldIrql);
    count = SerialReadUlong(&Extension->RxCount);
    taken = Length < count ? Length : count;
    RtlCopyMemory(Destination, Extension->RxBuffer, taken);

    queueSize = SerialReadUlong(&Extension->InQueueSize);
    if (queueSize > SERIAL_RX_BUFFER_SIZE)
        queueSize = SERIAL_RX_BUFFER_SIZE;
    remaining = count - taken;
    if (remaining == 0) {
        RtlZeroMemory(Extension->RxBuffer, queueSize);
    } else {
        RtlZeroMemory(Extension->RxScratch, queueSize);
        RtlCopyMemory(Extension->RxScratch, Extension->RxBuffer + taken, remaining);
        RtlZeroMemory(Extension->RxBuffer, queueSize);
        RtlCopyMemory(Extension->RxBuffer, Extension->RxScratch, remaining);
    }
    SerialWriteUlong(&Extension->RxCount, remaining);
    KeReleaseSpinLock(&Extension->RxLock, oldIrql);
    return taken;
}

static SERIAL_READ_MODE SerialChooseReadMode(ULONG Interval, ULONG Multiplier, ULONG Constant)
{
    if (Multiplier != 0 || Constant != 0)
        return SerialReadTimed;
    if (Interval == MAXULONG)
        return SerialReadImmediate;
    if (Interval == 0)
        return SerialReadUnlimited;
    return SerialReadTimed;
}

// Adds the milliseconds between two tick counts, plus one for the poll
// itself, so that every poll counts even when the tick has not moved.
// Saturates at MAXULONG.
static ULONG SerialAddElapsedMs(ULONG Elapsed, const LARGE_INTEGER *Start, const LARGE_INTEGER *End)
{
    LONGLONG ticks = End->QuadPart - Start->QuadPart;
    LONGLONG ms;
    ULONGLONG sum;

    if (ticks < 0)
        ticks = 0;
    ms = (ticks * static_cast<LONGLONG>(KeQueryTimeIncrement())) / 10000;
    sum = static_cast<ULONGLONG>(Elapsed) + static_cast<ULONGLONG>(ms) + 1;
    return sum > MAXULONG ? MAXULONG : static_cast<ULONG>(sum);
}

// Polls RxBuffer every 5 ms under the read timeouts. Returns the status to
// complete the read with and the number of bytes delivered.
static NTSTATUS SerialPollReceiveBuffer(PSERIAL_DEVICE_EXTENSION Extension, PUCHAR Destination, ULONG Length,
                                        PULONG_PTR Information)
{
    KEVENT neverSignalled;
    LARGE_INTEGER pollStart;
    LARGE_INTEGER pollEnd;
    ULONG elapsedMs = 0;

    KeInitializeEvent(&neverSignalled, NotificationEvent, FALSE);
    *Information = 0;

    for (;;) {
        if (SerialReadUlong(&Extension->RxCount) != 0)
            break;

        KeQueryTickCount(&pollStart);
        KeWaitForSingleObject(&neverSignalled, Executive, KernelMode, FALSE, &Extension->ReadPollInterval);

        ULONG interval = SerialReadUlong(&Extension->Timeouts.ReadIntervalTimeout);
        ULONG multiplier = SerialReadUlong(&Extension->Timeouts.ReadTotalTimeoutMultiplier);
        ULONG constant = SerialReadUlong(&Extension->Timeouts.ReadTotalTimeoutConstant);
        SERIAL_READ_MODE mode = SerialChooseReadMode(interval, multiplier, constant);

        if (mode == SerialReadImmediate) {
            if (SerialReadUlong(&Extension->RxCount) != 0)
                break;
            return STATUS_SUCCESS;
        }
        if (mode == SerialReadTimed) {
            KeQueryTickCount(&pollEnd);
            elapsedMs = SerialAddElapsedMs(elapsedMs, &pollStart, &pollEnd);
            // Computed afresh at every poll; both operations wrap at 32 bits.
            ULONG totalMs = multiplier * Length + constant;
            if (elapsedMs >= totalMs) {
                if (SerialReadUlong(&Extension->RxCount) != 0)
                    break;
                return STATUS_TIMEOUT;
            }
        }

        if (SerialReadFlag(&Extension->AbortReads))
            return STATUS_CANCELLED;
        // Removal waits for every read being served.
        if (SerialReadFlag(&Extension->DeviceRemoved))
            return STATUS_DELETE_PENDING;
    }

    *Information = SerialTakeReceivedBytes(Extension, Destination, Length);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PMDL mdl = Irp->MdlAddress;
    ULONG_PTR information = 0;
    PUCHAR destination;
    NTSTATUS status;
    ULONG length;

    SerialWriteFlag(&extension->AbortReads, FALSE);

    if (stack->Parameters.Read.Length == 0 || mdl == NULL || MmGetMdlByteCount(mdl) == 0)
        return SerialCompleteRequest(Irp, STATUS_SUCCESS, 0);
    length = MmGetMdlByteCount(mdl);

    // The bytes are copied under RxLock, so the caller's pages are reached
    // through a system mapping of the locked MDL, never through the
    // application's own addresses.
    destination = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    if (destination == NULL)
        return SerialCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    SerialReadRefIncrement(DeviceObject);
    if (SerialReadFlag(&extension->DeviceRemoved))
        status = STATUS_DELETE_PENDING;
    else
        status = SerialPollReceiveBuffer(extension, destination, length, &information);
    SerialCompleteRequest(Irp, status, information);
    SerialReadRefDecrement(DeviceObject);
    return status;
}
