// Public interface of tarvik_usb: its private device-control codes and the
// records they carry. Shared by tarvik_serial and by applications that open
// the printer's pipes directly.
#pragma once

#ifndef CTL_CODE
#include <winioctl.h>
#endif

// Device interface class under which the driver registers every printer it
// drives: {67BD7ECD-F786-43D1-8FE0-2C32E029D0FE}. A pipe is opened by
// appending a backslash and the pipe's name ("if0pipe0") to the interface's
// symbolic link; the link alone opens the device for the control requests.
// Include <initguid.h> before this header in one source file to define it.
DEFINE_GUID(GUID_DEVINTERFACE_USB_PIPES,
            0x67bd7ecd, 0xf786, 0x43d1, 0x8f, 0xe0, 0x2c, 0x32, 0xe0, 0x29, 0xd0, 0xfe);

// All codes: FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS; input and
// output share the request's system buffer.
#define TARVIK_USB_CTL_CODE(function) CTL_CODE(FILE_DEVICE_UNKNOWN, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_GET_CONFIG_DESCRIPTOR TARVIK_USB_CTL_CODE(0)     // 0x220000
#define IOCTL_RESET_DEVICE_PORT     TARVIK_USB_CTL_CODE(1)     // 0x220004
#define IOCTL_RESET_PIPE            TARVIK_USB_CTL_CODE(2)     // 0x220008
#define IOCTL_VENDOR_REQUEST_IN     TARVIK_USB_CTL_CODE(3)     // 0x22000C
#define IOCTL_VENDOR_REQUEST_OUT    TARVIK_USB_CTL_CODE(4)     // 0x220010
#define IOCTL_GET_USB_DESCRIPTOR    TARVIK_USB_CTL_CODE(5)     // 0x220014
#define IOCTL_GET_DEVICE_READY      TARVIK_USB_CTL_CODE(6)     // 0x220018
// Function 7 is not assigned.
#define IOCTL_GET_USB_STATUS        TARVIK_USB_CTL_CODE(8)     // 0x220020
#define IOCTL_ABORT_PIPE            TARVIK_USB_CTL_CODE(9)     // 0x220024
#define IOCTL_BULK_READ             TARVIK_USB_CTL_CODE(0x800) // 0x222000
#define IOCTL_BULK_ABORT_READ       TARVIK_USB_CTL_CODE(0x801) // 0x222004

#include <pshpack1.h>

// Head of the input of IOCTL_VENDOR_REQUEST_IN and IOCTL_VENDOR_REQUEST_OUT.
// For IOCTL_VENDOR_REQUEST_OUT the bytes to send follow it.
typedef struct _VENDOR_REQUEST_BLOCK {
    USHORT UrbFunction;             // URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_*
    USHORT Reserved1;
    ULONG TransferFlags;            // only USBD_SHORT_TRANSFER_OK is taken
    UCHAR RequestTypeReservedBits;
    UCHAR Request;                  // bRequest
    USHORT Value;                   // wValue
    USHORT Index;                   // wIndex
    USHORT Reserved2;
} VENDOR_REQUEST_BLOCK, *PVENDOR_REQUEST_BLOCK;

#define BULK_READ_DATA_SIZE 64

// Output of IOCTL_BULK_READ: the bytes of one bulk-in transfer.
typedef struct _BULK_READ_RESULT {
    ULONG Length;                   // bytes received
    UCHAR Data[BULK_READ_DATA_SIZE];// received bytes, zero-filled after Length
} BULK_READ_RESULT, *PBULK_READ_RESULT;

#include <poppack.h>

#ifdef __cplusplus
static_assert(sizeof(VENDOR_REQUEST_BLOCK) == 16, "VENDOR_REQUEST_BLOCK is 16 bytes");
static_assert(sizeof(BULK_READ_RESULT) == 68, "BULK_READ_RESULT is 68 bytes");
#endif
