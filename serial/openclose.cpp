// The life of a port handle. Opening the port starts the receive worker;
// closing it stops the worker, aborts the bulk-in read the USB driver is
// holding for it and waits a bounded time for the worker to end. Cleanup
// releases a pending wait-on-mask request.
//
// Each routine holds an OutstandingIo reference while it runs, so that a
// removal racing the application's open or close waits for it before the
// extension goes away.
#include "tarvik_serial.h"

static NTSTATUS SerialOpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    PIO_WORKITEM workItem;

    // A second open, or an open while a close still waits for its worker.
    if (SerialReadFlag(&extension->KeepReading) || SerialReadFlag(&extension->ReadWorkerRunning))
        return SerialCompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
    if (SerialReadFlag(&extension->DeviceRemoved))
        return SerialCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);

    // The work item comes with the first start; without it there is no
    // receive side to run.
    workItem = SerialReadPointer(&extension->ReadWorkItem);
    if (workItem == NULL)
        return SerialCompleteRequest(Irp, STATUS_DEVICE_NOT_READY, 0);

    // Of two opens racing each other, one gets the worker.
    if (!SerialClaimFlag(&extension->ReadWorkerRunning))
        return SerialCompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);

    // Bytes left over from an earlier open are not this handle's.
    SerialDiscardReceivedData(extension);
    SerialWriteFlag(&extension->DeviceIsOpen, TRUE);
    SerialWriteFlag(&extension->KeepReading, TRUE);

    // The worker's reference is taken before it is queued, so that a removal
    // cannot finish while the worker is queued but has not yet started.
    SerialReadRefIncrement(DeviceObject);
    IoQueueWorkItem(workItem, ReceiveWorker, DelayedWorkQueue, NULL);

    return SerialCompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    SerialIoIncrement(DeviceObject);
    status = SerialOpenPort(DeviceObject, Irp);
    SerialIoDecrement(DeviceObject);
    return status;
}

NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    NTSTATUS status;

    SerialIoIncrement(DeviceObject);
    SerialWriteFlag(&extension->DeviceIsOpen, FALSE);

    // Reads still polling for data end with STATUS_CANCELLED.
    SerialStopReceiveWorker(extension, TRUE);

    // The abort ends the worker's read within a few milliseconds. Should
    // the USB driver not end it, close gives up after about two seconds.
    for (int pause = 0; pause < SERIAL_CLOSE_WAIT_PAUSES && SerialReadFlag(&extension->ReadWorkerRunning);
         pause++) {
        SerialPause(SERIAL_CLOSE_PAUSE_INTERVAL);
    }
    SerialWriteFlag(&extension->ReadWorkerRunning, FALSE);
    SerialDiscardReceivedData(extension);

    status = SerialCompleteRequest(Irp, STATUS_SUCCESS, 0);
    SerialIoDecrement(DeviceObject);
    return status;
}

// Cleanup leaves the receive worker, reads in progress and the mask queue
// alone; the close that follows stops the worker.
NTSTATUS NTAPI SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    SerialIoIncrement(DeviceObject);
    SerialDiscardEventHistory(SerialExtension(DeviceObject));
    status = SerialCompleteRequest(Irp, STATUS_SUCCESS, 0);
    SerialIoDecrement(DeviceObject);
    return status;
}

// The port is not a file: it has no size and no position.
static NTSTATUS SerialAnswerFileQuery(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG length = stack->Parameters.QueryFile.Length;
    ULONG size;

    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
        size = sizeof(FILE_STANDARD_INFORMATION);
        break;
    case FilePositionInformation:
        size = sizeof(FILE_POSITION_INFORMATION);
        break;
    default:
        return SerialCompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }

    // The I/O manager checks the size for applications; a request built in
    // the kernel gets the same check here.
    if (buffer == NULL || length < size)
        return SerialCompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);

    RtlZeroMemory(buffer, size);
    return SerialCompleteRequest(Irp, STATUS_SUCCESS, size);
}

NTSTATUS NTAPI SerialQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    SerialIoIncrement(DeviceObject);
    status = SerialAnswerFileQuery(Irp);
    SerialIoDecrement(DeviceObject);
    return status;
}
