// IOCTL_SERIAL_PURGE. The port has no transmit queue, so only the receive
// side has anything to abort or clear.
#include "tarvik_serial.h"

NTSTATUS SerialPurge(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                     ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    ULONG purgeMask;
    KIRQL oldIrql;

    if (SystemBuffer == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    purgeMask = *static_cast<PULONG>(SystemBuffer);

    // A read polling for data ends at its next poll.
    if (purgeMask & SERIAL_PURGE_RXABORT)
        SerialWriteFlag(&extension->AbortReads, TRUE);

    if (purgeMask & SERIAL_PURGE_RXCLEAR) {
        KeAcquireSpinLock(&extension->RxLock, &oldIrql);
        SerialWriteUlong(&extension->RxCount, 0);
        RtlZeroMemory(extension->RxBuffer, SERIAL_RX_BUFFER_SIZE);
        KeReleaseSpinLock(&extension->RxLock, oldIrql);
    }

    *Information = 0;
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}
