// tarvik_serial: the COM port of the USB printer.
//
// The driver owns no hardware. Its device object sits directly above
// tarvik_usb's in the printer's device stack; everything that must reach the
// printer goes down as requests to LowerDeviceObject: create and close of two
// pipe file objects, the application's writes on one of them, and synchronous
// device-control requests. This header holds the per-device record and the
// routines each source file offers the others.
#pragma once

#include <ntddk.h>
#include <ntddser.h>
#include <usb.h>

#include "tarvik_usb_ioctl.h"
#include "serial_atomic.h"

// Pool tag "Tag1", passed with every allocation and every free of this driver.
#define SERIAL_POOL_TAG 0x31676154UL

// Receive buffer: RxBuffer and RxScratch each hold this many bytes;
// InQueueSize may be raised up to it.
#define SERIAL_RX_BUFFER_SIZE 8192UL
#define SERIAL_DEFAULT_IN_QUEUE_SIZE 512UL
#define SERIAL_DEFAULT_OUT_QUEUE_SIZE 8192UL

// The receive worker offers IOCTL_BULK_READ a little more room than the
// BULK_READ_RESULT it gets back.
#define SERIAL_BULK_READ_AREA_SIZE 72UL

// Relative waits, in 100-ns units.
#define SERIAL_READ_POLL_INTERVAL (-50000LL)       // 5 ms between read polls
#define SERIAL_WORKER_RETRY_INTERVAL (-100000LL)   // 10 ms receive-worker back-off
#define SERIAL_CLOSE_PAUSE_INTERVAL (-100000LL)    // 10 ms between close's looks at the worker
#define SERIAL_PIPE_DRAIN_INTERVAL (-10000LL)      // 1 ms while writes leave a closing pipe

#define SERIAL_WORKER_RETRY_PAUSES 20    // pauses after a failed bulk read
#define SERIAL_CLOSE_WAIT_PAUSES 201     // close waits at most this many pauses for the worker

// Serial events this driver can record; the others are accepted in a mask.
#define SERIAL_VALID_WAIT_MASK 0x00001FFFUL

// Reference bits of the armed wait-on-mask request, kept in its current stack
// location (Parameters.Others.Argument4) and changed under the cancel spin
// lock. Whoever clears the last bit completes the request.
#define WAIT_REF_RECORDER 0x00000001UL   // events may still be written into it, or its DPC is queued
#define WAIT_REF_CANCEL 0x00000002UL     // SerialCancelArmedWait is installed

// The printer's answer to vendor-interface request 1: bit 0x08 of the first
// status byte is set while the printer is not ready.
#define SERIAL_PRINTER_STATUS_REQUEST 1
#define SERIAL_PRINTER_NOT_READY 0x08

