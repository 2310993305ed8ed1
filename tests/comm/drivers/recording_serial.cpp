// recording_serial: a test serial port driver. It answers the serial control
// requests from settings it stores, as a simple serial port would, keeps a log
// of every serial request it receives, and lets a test script the answer to a
// request (any status, output bytes, completed at once, later from a worker
// thread, or held until the test releases it). Tests of the Win32
// communications functions use it to see exactly what each call sends and how
// each answer comes back to the application. It registers the COM port device
// interface, so applications can also find it by enumeration.
// Defines the interface GUIDs of the headers here. Set before the first
// header rather than through <initguid.h> after <ntddk.h>: winsim's guiddef.h
// is read once, so a later <initguid.h> changes nothing there.
#define INITGUID
#include <ntddk.h>
#include <ntddser.h>
#include <stddef.h>

#include "recording_serial_ioctl.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

constexpr ULONG RecorderTag = 0x53636552;  // 'RecS'
constexpr ULONG ScriptSlots = 8;

// What a plain serial port keeps; the recorder answers GET requests from it.
struct RECORDER_SETTINGS {
    SERIAL_BAUD_RATE BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    ULONG WaitMask;
    SERIAL_QUEUE_SIZE QueueSize;
    ULONG ModemStatus;
};

struct RECORDER_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDeviceObject;
    UNICODE_STRING InterfaceName;
    BOOLEAN InterfaceEnabled;
    LONG OpenCount;
    KSPIN_LOCK Lock;  // guards Settings, Log and Scripts
    RECORDER_SETTINGS Settings;
    RECORDER_LOG Log;
    RECORDER_ANSWER Scripts[ScriptSlots];
    LIST_ENTRY Held;  // held requests, under the system cancel spin lock
};

RECORDER_EXTENSION *ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<RECORDER_EXTENSION *>(DeviceObject->DeviceExtension);
}

NTSTATUS RecorderComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

void RecorderInitialSettings(RECORDER_SETTINGS *Settings)
{
    RtlZeroMemory(Settings, sizeof *Settings);
    Settings->BaudRate.BaudRate = 9600;
    Settings->LineControl.WordLength = 8;
    Settings->Chars.XonChar = 0x11;
    Settings->Chars.XoffChar = 0x13;
    Settings->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Settings->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Settings->HandFlow.XonLimit = 2048;
    Settings->HandFlow.XoffLimit = 512;
    Settings->ModemStatus = SERIAL_CTS_STATE | SERIAL_DSR_STATE;
}

// ---------------------------------------------------------------------------
// The log and the scripts

void RecorderLogRequest(RECORDER_EXTENSION *ext, PIO_STACK_LOCATION stack, PVOID buffer)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    if (ext->Log.Count < RECORDER_LOG_CAPACITY) {
        RECORDED_REQUEST *entry = &ext->Log.Requests[ext->Log.Count++];
        RtlZeroMemory(entry, sizeof *entry);
        entry->IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        entry->InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        entry->OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG copy = entry->InputLength < RECORDER_INPUT_BYTES ? entry->InputLength : RECORDER_INPUT_BYTES;
        if (buffer != NULL)
            RtlCopyMemory(entry->Input, buffer, copy);
    } else {
        ext->Log.Dropped++;
    }
    KeReleaseSpinLock(&ext->Lock, irql);
}

// Copies the scripted answer for the code, if there is one, and counts its use.
BOOLEAN RecorderFindScript(RECORDER_EXTENSION *ext, ULONG code, RECORDER_ANSWER *answer)
{
    BOOLEAN found = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    for (ULONG i = 0; i < ScriptSlots; i++)
        if (ext->Scripts[i].IoControlCode == code) {
            *answer = ext->Scripts[i];
            found = TRUE;
            if (ext->Scripts[i].Times != 0 && --ext->Scripts[i].Times == 0)
                RtlZeroMemory(&ext->Scripts[i], sizeof ext->Scripts[i]);
            break;
        }
    KeReleaseSpinLock(&ext->Lock, irql);
    return found;
}

NTSTATUS RecorderStoreScript(RECORDER_EXTENSION *ext, const RECORDER_ANSWER *answer)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    if (answer->IoControlCode == 0) {
        RtlZeroMemory(ext->Scripts, sizeof ext->Scripts);
        status = STATUS_SUCCESS;
    } else {
        for (ULONG i = 0; i < ScriptSlots; i++)
            if (ext->Scripts[i].IoControlCode == answer->IoControlCode || ext->Scripts[i].IoControlCode == 0) {
                ext->Scripts[i] = *answer;
                status = STATUS_SUCCESS;
                break;
            }
    }
    KeReleaseSpinLock(&ext->Lock, irql);
    return status;
}

