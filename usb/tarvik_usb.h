// tarvik_usb: WDM function driver of the Tarvik USB printer.
//
// Chief header: the per-device extension, the pipe table, the driver-wide
// state and the routines the driver's files share.
//
// Files:
//   driver.cpp         entry, add-device, unload, reference counts
//   urb.cpp            requests to the USB stack: URB submission, pipe and port requests
//   configuration.cpp  start-up (descriptors, configuration) and tear-down
//   pipe_table.cpp     pipe names and every access to the pipe table
//   pipes.cpp          create, close, read and write on pipe file objects
//   control.cpp        the private device-control requests
//   pnp.cpp            Plug and Play requests, capabilities
//   power.cpp          power requests and idle power management
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

#include "tarvik_usb_ioctl.h"
#include "shared_access.h"

// Pool tag "Tag1": the bytes T, a, g, 1 in memory order.
#define USB_POOL_TAG 0x31676154

// IOCTL_BULK_READ reads through the pipe opened last under pipe number 1;
// the driver remembers the latest pipe opened under each of the numbers 0-4.
#define PIPE_SLOT_COUNT 5
#define BULK_READ_PIPE_SLOT 1

// Room for the device interface's symbolic link name, terminating NUL included.
#define INTERFACE_NAME_CHARS 256

// Every pipe a transfer may be sent on, as selected by the configuration.
typedef struct _PIPE_CONTEXT {
    LONG OpenCount;                         // 1 while a file object has the pipe open
    USBD_PIPE_INFORMATION PipeInformation;  // as returned by select-configuration

    // The file object that has the pipe open; compared, never dereferenced.
    // Only its own close gives the pipe back, so that the late close of a
    // file object whose pipe an abort took away leaves a newer open alone.
    PFILE_OBJECT OpenFileObject;
} PIPE_CONTEXT, *PPIPE_CONTEXT;

// The pipes of one selected interface, in endpoint-descriptor order.
typedef struct _INTERFACE_PIPES {
    ULONG NumberOfPipes;
    PPIPE_CONTEXT Pipes;
} INTERFACE_PIPES, *PINTERFACE_PIPES;

typedef struct _USB_DEVICE_EXTENSION {
    PDEVICE_OBJECT LowerDeviceObject;       // everything the driver sends goes here
    PDEVICE_OBJECT PhysicalDeviceObject;    // target of the driver's device power requests
    DEVICE_POWER_STATE DevicePowerState;    // last device power state seen going through

    // The configuration, held from start-up to tear-down. Interfaces,
    // NumberOfInterfaces, ConfigurationDescriptor and ConfigurationHandle are
    // published and withdrawn under PipeTableLock, because the I/O paths read
    // them while a stop may be tearing them down.
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // wTotalLength bytes
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    ULONG NumberOfInterfaces;
    PINTERFACE_PIPES Interfaces;

    DEVICE_CAPABILITIES DeviceCapabilities; // as last reported by the lower driver
    PIRP PendingSystemPowerIrp;             // system set-power held for a device request

    KEVENT RemoveEvent;                     // OutstandingIo reached 0
    KEVENT StopEvent;                       // OutstandingIo fell to 1
    KEVENT PowerUpEvent;                    // an idle power-up has completed
    KSPIN_LOCK IoCountLock;
    LONG OutstandingIo;                     // base reference + one per request inside
    LONG OpenPipeCount;                     // pipe file objects open

    WCHAR InterfaceName[INTERFACE_NAME_CHARS];

    // Plug and Play and power flags; read and written with ReadShared/WriteShared.
    BOOLEAN DeviceRemoved;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    BOOLEAN DeviceStarted;
    BOOLEAN WaitWakeArmed;
    BOOLEAN PowerRequestPending;

    DEVICE_POWER_STATE IdlePowerState;      // where the device goes when nothing is open
    ULONG MaximumTransferSize;              // written into every pipe at configuration
    LONG DeviceOpenCount;                   // opens without a file name: 0 or 1
    PPIPE_CONTEXT PipeBySlot[PIPE_SLOT_COUNT];

    // Set by IOCTL_BULK_ABORT_READ, consumed by the wait of IOCTL_BULK_READ.
    // Per device: closing one printer's port must not cut another's read.
    BOOLEAN BulkReadCancelRequested;

    // Guards the pipe table (see above), PipeBySlot and the open/close
    // bookkeeping of each pipe.
    KSPIN_LOCK PipeTableLock;
} USB_DEVICE_EXTENSION, *PUSB_DEVICE_EXTENSION;