typedef struct _SERIAL_DEVICE_EXTENSION {
    // Device stack and reference counts.
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    KEVENT RemoveEvent;             // OutstandingIo reached 0
    KEVENT StopEvent;               // OutstandingIo is 1: nothing in flight but the base
    KSPIN_LOCK IoCountLock;
    LONG OutstandingIo;

    // Plug and Play state.
    BOOLEAN DeviceRemoved;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    BOOLEAN DeviceStarted;
    BOOLEAN DeviceIsOpen;

    // Pseudo file objects of the USB driver's pipes.
    PFILE_OBJECT Pipe1FileObject;   // "if0pipe1", the bulk-in pipe IOCTL_BULK_READ reads
    PFILE_OBJECT Pipe0FileObject;   // "if0pipe0", the bulk-out pipe writes go down on

    // COM port naming.
    ULONG SkipExternalNaming;
    UNICODE_STRING ComName;
    UNICODE_STRING InterfaceName;   // terminated copy of the COM-port interface's link name
    UNICODE_STRING DosLinkName;
    UNICODE_STRING SerialCommData;
    BOOLEAN CreatedSymbolicLink;
    BOOLEAN WroteSerialCommValue;

    // Port settings, stored and read back.
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS SpecialChars;      // EventChar raises SERIAL_EV_RXFLAG
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;       // the read timeouts drive SerialRead

    // Read path.
    LARGE_INTEGER ReadPollInterval;
    LONG ReadRefCount;              // base + queued or running worker + reads being served
    KEVENT ReadIdleEvent;           // ReadRefCount reached 0

    // Wait-on-mask; WaitMask, EventHistory, WaitResultLocation, the mask
    // queue and the armed wait are guarded by the cancel spin lock.
    ULONG WaitMask;
    ULONG EventHistory;
    PULONG WaitResultLocation;
    PIRP CurrentMaskIrp;
    PIRP CurrentWaitIrp;
    LIST_ENTRY MaskQueue;
    KDPC CommWaitDpc;
    LONG PendingDpcCount;           // 1 + queued CommWaitDpc runs
    KEVENT PendingDpcEvent;         // PendingDpcCount reached 0

    // Receive worker.
    PIO_WORKITEM ReadWorkItem;
    KEVENT ReadDelayEvent;          // never signalled: the object of the worker's pauses
    LARGE_INTEGER ReadRetryInterval;
    BOOLEAN KeepReading;
    ULONG RxCount;
    PUCHAR RxBuffer;
    PUCHAR RxScratch;
    ULONG InQueueSize;
    ULONG OutQueueSize;

    // Status.
    SERIAL_STATUS CommStatus;
    ULONG PendingErrors;            // SERIAL_ERROR_* since the last GET_COMMSTATUS
    BOOLEAN WriteInProgress;
    BOOLEAN AbortReads;
    KSPIN_LOCK RxLock;              // RxBuffer, RxScratch, RxCount
    BOOLEAN ReadAbortSent;
    BOOLEAN ReadWorkerRunning;

    // Bookkeeping that keeps teardown safe.
    PDEVICE_OBJECT DeviceObject;    // the device object this extension belongs to
    BOOLEAN Pipe1Opened;            // the USB driver accepted the create of Pipe1FileObject
    BOOLEAN Pipe0Opened;            // ... of Pipe0FileObject; writes use it only then
    LONG ActiveWriteCount;          // writes between reading Pipe0FileObject and IoCallDriver's return
} SERIAL_DEVICE_EXTENSION, *PSERIAL_DEVICE_EXTENSION;

inline PSERIAL_DEVICE_EXTENSION SerialExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PSERIAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// Pool type of the receive buffers and vendor request blocks: NonPagedPoolNx
// from Windows 8 on, NonPagedPool before. Set once in DriverEntry.
extern POOL_TYPE SerialPoolType;

// driver.cpp: entry, default dispatch, reference counts.
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_DISPATCH SerialDispatchPassThrough;
DRIVER_DISPATCH SerialDispatchPower;
DRIVER_UNLOAD SerialUnload;
VOID SerialIoIncrement(PDEVICE_OBJECT DeviceObject);
LONG SerialIoDecrement(PDEVICE_OBJECT DeviceObject);
VOID SerialReadRefIncrement(PDEVICE_OBJECT DeviceObject);
LONG SerialReadRefDecrement(PDEVICE_OBJECT DeviceObject);
NTSTATUS SerialCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
VOID SerialPause(LONGLONG RelativeInterval);

// pnp.cpp: device creation, Plug and Play.
DRIVER_ADD_DEVICE SerialAddDevice;
DRIVER_DISPATCH SerialDispatchPnp;
NTSTATUS SerialCreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PDEVICE_OBJECT *DeviceObject);
VOID SerialInitPortDefaults(PSERIAL_DEVICE_EXTENSION Extension);
NTSTATUS SerialStartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SerialStopDevice(PDEVICE_OBJECT DeviceObject);
VOID SerialRemoveDevice(PDEVICE_OBJECT DeviceObject);

// naming.cpp: the COM name, its DOS link and its SERIALCOMM value.
NTSTATUS SerialReadRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Buffer,
                                 ULONG BufferLength);
NTSTATUS SerialDoExternalNaming(PSERIAL_DEVICE_EXTENSION Extension);
VOID SerialUndoExternalNaming(PSERIAL_DEVICE_EXTENSION Extension);