// Puts an answer's output bytes into the request's buffer; returns the
// request's Information.
ULONG_PTR RecorderFillAnswer(PIRP Irp, const RECORDER_ANSWER *answer)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (input > room)
        room = input;  // the system buffer has the larger of the two sizes
    ULONG copy = answer->Information < RECORDER_OUTPUT_BYTES ? answer->Information : RECORDER_OUTPUT_BYTES;
    if (copy > room)
        copy = room;
    if (copy != 0 && Irp->AssociatedIrp.SystemBuffer != NULL)
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, answer->Output, copy);
    return answer->Information;
}

// ---------------------------------------------------------------------------
// Held requests

VOID NTAPI RecorderCancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    RecorderComplete(Irp, STATUS_CANCELLED, 0);
}

NTSTATUS RecorderHold(RECORDER_EXTENSION *ext, PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return RecorderComplete(Irp, STATUS_CANCELLED, 0);
    }
    IoSetCancelRoutine(Irp, RecorderCancelHeld);
    IoMarkIrpPending(Irp);
    InsertTailList(&ext->Held, &Irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

// Takes the held requests that match (all of them when FileObject is NULL)
// off the list; a request whose cancel routine is already running is left to it.
void RecorderTakeHeld(RECORDER_EXTENSION *ext, PFILE_OBJECT FileObject, PLIST_ENTRY taken)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PLIST_ENTRY entry = ext->Held.Flink;
    while (entry != &ext->Held) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        BOOLEAN matches = FileObject == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject;
        if (matches && IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            InsertTailList(taken, entry);
        }
        entry = next;
    }
    IoReleaseCancelSpinLock(irql);
}

void RecorderCompleteTaken(PLIST_ENTRY taken, const RECORDER_ANSWER *answer)
{
    while (!IsListEmpty(taken)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(taken), IRP, Tail.Overlay.ListEntry);
        if (answer == NULL) {
            RecorderComplete(irp, STATUS_CANCELLED, 0);
        } else {
            ULONG_PTR information = RecorderFillAnswer(irp, answer);
            RecorderComplete(irp, answer->Status, information);
        }
    }
}

void RecorderCancelHeldOf(RECORDER_EXTENSION *ext, PFILE_OBJECT FileObject)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    RecorderTakeHeld(ext, FileObject, &taken);
    RecorderCompleteTaken(&taken, NULL);
}

ULONG RecorderHeldCount(RECORDER_EXTENSION *ext)
{
    ULONG count = 0;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    for (PLIST_ENTRY entry = ext->Held.Flink; entry != &ext->Held; entry = entry->Flink)
        count++;
    IoReleaseCancelSpinLock(irql);
    return count;
}

// ---------------------------------------------------------------------------
// Requests completed later, from a worker thread

VOID NTAPI RecorderCompleteLater(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PIRP Irp = static_cast<PIRP>(Context);
    PIO_WORKITEM item = static_cast<PIO_WORKITEM>(Irp->Tail.Overlay.DriverContext[0]);
    NTSTATUS status = static_cast<NTSTATUS>(reinterpret_cast<LONG_PTR>(Irp->Tail.Overlay.DriverContext[1]));
    ULONG_PTR information = reinterpret_cast<ULONG_PTR>(Irp->Tail.Overlay.DriverContext[2]);
    IoFreeWorkItem(item);
    RecorderComplete(Irp, status, information);
}

NTSTATUS RecorderAnswer(RECORDER_EXTENSION *ext, PIRP Irp, const RECORDER_ANSWER *answer)
{
    if (answer->How == RECORDER_HOLD)
        return RecorderHold(ext, Irp);
    ULONG_PTR information = RecorderFillAnswer(Irp, answer);
    PIO_WORKITEM item = answer->How == RECORDER_COMPLETE_LATER ? IoAllocateWorkItem(ext->Self) : NULL;
    if (item == NULL)
        return RecorderComplete(Irp, answer->Status, information);
    Irp->Tail.Overlay.DriverContext[0] = item;
    Irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(static_cast<LONG_PTR>(answer->Status));
    Irp->Tail.Overlay.DriverContext[2] = reinterpret_cast<PVOID>(information);
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(item, RecorderCompleteLater, DelayedWorkQueue, Irp);
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// The serial requests, answered as a plain serial port answers them

// Offsets are offsetof's, constant expressions: the table must need no
// initialisation code, which a driver image does not run.
struct SERIAL_SETTING_ENTRY {
    ULONG SetCode;
    ULONG GetCode;
    ULONG Offset;
    ULONG Size;
};

const SERIAL_SETTING_ENTRY SettingTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, offsetof(RECORDER_SETTINGS, BaudRate),
     sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, offsetof(RECORDER_SETTINGS, LineControl),
     sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, offsetof(RECORDER_SETTINGS, Chars), sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, offsetof(RECORDER_SETTINGS, HandFlow),
     sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, offsetof(RECORDER_SETTINGS, Timeouts),
     sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, offsetof(RECORDER_SETTINGS, WaitMask), sizeof(ULONG)},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 0, offsetof(RECORDER_SETTINGS, QueueSize), sizeof(SERIAL_QUEUE_SIZE)},
    {0, IOCTL_SERIAL_GET_MODEMSTATUS, offsetof(RECORDER_SETTINGS, ModemStatus), sizeof(ULONG)},
};