// Driver-wide state.
extern POOL_TYPE UsbPoolType;
extern PKMUTEX IdlePowerMutex;
extern BOOLEAN SurpriseRemovalSeen;

inline PUSB_DEVICE_EXTENSION DeviceExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PUSB_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

inline PVOID AllocatePool(SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(UsbPoolType, NumberOfBytes, USB_POOL_TAG);
}

inline VOID FreePool(PVOID Buffer)
{
    ExFreePoolWithTag(Buffer, USB_POOL_TAG);
}

// driver.cpp
VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject);
BOOLEAN IsDeviceUsable(PDEVICE_OBJECT DeviceObject);
IO_COMPLETION_ROUTINE SignalEventCompletion;

// urb.cpp
PURB AllocateUrb(USHORT Length);
VOID FreeUrb(PURB Urb);
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS SubmitUrbCancellable(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe);
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);

// configuration.cpp
NTSTATUS StartUsbDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS StopUsbDevice(PDEVICE_OBJECT DeviceObject);

// pipe_table.cpp
BOOLEAN ParsePipeName(PCUNICODE_STRING Name, PULONG InterfaceNumber, PULONG PipeNumber);
BOOLEAN LookupPipe(PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING FileName, PULONG InterfaceNumber, PULONG PipeNumber);
NTSTATUS ClaimPipe(PDEVICE_OBJECT DeviceObject, ULONG InterfaceNumber, ULONG PipeNumber, PFILE_OBJECT FileObject,
                   PPIPE_CONTEXT *Pipe);
VOID ReleasePipe(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe, PFILE_OBJECT FileObject);
VOID MarkPipeClosed(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe);
BOOLEAN IsPipeOfFileObject(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe, PFILE_OBJECT FileObject);
BOOLEAN CapturePipeHandle(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT Pipe, PFILE_OBJECT FileObject,
                          USBD_PIPE_HANDLE *PipeHandle);
BOOLEAN CaptureSlotPipeHandle(PDEVICE_OBJECT DeviceObject, ULONG Slot, USBD_PIPE_HANDLE *PipeHandle);
VOID PublishConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                          USBD_CONFIGURATION_HANDLE ConfigurationHandle, PINTERFACE_PIPES Interfaces,
                          ULONG NumberOfInterfaces);
VOID WithdrawConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR *ConfigurationDescriptor,
                           PINTERFACE_PIPES *Interfaces, PULONG NumberOfInterfaces);
NTSTATUS CopyConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG BufferLength,
                                     PULONG BytesCopied);

// pipes.cpp
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;

// control.cpp
DRIVER_DISPATCH DispatchDeviceControl;

// pnp.cpp
DRIVER_DISPATCH DispatchPnp;
NTSTATUS QueryLowerCapabilities(PDEVICE_OBJECT LowerDeviceObject, PDEVICE_CAPABILITIES Capabilities);
DEVICE_POWER_STATE IdleStateFromCapabilities(const DEVICE_CAPABILITIES *Capabilities);

// power.cpp
DRIVER_DISPATCH DispatchPower;
NTSTATUS SetIdlePower(PDEVICE_OBJECT DeviceObject, BOOLEAN PowerDown);
NTSTATUS RequestDevicePower(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
