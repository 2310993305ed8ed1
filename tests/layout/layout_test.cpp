// Pins the sizes and key offsets of the structures that cross a driver
// boundary or reach an application. Compiled in every build: against
// mingw-w64's headers in the Windows builds (which proves the numbers) and
// against winsim's headers in the host build (which must then agree).
// Reference values: the Windows x64 and x86 layouts of the WDK headers.
#include <ntddk.h>
#include <ntddser.h>
#include <stddef.h>

#define PIN_SIZE(type, x64, x86) \
    static_assert(sizeof(type) == (sizeof(void *) == 8 ? (x64) : (x86)), "size of " #type)
#define PIN_OFFSET(type, field, x64, x86) \
    static_assert(offsetof(type, field) == (sizeof(void *) == 8 ? (x64) : (x86)), #type "." #field)

// Word sizes of the Windows types, the same in every build.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2, "ULONG/LONG/USHORT");
static_assert(sizeof(WCHAR) == 2 && sizeof(L"A"[0]) == 2, "WCHAR and L literals are 16 bits");
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(NTSTATUS) == 4 && sizeof(BOOLEAN) == 1, "scalars");
static_assert(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR");

PIN_SIZE(UNICODE_STRING, 16, 8);
PIN_SIZE(LIST_ENTRY, 16, 8);
PIN_SIZE(IO_STATUS_BLOCK, 16, 8);
PIN_SIZE(KEVENT, 24, 16);
PIN_SIZE(KDPC, 64, 32);
PIN_SIZE(KMUTEX, 56, 32);
PIN_SIZE(MDL, 48, 28);

PIN_SIZE(IRP, 208, 112);
PIN_OFFSET(IRP, MdlAddress, 8, 4);
PIN_OFFSET(IRP, Flags, 16, 8);
PIN_OFFSET(IRP, AssociatedIrp, 24, 12);
PIN_OFFSET(IRP, IoStatus, 48, 24);
PIN_OFFSET(IRP, RequestorMode, 64, 32);
PIN_OFFSET(IRP, PendingReturned, 65, 33);
PIN_OFFSET(IRP, StackCount, 66, 34);
PIN_OFFSET(IRP, CurrentLocation, 67, 35);
PIN_OFFSET(IRP, Cancel, 68, 36);
PIN_OFFSET(IRP, CancelIrql, 69, 37);
PIN_OFFSET(IRP, UserIosb, 72, 40);
PIN_OFFSET(IRP, UserEvent, 80, 44);
PIN_OFFSET(IRP, CancelRoutine, 104, 56);
PIN_OFFSET(IRP, UserBuffer, 112, 60);
PIN_OFFSET(IRP, Tail.Overlay.DriverContext, 120, 64);
PIN_OFFSET(IRP, Tail.Overlay.Thread, 152, 80);
PIN_OFFSET(IRP, Tail.Overlay.ListEntry, 168, 88);
PIN_OFFSET(IRP, Tail.Overlay.CurrentStackLocation, 184, 96);
PIN_OFFSET(IRP, Tail.Overlay.OriginalFileObject, 192, 100);

PIN_SIZE(IO_STACK_LOCATION, 72, 36);
PIN_OFFSET(IO_STACK_LOCATION, Control, 3, 3);
PIN_OFFSET(IO_STACK_LOCATION, Parameters, 8, 4);
PIN_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 8, 4);
PIN_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 16, 8);
PIN_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 24, 12);
PIN_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 32, 16);
PIN_OFFSET(IO_STACK_LOCATION, Parameters.Read.Length, 8, 4);
PIN_OFFSET(IO_STACK_LOCATION, Parameters.Read.ByteOffset, 24, 12);
PIN_OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument4, 32, 16);
PIN_OFFSET(IO_STACK_LOCATION, DeviceObject, 40, 20);
PIN_OFFSET(IO_STACK_LOCATION, FileObject, 48, 24);
PIN_OFFSET(IO_STACK_LOCATION, CompletionRoutine, 56, 28);
PIN_OFFSET(IO_STACK_LOCATION, Context, 64, 32);

PIN_SIZE(FILE_OBJECT, 216, 128);
PIN_OFFSET(FILE_OBJECT, DeviceObject, 8, 4);
PIN_OFFSET(FILE_OBJECT, FsContext, 24, 12);
PIN_OFFSET(FILE_OBJECT, FsContext2, 32, 16);
PIN_OFFSET(FILE_OBJECT, FinalStatus, 56, 28);
PIN_OFFSET(FILE_OBJECT, Flags, 80, 44);
PIN_OFFSET(FILE_OBJECT, FileName, 88, 48);
PIN_OFFSET(FILE_OBJECT, CurrentByteOffset, 104, 56);
PIN_OFFSET(FILE_OBJECT, Event, 152, 92);