// usb_channel.cpp: pipes and synchronous requests to the USB driver.
NTSTATUS SerialOpenPipes(PDEVICE_OBJECT DeviceObject);
VOID SerialClosePipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS SerialSendCreateClose(PSERIAL_DEVICE_EXTENSION Extension, UCHAR MajorFunction,
                               PFILE_OBJECT FileObject);
NTSTATUS SerialSendIoctl(PDEVICE_OBJECT Target, ULONG IoControlCode, PVOID InputBuffer,
                         ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength);
NTSTATUS SerialVendorRequest(PDEVICE_OBJECT Target, UCHAR UrbFunction, BOOLEAN DirectionIn,
                             UCHAR Request, USHORT Value, USHORT Index, USHORT Length,
                             PVOID Buffer);
PFILE_OBJECT SerialAcquireWritePipe(PSERIAL_DEVICE_EXTENSION Extension);
VOID SerialReleaseWritePipe(PSERIAL_DEVICE_EXTENSION Extension);

// openclose.cpp: the life of a port handle.
DRIVER_DISPATCH SerialCreate;
DRIVER_DISPATCH SerialClose;
DRIVER_DISPATCH SerialCleanup;
DRIVER_DISPATCH SerialQueryInformation;

// read.cpp: receive worker and read requests.
DRIVER_DISPATCH SerialRead;
IO_WORKITEM_ROUTINE ReceiveWorker;
BOOLEAN SerialStopReceiveWorker(PSERIAL_DEVICE_EXTENSION Extension, BOOLEAN AbortPollingReads);
VOID SerialDiscardReceivedData(PSERIAL_DEVICE_EXTENSION Extension);

// write.cpp
DRIVER_DISPATCH SerialWrite;

// ioctl.cpp: serial control requests. A handler completes its request
// itself (or hands it to the mask queue) and returns its status.
typedef NTSTATUS SERIAL_IOCTL_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID SystemBuffer,
                                      ULONG InputLength, ULONG OutputLength, PULONG_PTR Information);
DRIVER_DISPATCH SerialDeviceControl;
NTSTATUS SerialCompleteIoctl(PIRP Irp, NTSTATUS Status);

// purge.cpp
SERIAL_IOCTL_HANDLER SerialPurge;

// waitmask.cpp: event recorder, mask queue, armed wait, cancellation.
VOID SerialReportCommEvents(PSERIAL_DEVICE_EXTENSION Extension, ULONG Events);
VOID SerialFlushArmedWait(PSERIAL_DEVICE_EXTENSION Extension);
VOID SerialDiscardEventHistory(PSERIAL_DEVICE_EXTENSION Extension);
BOOLEAN SerialQueueCommWaitDpc(PSERIAL_DEVICE_EXTENSION Extension);
NTSTATUS SerialQueueMaskIrp(PSERIAL_DEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS SerialProcessMaskIrps(PSERIAL_DEVICE_EXTENSION Extension);
PIRP SerialNextMaskIrp(PSERIAL_DEVICE_EXTENSION Extension, BOOLEAN CompleteCurrent,
                       const KIRQL *HeldCancelIrql);
VOID SerialApplyWaitMask(PSERIAL_DEVICE_EXTENSION Extension);
VOID SerialArmWait(PSERIAL_DEVICE_EXTENSION Extension);
KDEFERRED_ROUTINE SerialCompleteWaitDpc;
VOID SerialCompleteCurrentWait(PSERIAL_DEVICE_EXTENSION Extension,
                               VOID (*SynchronisationStep)(PSERIAL_DEVICE_EXTENSION),
                               KIRQL CancelIrql, NTSTATUS Status, ULONG ReferenceBit);
DRIVER_CANCEL SerialCancelArmedWait;
VOID SerialReclaimArmedWait(PSERIAL_DEVICE_EXTENSION Extension);
DRIVER_CANCEL SerialCancelQueuedMaskIrp;
VOID SerialCancelMaskIrps(PDEVICE_OBJECT DeviceObject);
VOID SerialWaitForCommWaitDpcs(PSERIAL_DEVICE_EXTENSION Extension);
