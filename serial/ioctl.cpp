// Serial control requests. There is no serial hardware behind the port:
// baud rate, line control, special characters, handshake and the modem
// control lines are stored and read back without reaching the printer. Only
// the read timeouts, EventChar, the receive queue size and the wait mask
// change what the driver does, and the modem status is asked of the printer.
//
// Settings are single fields that an application may change while the
// receive worker or a read uses them; each member is read and written whole.
#include "tarvik_serial.h"

#define SERIAL_NO_MINIMUM MAXULONG

// The port's reported provider properties.
#define SERIAL_COMMPROP_VERSION 2
#define SERIAL_SETTABLE_BAUD 12000000UL

struct SERIAL_IOCTL_ENTRY {
    ULONG IoControlCode;
    ULONG MinimumInputLength;
    ULONG MinimumOutputLength;
    SERIAL_IOCTL_HANDLER *Handler;
};

static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS is 20 bytes");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP is 64 bytes");

NTSTATUS SerialCompleteIoctl(PIRP Irp, NTSTATUS Status)
{
    // A refused request returns nothing.
    if (!NT_SUCCESS(Status))
        Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS SerialReturnUlong(PIRP Irp, PVOID SystemBuffer, ULONG Value, PULONG_PTR Information)
{
    if (SystemBuffer == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    *static_cast<PULONG>(SystemBuffer) = Value;
    *Information = sizeof(ULONG);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Settings stored and read back

static NTSTATUS SerialSetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    if (SystemBuffer == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialWriteUlong(&SerialExtension(DeviceObject)->BaudRate,
                     static_cast<PSERIAL_BAUD_RATE>(SystemBuffer)->BaudRate);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialGetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    return SerialReturnUlong(Irp, SystemBuffer, SerialReadUlong(&SerialExtension(DeviceObject)->BaudRate),
                             Information);
}

static NTSTATUS SerialSetQueueSize(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                   ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    PSERIAL_QUEUE_SIZE queueSize = static_cast<PSERIAL_QUEUE_SIZE>(SystemBuffer);

    if (queueSize == NULL || queueSize->InSize > SERIAL_RX_BUFFER_SIZE)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialWriteUlong(&extension->InQueueSize, queueSize->InSize);
    SerialWriteUlong(&extension->OutQueueSize, queueSize->OutSize);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialSetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer,
                                     ULONG InputLength, ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_LINE_CONTROL stored = &SerialExtension(DeviceObject)->LineControl;
    PSERIAL_LINE_CONTROL given = static_cast<PSERIAL_LINE_CONTROL>(SystemBuffer);

    if (given == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialWriteUchar(&stored->StopBits, given->StopBits);
    SerialWriteUchar(&stored->Parity, given->Parity);
    SerialWriteUchar(&stored->WordLength, given->WordLength);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialGetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer,
                                     ULONG InputLength, ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_LINE_CONTROL stored = &SerialExtension(DeviceObject)->LineControl;
    PSERIAL_LINE_CONTROL returned = static_cast<PSERIAL_LINE_CONTROL>(SystemBuffer);

    if (returned == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    returned->StopBits = SerialReadUchar(&stored->StopBits);
    returned->Parity = SerialReadUchar(&stored->Parity);
    returned->WordLength = SerialReadUchar(&stored->WordLength);
    *Information = sizeof(SERIAL_LINE_CONTROL);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialSetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                               ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_CHARS stored = &SerialExtension(DeviceObject)->SpecialChars;
    PSERIAL_CHARS given = static_cast<PSERIAL_CHARS>(SystemBuffer);

    if (given == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialWriteUchar(&stored->EofChar, given->EofChar);
    SerialWriteUchar(&stored->ErrorChar, given->ErrorChar);
    SerialWriteUchar(&stored->BreakChar, given->BreakChar);
    SerialWriteUchar(&stored->EventChar, given->EventChar);
    SerialWriteUchar(&stored->XonChar, given->XonChar);
    SerialWriteUchar(&stored->XoffChar, given->XoffChar);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialGetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                               ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_CHARS stored = &SerialExtension(DeviceObject)->SpecialChars;
    PSERIAL_CHARS returned = static_cast<PSERIAL_CHARS>(SystemBuffer);

    if (returned == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    returned->EofChar = SerialReadUchar(&stored->EofChar);
    returned->ErrorChar = SerialReadUchar(&stored->ErrorChar);
    returned->BreakChar = SerialReadUchar(&stored->BreakChar);
    returned->EventChar = SerialReadUchar(&stored->EventChar);
    returned->XonChar = SerialReadUchar(&stored->XonChar);
    returned->XoffChar = SerialReadUchar(&stored->XoffChar);
    *Information = sizeof(SERIAL_CHARS);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialSetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_HANDFLOW stored = &SerialExtension(DeviceObject)->HandFlow;
    PSERIAL_HANDFLOW given = static_cast<PSERIAL_HANDFLOW>(SystemBuffer);

    if (given == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialWriteUlong(&stored->ControlHandShake, given->ControlHandShake);
    SerialWriteUlong(&stored->FlowReplace, given->FlowReplace);
    SerialWriteLong(&stored->XonLimit, given->XonLimit);
    SerialWriteLong(&stored->XoffLimit, given->XoffLimit);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialGetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_HANDFLOW stored = &SerialExtension(DeviceObject)->HandFlow;
    PSERIAL_HANDFLOW returned = static_cast<PSERIAL_HANDFLOW>(SystemBuffer);

    if (returned == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    returned->ControlHandShake = SerialReadUlong(&stored->ControlHandShake);
    returned->FlowReplace = SerialReadUlong(&stored->FlowReplace);
    returned->XonLimit = SerialReadLong(&stored->XonLimit);
    returned->XoffLimit = SerialReadLong(&stored->XoffLimit);
    *Information = sizeof(SERIAL_HANDFLOW);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialSetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_TIMEOUTS stored = &SerialExtension(DeviceObject)->Timeouts;
    PSERIAL_TIMEOUTS given = static_cast<PSERIAL_TIMEOUTS>(SystemBuffer);

    if (given == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialWriteUlong(&stored->ReadIntervalTimeout, given->ReadIntervalTimeout);
    SerialWriteUlong(&stored->ReadTotalTimeoutMultiplier, given->ReadTotalTimeoutMultiplier);
    SerialWriteUlong(&stored->ReadTotalTimeoutConstant, given->ReadTotalTimeoutConstant);
    SerialWriteUlong(&stored->WriteTotalTimeoutMultiplier, given->WriteTotalTimeoutMultiplier);
    SerialWriteUlong(&stored->WriteTotalTimeoutConstant, given->WriteTotalTimeoutConstant);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialGetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_TIMEOUTS stored = &SerialExtension(DeviceObject)->Timeouts;
    PSERIAL_TIMEOUTS returned = static_cast<PSERIAL_TIMEOUTS>(SystemBuffer);

    if (returned == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    returned->ReadIntervalTimeout = SerialReadUlong(&stored->ReadIntervalTimeout);
    returned->ReadTotalTimeoutMultiplier = SerialReadUlong(&stored->ReadTotalTimeoutMultiplier);
    returned->ReadTotalTimeoutConstant = SerialReadUlong(&stored->ReadTotalTimeoutConstant);
    returned->WriteTotalTimeoutMultiplier = SerialReadUlong(&stored->WriteTotalTimeoutMultiplier);
    returned->WriteTotalTimeoutConstant = SerialReadUlong(&stored->WriteTotalTimeoutConstant);
    *Information = sizeof(SERIAL_TIMEOUTS);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

// Break, DTR, RTS, XON and XOFF: there are no lines to drive.
static NTSTATUS SerialAcceptLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer,
                                        ULONG InputLength, ULONG OutputLength, PULONG_PTR Information)
{
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialGetConfigSize(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                    ULONG OutputLength, PULONG_PTR Information)
{
    // No provider-specific configuration data.
    return SerialReturnUlong(Irp, SystemBuffer, 0, Information);
}

// ---------------------------------------------------------------------------
// Wait mask

static NTSTATUS SerialGetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    return SerialReturnUlong(Irp, SystemBuffer, SerialReadUlong(&SerialExtension(DeviceObject)->WaitMask),
                             Information);
}

// SET_WAIT_MASK and WAIT_ON_MASK go through the mask queue, which may keep
// them pending; each holds a reference of its own until it is completed.
static NTSTATUS SerialSetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                  ULONG OutputLength, PULONG_PTR Information)
{
    if (SystemBuffer == NULL || (*static_cast<PULONG>(SystemBuffer) & ~SERIAL_VALID_WAIT_MASK) != 0)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialIoIncrement(DeviceObject);
    return SerialQueueMaskIrp(SerialExtension(DeviceObject), Irp);
}

static NTSTATUS SerialWaitOnMask(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                 ULONG OutputLength, PULONG_PTR Information)
{
    // The event word is written into the system buffer.
    if (SystemBuffer == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    SerialIoIncrement(DeviceObject);
    return SerialQueueMaskIrp(SerialExtension(DeviceObject), Irp);
}

// ---------------------------------------------------------------------------
// Status and properties

// DSR follows the printer's ready bit. The reply buffer starts out "not
// ready", so that a reply without any byte does not read as ready.
static NTSTATUS SerialGetModemStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer,
                                     ULONG InputLength, ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    UCHAR printerStatus[4] = { SERIAL_PRINTER_NOT_READY, 0, 0, 0 };
    ULONG modemStatus = 0;
    NTSTATUS status;

    if (SystemBuffer == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);

    status = SerialVendorRequest(extension->LowerDeviceObject, URB_FUNCTION_VENDOR_INTERFACE, TRUE,
                                 SERIAL_PRINTER_STATUS_REQUEST, 0, 0, sizeof(printerStatus), printerStatus);
    if (status == STATUS_SUCCESS && (printerStatus[0] & SERIAL_PRINTER_NOT_READY) == 0)
        modemStatus = SERIAL_DSR_STATE;

    // A printer that cannot be asked reads as DSR off; the request succeeds.
    return SerialReturnUlong(Irp, SystemBuffer, modemStatus, Information);
}

static VOID SerialRememberCommStatus(PSERIAL_DEVICE_EXTENSION Extension, const SERIAL_STATUS *Status)
{
    SerialWriteUlong(&Extension->CommStatus.Errors, Status->Errors);
    SerialWriteUlong(&Extension->CommStatus.HoldReasons, Status->HoldReasons);
    SerialWriteUlong(&Extension->CommStatus.AmountInInQueue, Status->AmountInInQueue);
    SerialWriteUlong(&Extension->CommStatus.AmountInOutQueue, Status->AmountInOutQueue);
    SerialWriteFlag(&Extension->CommStatus.EofReceived, Status->EofReceived);
    SerialWriteFlag(&Extension->CommStatus.WaitForImmediate, Status->WaitForImmediate);
}

static NTSTATUS SerialGetCommStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                    ULONG OutputLength, PULONG_PTR Information)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    SERIAL_STATUS status;

    if (SystemBuffer == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);

    RtlZeroMemory(&status, sizeof(status));
    // Each error is reported once; one arriving meanwhile waits for the next query.
    status.Errors = SerialExchangeUlong(&extension->PendingErrors, 0);
    status.HoldReasons = 0;
    status.AmountInInQueue = SerialReadUlong(&extension->RxCount);
    status.AmountInOutQueue = 0;    // writes are not queued here
    status.EofReceived = FALSE;
    status.WaitForImmediate = SerialReadFlag(&extension->WriteInProgress);
    SerialRememberCommStatus(extension, &status);

    RtlCopyMemory(SystemBuffer, &status, sizeof(status));
    *Information = sizeof(SERIAL_STATUS);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

static NTSTATUS SerialGetProperties(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer, ULONG InputLength,
                                    ULONG OutputLength, PULONG_PTR Information)
{
    SERIAL_COMMPROP properties;

    if (SystemBuffer == NULL)
        return SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);

    RtlZeroMemory(&properties, sizeof(properties));
    properties.PacketLength = sizeof(SERIAL_COMMPROP);
    properties.PacketVersion = SERIAL_COMMPROP_VERSION;
    properties.ServiceMask = SERIAL_SP_SERIALCOMM;
    properties.MaxTxQueue = 0;      // no maximum
    properties.MaxRxQueue = 0;
    properties.MaxBaud = SERIAL_BAUD_USER;
    properties.ProvSubType = SERIAL_SP_RS232;
    properties.ProvCapabilities = SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
    properties.SettableBaud = SERIAL_SETTABLE_BAUD;
    properties.CurrentRxQueue = SerialReadUlong(&SerialExtension(DeviceObject)->InQueueSize);

    RtlCopyMemory(SystemBuffer, &properties, sizeof(properties));
    *Information = sizeof(SERIAL_COMMPROP);
    return SerialCompleteIoctl(Irp, STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Dispatch

static const SERIAL_IOCTL_ENTRY SerialIoctlTable[] = {
    { IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), SERIAL_NO_MINIMUM, SerialSetBaudRate },
    { IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), SERIAL_NO_MINIMUM, SerialSetQueueSize },
    { IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), SERIAL_NO_MINIMUM, SerialSetLineControl },
    { IOCTL_SERIAL_SET_BREAK_ON, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_SET_BREAK_OFF, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), SERIAL_NO_MINIMUM, SerialSetTimeouts },
    { IOCTL_SERIAL_GET_TIMEOUTS, SERIAL_NO_MINIMUM, sizeof(SERIAL_TIMEOUTS), SerialGetTimeouts },
    { IOCTL_SERIAL_SET_DTR, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_CLR_DTR, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_SET_RTS, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_CLR_RTS, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_SET_XOFF, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_SET_XON, 0, SERIAL_NO_MINIMUM, SerialAcceptLineControl },
    { IOCTL_SERIAL_GET_WAIT_MASK, SERIAL_NO_MINIMUM, sizeof(ULONG), SerialGetWaitMask },
    { IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), SERIAL_NO_MINIMUM, SerialSetWaitMask },
    { IOCTL_SERIAL_WAIT_ON_MASK, SERIAL_NO_MINIMUM, sizeof(ULONG), SerialWaitOnMask },
    { IOCTL_SERIAL_PURGE, sizeof(ULONG), SERIAL_NO_MINIMUM, SerialPurge },
    { IOCTL_SERIAL_GET_BAUD_RATE, SERIAL_NO_MINIMUM, sizeof(SERIAL_BAUD_RATE), SerialGetBaudRate },
    { IOCTL_SERIAL_GET_LINE_CONTROL, SERIAL_NO_MINIMUM, sizeof(SERIAL_LINE_CONTROL), SerialGetLineControl },
    { IOCTL_SERIAL_GET_CHARS, SERIAL_NO_MINIMUM, sizeof(SERIAL_CHARS), SerialGetChars },
    { IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), SERIAL_NO_MINIMUM, SerialSetChars },
    { IOCTL_SERIAL_GET_HANDFLOW, SERIAL_NO_MINIMUM, sizeof(SERIAL_HANDFLOW), SerialGetHandFlow },
    { IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), SERIAL_NO_MINIMUM, SerialSetHandFlow },
    { IOCTL_SERIAL_GET_MODEMSTATUS, SERIAL_NO_MINIMUM, sizeof(ULONG), SerialGetModemStatus },
    { IOCTL_SERIAL_GET_COMMSTATUS, SERIAL_NO_MINIMUM, sizeof(SERIAL_STATUS), SerialGetCommStatus },
    { IOCTL_SERIAL_GET_PROPERTIES, SERIAL_NO_MINIMUM, sizeof(SERIAL_COMMPROP), SerialGetProperties },
    { IOCTL_SERIAL_CONFIG_SIZE, SERIAL_NO_MINIMUM, sizeof(ULONG), SerialGetConfigSize },
    { 0, 0, 0, NULL },
};

static const SERIAL_IOCTL_ENTRY *SerialFindIoctl(ULONG IoControlCode)
{
    for (const SERIAL_IOCTL_ENTRY *entry = SerialIoctlTable; entry->Handler != NULL; entry++) {
        if (entry->IoControlCode == IoControlCode)
            return entry;
    }
    return NULL;
}

static BOOLEAN SerialIoctlBuffersFit(const SERIAL_IOCTL_ENTRY *Entry, ULONG InputLength, ULONG OutputLength)
{
    if (Entry->MinimumInputLength != SERIAL_NO_MINIMUM && InputLength < Entry->MinimumInputLength)
        return FALSE;
    if (Entry->MinimumOutputLength != SERIAL_NO_MINIMUM && OutputLength < Entry->MinimumOutputLength)
        return FALSE;
    return TRUE;
}

NTSTATUS NTAPI SerialDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_DEVICE_EXTENSION extension = SerialExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID systemBuffer = Irp->AssociatedIrp.SystemBuffer;
    const SERIAL_IOCTL_ENTRY *entry;
    NTSTATUS status;

    SerialIoIncrement(DeviceObject);
    Irp->IoStatus.Information = 0;

    if (SerialReadFlag(&extension->DeviceRemoved)) {
        // The device is being torn down under a handle that is still open.
        status = SerialCompleteIoctl(Irp, STATUS_DELETE_PENDING);
    } else if (ioControlCode == IOCTL_VENDOR_REQUEST_IN || ioControlCode == IOCTL_VENDOR_REQUEST_OUT) {
        // The printer's own control transfers, answered by the USB driver.
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(extension->LowerDeviceObject, Irp);
    } else if ((entry = SerialFindIoctl(ioControlCode)) == NULL) {
        status = SerialCompleteIoctl(Irp, STATUS_INVALID_PARAMETER);
    } else if (!SerialIoctlBuffersFit(entry, inputLength, outputLength)) {
        status = SerialCompleteIoctl(Irp, STATUS_BUFFER_TOO_SMALL);
    } else {
        status = entry->Handler(DeviceObject, Irp, systemBuffer, inputLength, outputLength,
                                &Irp->IoStatus.Information);
    }

    SerialIoDecrement(DeviceObject);
    return status;
}