// DEVICE_OBJECT: the WDK has a trailing Reserved pointer mingw-w64 omits; pin the fields.
PIN_OFFSET(DEVICE_OBJECT, DriverObject, 8, 8);
PIN_OFFSET(DEVICE_OBJECT, NextDevice, 16, 12);
PIN_OFFSET(DEVICE_OBJECT, AttachedDevice, 24, 16);
PIN_OFFSET(DEVICE_OBJECT, Flags, 48, 28);
PIN_OFFSET(DEVICE_OBJECT, DeviceExtension, 64, 40);
PIN_OFFSET(DEVICE_OBJECT, DeviceType, 72, 44);
PIN_OFFSET(DEVICE_OBJECT, StackSize, 76, 48);

PIN_SIZE(DRIVER_OBJECT, 336, 168);
PIN_OFFSET(DRIVER_OBJECT, DriverExtension, 48, 24);
PIN_OFFSET(DRIVER_OBJECT, DriverUnload, 104, 52);
PIN_OFFSET(DRIVER_OBJECT, MajorFunction, 112, 56);

PIN_SIZE(DEVICE_CAPABILITIES, 64, 64);
PIN_OFFSET(DEVICE_CAPABILITIES, DeviceState, 16, 16);
PIN_OFFSET(DEVICE_CAPABILITIES, SystemWake, 44, 44);
PIN_OFFSET(DEVICE_CAPABILITIES, DeviceWake, 48, 48);

PIN_SIZE(KEY_VALUE_FULL_INFORMATION, 24, 24);
PIN_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset, 8, 8);
PIN_OFFSET(KEY_VALUE_FULL_INFORMATION, Name, 20, 20);
PIN_SIZE(KEY_VALUE_PARTIAL_INFORMATION, 16, 16);
PIN_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data, 12, 12);

PIN_SIZE(RTL_OSVERSIONINFOW, 276, 276);
PIN_OFFSET(RTL_OSVERSIONINFOW, dwMajorVersion, 4, 4);
PIN_OFFSET(RTL_OSVERSIONINFOW, dwMinorVersion, 8, 8);

PIN_SIZE(SERIAL_COMMPROP, 64, 64);
PIN_OFFSET(SERIAL_COMMPROP, MaxBaud, 20, 20);
PIN_OFFSET(SERIAL_COMMPROP, CurrentTxQueue, 44, 44);
PIN_OFFSET(SERIAL_COMMPROP, ProvChar, 60, 60);
PIN_SIZE(SERIAL_STATUS, 20, 20);
PIN_OFFSET(SERIAL_STATUS, AmountInInQueue, 8, 8);
PIN_OFFSET(SERIAL_STATUS, EofReceived, 16, 16);
PIN_OFFSET(SERIAL_STATUS, WaitForImmediate, 17, 17);
PIN_SIZE(SERIAL_HANDFLOW, 16, 16);
PIN_SIZE(SERIAL_TIMEOUTS, 20, 20);
PIN_SIZE(SERIAL_BAUD_RATE, 4, 4);
PIN_SIZE(SERIAL_LINE_CONTROL, 3, 3);
PIN_SIZE(SERIAL_CHARS, 6, 6);
PIN_SIZE(SERIAL_QUEUE_SIZE, 8, 8);

// The serial and USB control codes applications and drivers exchange.
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004, "IOCTL_SERIAL_SET_BAUD_RATE");
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x1B0048, "IOCTL_SERIAL_WAIT_ON_MASK");
static_assert(IOCTL_SERIAL_GET_COMMSTATUS == 0x1B006C, "IOCTL_SERIAL_GET_COMMSTATUS");
static_assert(IOCTL_SERIAL_GET_MODEMSTATUS == 0x1B0068, "IOCTL_SERIAL_GET_MODEMSTATUS");

// The URB interface between a USB client driver and the USB stack.
#include <usb.h>

PIN_SIZE(URB, 152, 96);
PIN_SIZE(struct _URB_BULK_OR_INTERRUPT_TRANSFER, 128, 72);
PIN_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags, 32, 20);
PIN_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength, 36, 24);
PIN_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL, 48, 32);
PIN_SIZE(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, 136, 80);
PIN_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits, 128, 72);
PIN_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index, 132, 76);
PIN_SIZE(struct _URB_CONTROL_DESCRIPTOR_REQUEST, 136, 80);
PIN_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index, 130, 74);
PIN_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId, 132, 76);
PIN_SIZE(struct _URB_SELECT_CONFIGURATION, 88, 60);
PIN_OFFSET(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle, 32, 20);
PIN_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface, 40, 24);
PIN_SIZE(struct _URB_PIPE_REQUEST, 40, 24);
PIN_SIZE(USBD_PIPE_INFORMATION, 24, 20);
PIN_OFFSET(USBD_PIPE_INFORMATION, PipeHandle, 8, 8);
PIN_OFFSET(USBD_PIPE_INFORMATION, MaximumTransferSize, 16, 12);
PIN_SIZE(USBD_INTERFACE_INFORMATION, 48, 36);
PIN_OFFSET(USBD_INTERFACE_INFORMATION, NumberOfPipes, 16, 12);
PIN_OFFSET(USBD_INTERFACE_INFORMATION, Pipes, 24, 16);
