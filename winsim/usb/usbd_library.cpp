// The USBD library routines client drivers call (usbd.sys on Windows):
// descriptor parsing and building of select-configuration URBs. Descriptors
// come from the device and are not trusted: every routine stays inside the
// configuration descriptor's wTotalLength and gives up on a malformed one
// instead of reading past it.
#include "descriptor_walk.h"

#include "../kernel/internal.h"
#include "../kernel/machine.h"

#include <wdm.h>
extern "C" {
#include <usbdlib.h>
}

namespace winsim::usb {
namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // 'USBD'

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

// Whether the interface descriptor a client put into an interface list lies
// wholly inside the configuration descriptor.
bool InsideConfiguration(const USB_CONFIGURATION_DESCRIPTOR *configuration, size_t total,
                         const USB_INTERFACE_DESCRIPTOR *interface)
{
    auto begin = reinterpret_cast<const UCHAR *>(configuration);
    auto p = reinterpret_cast<const UCHAR *>(interface);
    return p >= begin && p + sizeof(USB_INTERFACE_DESCRIPTOR) <= begin + total &&
           interface->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           interface->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE;
}

// Allocates (from nonpaged pool, on behalf of the calling driver, which
// frees it with ExFreePool) a select-configuration URB with one
// USBD_INTERFACE_INFORMATION per list entry, sized for the interface's
// endpoints, and points each entry's Interface at its information. Returns
// NULL if the list is empty, an entry's descriptor does not lie inside the
// configuration descriptor, the URB would not fit its 16-bit length, or
// pool is short.
PURB CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSBD_INTERFACE_LIST_ENTRY interfaceList,
                                const void *caller)
{
    size_t total = ConfigurationLength(configuration);
    if (total == 0 || interfaceList == nullptr)
        return nullptr;

    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
        if (!InsideConfiguration(configuration, total, entry->InterfaceDescriptor))
            return nullptr;
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        interfaces++;
    }
    if (interfaces == 0 || size > MAXUSHORT)
        return nullptr;

    size_t allocation = size < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION) : size;
    auto urb = static_cast<PURB>(
        PoolAllocate(NonPagedPoolNx, allocation, kUsbdTag, caller, "USBD_CreateConfigurationRequestEx"));
    if (urb == nullptr)
        return nullptr;
    memset(urb, 0, allocation);
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), configuration);

    auto info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
        PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG p = 0; p < d->bNumEndpoints; p++) {
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[p].PipeFlags = 0;
        }
        entry->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    return urb;
}

}  // namespace
}  // namespace winsim::usb

using namespace winsim;
using namespace winsim::usb;

extern "C" {

// USBDI_Version 0x600 for Windows Vista and later, 0x500 for XP; USB 2.0.
VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION versionInformation)
{
    if (versionInformation == nullptr)
        return;
    Machine *machine = Machine::CurrentOrNull();
    ULONG major = machine ? machine->Config().osMajor : 10;
    versionInformation->USBDI_Version = major >= 6 ? 0x600 : 0x500;
    versionInformation->Supported_USB_Version = 0x200;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength, PVOID startPosition,
                                                   LONG descriptorType)
{
    if (descriptorBuffer == nullptr)
        return nullptr;
    DescriptorWalk walk(descriptorBuffer, totalLength);
    walk.StartAt(startPosition);
    while (const USB_COMMON_DESCRIPTOR *d = walk.Next())
        if (d->bDescriptorType == descriptorType)
            return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                                    PVOID startPosition, LONG interfaceNumber,
                                                                    LONG alternateSetting, LONG interfaceClass,
                                                                    LONG interfaceSubClass, LONG interfaceProtocol)
{
    size_t total = ConfigurationLength(configuration);
    if (total == 0)
        return nullptr;
    DescriptorWalk walk(configuration, total);
    walk.StartAt(startPosition);
    while (const USB_COMMON_DESCRIPTOR *d = walk.Next()) {
        const USB_INTERFACE_DESCRIPTOR *i = AsInterface(d);
        if (i != nullptr && Matches(interfaceNumber, i->bInterfaceNumber) &&
            Matches(alternateSetting, i->bAlternateSetting) && Matches(interfaceClass, i->bInterfaceClass) &&
            Matches(interfaceSubClass, i->bInterfaceSubClass) && Matches(interfaceProtocol, i->bInterfaceProtocol))
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                                  UCHAR interfaceNumber, UCHAR alternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(configuration, configuration, interfaceNumber, alternateSetting, -1,
                                               -1, -1);
}

// The interface descriptor and everything that follows it up to the next
// interface descriptor or the end of the buffer.
ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, PUCHAR bufferEnd)
{
    if (interfaceDescriptor == nullptr || bufferEnd <= reinterpret_cast<PUCHAR>(interfaceDescriptor))
        return 0;
    DescriptorWalk walk(interfaceDescriptor, bufferEnd - reinterpret_cast<PUCHAR>(interfaceDescriptor));
    ULONG length = 0;
    for (const USB_COMMON_DESCRIPTOR *d = walk.Next(); d != nullptr; d = walk.Next()) {
        if (length != 0 && d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        length += d->bLength;
    }
    return length;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                             PUSBD_INTERFACE_LIST_ENTRY interfaceList)
{
    return CreateConfigurationRequest(configuration, interfaceList, __builtin_return_address(0));
}

// The older form: every interface's first alternate setting, in interface
// number order; the URB's length goes to *siz.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSHORT siz)
{
    size_t total = ConfigurationLength(configuration);
    if (total == 0)
        return nullptr;
    USBD_INTERFACE_LIST_ENTRY list[256 + 1] = {};
    size_t count = 0;
    for (ULONG number = 0; number < configuration->bNumInterfaces; number++) {
        PUSB_INTERFACE_DESCRIPTOR d =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, -1, -1, -1, -1);
        if (d != nullptr)
            list[count++].InterfaceDescriptor = d;
    }
    PURB urb = count == 0 ? nullptr : CreateConfigurationRequest(configuration, list, __builtin_return_address(0));
    if (siz != nullptr)
        *siz = urb ? urb->UrbHeader.Length : 0;
    return urb;
}

}  // extern "C"