// Requests a serial port carries out on the line; the recorder only accepts them.
const ULONG LineRequests[] = {
    IOCTL_SERIAL_SET_DTR,      IOCTL_SERIAL_CLR_DTR,       IOCTL_SERIAL_SET_RTS,        IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_XON,      IOCTL_SERIAL_SET_XOFF,      IOCTL_SERIAL_SET_BREAK_ON,   IOCTL_SERIAL_SET_BREAK_OFF,
    IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_PURGE,
};

void RecorderFillProperties(RECORDER_EXTENSION *ext, SERIAL_COMMPROP *prop)
{
    RtlZeroMemory(prop, sizeof *prop);
    prop->PacketLength = sizeof(SERIAL_COMMPROP);
    prop->PacketVersion = 2;
    prop->ServiceMask = SERIAL_SP_SERIALCOMM;
    prop->MaxBaud = SERIAL_BAUD_USER;
    prop->ProvSubType = SERIAL_SP_RS232;
    prop->ProvCapabilities = SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
    prop->CurrentRxQueue = ext->Settings.QueueSize.InSize;
    prop->CurrentTxQueue = ext->Settings.QueueSize.OutSize;
}

NTSTATUS RecorderSerialRequest(RECORDER_EXTENSION *ext, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    PUCHAR settings = reinterpret_cast<PUCHAR>(&ext->Settings);

    for (const SERIAL_SETTING_ENTRY &entry : SettingTable) {
        if (code != entry.SetCode && code != entry.GetCode)
            continue;
        BOOLEAN set = code == entry.SetCode;
        if ((set ? in : out) < entry.Size || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        if (set)
            RtlCopyMemory(settings + entry.Offset, buffer, entry.Size);
        else
            RtlCopyMemory(buffer, settings + entry.Offset, entry.Size);
        KeReleaseSpinLock(&ext->Lock, irql);
        return RecorderComplete(Irp, STATUS_SUCCESS, set ? 0 : entry.Size);
    }
    for (ULONG line : LineRequests)
        if (code == line)
            return RecorderComplete(Irp, STATUS_SUCCESS, 0);

    switch (code) {
    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (out < sizeof(ULONG))
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        return RecorderHold(ext, Irp);
    case IOCTL_SERIAL_GET_COMMSTATUS:
        if (out < sizeof(SERIAL_STATUS) || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(buffer, sizeof(SERIAL_STATUS));
        return RecorderComplete(Irp, STATUS_SUCCESS, sizeof(SERIAL_STATUS));
    case IOCTL_SERIAL_GET_PROPERTIES: {
        if (out < sizeof(SERIAL_COMMPROP) || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        SERIAL_COMMPROP prop;
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        RecorderFillProperties(ext, &prop);
        KeReleaseSpinLock(&ext->Lock, irql);
        RtlCopyMemory(buffer, &prop, sizeof prop);
        return RecorderComplete(Irp, STATUS_SUCCESS, sizeof prop);
    }
    case IOCTL_SERIAL_CONFIG_SIZE:
        if (out < sizeof(ULONG) || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        *reinterpret_cast<ULONG *>(buffer) = 0;
        return RecorderComplete(Irp, STATUS_SUCCESS, sizeof(ULONG));
    default:
        return RecorderComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

// ---------------------------------------------------------------------------
// Dispatch

NTSTATUS RecorderPrivateRequest(RECORDER_EXTENSION *ext, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_RECORDER_TAKE_LOG: {
        if (out < sizeof(RECORDER_LOG) || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        RtlCopyMemory(buffer, &ext->Log, sizeof(RECORDER_LOG));
        RtlZeroMemory(&ext->Log, sizeof(RECORDER_LOG));
        KeReleaseSpinLock(&ext->Lock, irql);
        return RecorderComplete(Irp, STATUS_SUCCESS, sizeof(RECORDER_LOG));
    }
    case IOCTL_RECORDER_SCRIPT:
        if (in < sizeof(RECORDER_ANSWER) || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        return RecorderComplete(Irp, RecorderStoreScript(ext, static_cast<RECORDER_ANSWER *>(buffer)), 0);
    case IOCTL_RECORDER_RELEASE: {
        if (in < sizeof(RECORDER_ANSWER) || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        RECORDER_ANSWER answer = *static_cast<RECORDER_ANSWER *>(buffer);
        LIST_ENTRY taken;
        InitializeListHead(&taken);
        RecorderTakeHeld(ext, NULL, &taken);
        RecorderCompleteTaken(&taken, &answer);
        return RecorderComplete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_RECORDER_HELD_COUNT:
        if (out < sizeof(ULONG) || buffer == NULL)
            return RecorderComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        *static_cast<ULONG *>(buffer) = RecorderHeldCount(ext);
        return RecorderComplete(Irp, STATUS_SUCCESS, sizeof(ULONG));
    default:
        return RecorderComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

BOOLEAN RecorderIsPrivateCode(ULONG code)
{
    return code == IOCTL_RECORDER_TAKE_LOG || code == IOCTL_RECORDER_SCRIPT || code == IOCTL_RECORDER_RELEASE ||
           code == IOCTL_RECORDER_HELD_COUNT;
}

NTSTATUS NTAPI RecorderDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RECORDER_EXTENSION *ext = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (RecorderIsPrivateCode(code))
        return RecorderPrivateRequest(ext, Irp);

    RecorderLogRequest(ext, stack, Irp->AssociatedIrp.SystemBuffer);
    RECORDER_ANSWER answer;
    if (RecorderFindScript(ext, code, &answer))
        return RecorderAnswer(ext, Irp, &answer);
    return RecorderSerialRequest(ext, Irp);
}

NTSTATUS NTAPI RecorderCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RECORDER_EXTENSION *ext = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        InterlockedIncrement(&ext->OpenCount);
        break;
    case IRP_MJ_CLOSE:
        InterlockedDecrement(&ext->OpenCount);
        break;
    case IRP_MJ_CLEANUP:
        RecorderCancelHeldOf(ext, stack->FileObject);
        break;
    default:
        break;
    }
    return RecorderComplete(Irp, STATUS_SUCCESS, 0);
}

// ---------------------------------------------------------------------------
// Plug and Play and power

NTSTATUS NTAPI RecorderLowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the drivers below have completed it.
NTSTATUS RecorderForwardAndWait(RECORDER_EXTENSION *ext, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, RecorderLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->LowerDeviceObject, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

void RecorderSetInterface(RECORDER_EXTENSION *ext, BOOLEAN enable)
{
    if (ext->InterfaceName.Buffer == NULL || ext->InterfaceEnabled == enable)
        return;
    if (NT_SUCCESS(IoSetDeviceInterfaceState(&ext->InterfaceName, enable)))
        ext->InterfaceEnabled = enable;
}

NTSTATUS RecorderPassDown(RECORDER_EXTENSION *ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI RecorderPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RECORDER_EXTENSION *ext = ExtensionOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = RecorderForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status))
            RecorderSetInterface(ext, TRUE);
        return RecorderComplete(Irp, status, Irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        // An open port cannot go away; the removal then waits for a restart.
        if (InterlockedCompareExchange(&ext->OpenCount, 0, 0) != 0)
            return RecorderComplete(Irp, STATUS_DEVICE_BUSY, 0);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return RecorderPassDown(ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        RecorderSetInterface(ext, FALSE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return RecorderPassDown(ext, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return RecorderPassDown(ext, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        RecorderSetInterface(ext, FALSE);
        RecorderCancelHeldOf(ext, NULL);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = RecorderPassDown(ext, Irp);
        IoDetachDevice(ext->LowerDeviceObject);
        RtlFreeUnicodeString(&ext->InterfaceName);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    default:
        return RecorderPassDown(ext, Irp);
    }
}

NTSTATUS NTAPI RecorderPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI RecorderAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(RECORDER_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT, 0,
                                     FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    RECORDER_EXTENSION *ext = ExtensionOf(fdo);
    ext->Self = fdo;
    KeInitializeSpinLock(&ext->Lock);
    InitializeListHead(&ext->Held);
    RecorderInitialSettings(&ext->Settings);

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL, &ext->InterfaceName);
    if (!NT_SUCCESS(status))
        goto delete_device;
    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (ext->LowerDeviceObject == NULL) {
        status = STATUS_NO_SUCH_DEVICE;
        goto free_interface_name;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

free_interface_name:
    RtlFreeUnicodeString(&ext->InterfaceName);
delete_device:
    IoDeleteDevice(fdo);
    return status;
}

VOID NTAPI RecorderUnload(PDRIVER_OBJECT DriverObject)
{
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverObject->MajorFunction[IRP_MJ_CREATE] = RecorderCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = RecorderCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = RecorderCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RecorderDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = RecorderPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = RecorderPower;
    DriverObject->DriverExtension->AddDevice = RecorderAddDevice;
    DriverObject->DriverUnload = RecorderUnload;
    return STATUS_SUCCESS;
}
