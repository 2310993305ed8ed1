// Write path. A write is neither buffered nor split here: the request goes
// down as it came, on the write pipe's file object, and the USB driver's
// bulk-out transfer completes it with the number of bytes sent.
//
// The write holds an OutstandingIo reference only until the USB driver has
// taken the request, so that a removal waits for it before the extension
// goes away.
#include "tarvik_serial.h"

NTSTATUS NTAPI SerialWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    NTSTATUS status;

    SerialIoIncrement(DeviceObject);
    if (SerialReadFlag(&extension->DeviceRemoved)) {
        // The device is being torn down under a handle that is still open.
        status = SerialCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
        SerialIoDecrement(DeviceObject);
        return status;
    }

    SerialWriteFlag(&extension->WriteInProgress, TRUE);

    // Length, key and offset go down unchanged; the USB driver picks the
    // bulk-out pipe by the file object.
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->FileObject = SerialAcquireWritePipe(extension);

    // The port has no transmit queue: the transmitter counts as empty once
    // the data has been handed to the USB driver.
    SerialReportCommEvents(extension, SERIAL_EV_TXEMPTY);

    status = IoCallDriver(extension->LowerDeviceObject, Irp);

    SerialReleaseWritePipe(extension);
    SerialWriteFlag(&extension->WriteInProgress, FALSE);
    SerialIoDecrement(DeviceObject);
    return status;
}
