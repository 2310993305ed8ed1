// Start-up and tear-down of the device's USB configuration: the device and
// configuration descriptors, the selection of the configuration with every
// interface in its first alternate setting, and the pipe table built from
// what the USB stack returns.
#include "tarvik_usb.h"

// The first configuration-descriptor request asks for the 9-byte
// descriptor plus 512 bytes, which holds the whole set of most devices.
#define FIRST_CONFIGURATION_REQUEST_SIZE (sizeof(USB_CONFIGURATION_DESCRIPTOR) + 512)

// Asks for descriptor index 0 of the given type, language 0.
static NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR DescriptorType, PVOID Buffer, ULONG Length,
                              PULONG BytesReceived)
{
    PURB urb;
    NTSTATUS status;

    *BytesReceived = 0;
    urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), DescriptorType, 0, 0,
                                 Buffer, NULL, Length, NULL);
    status = SubmitUrb(DeviceObject, urb);
    *BytesReceived = urb->UrbControlDescriptorRequest.TransferBufferLength;

    FreeUrb(urb);
    return status;
}

static NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject)
{
    PUSB_DEVICE_DESCRIPTOR descriptor;
    ULONG received;
    NTSTATUS status;

    descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocatePool(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    status = GetDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR),
                           &received);
    if (!NT_SUCCESS(status)) {
        FreePool(descriptor);
        return status;
    }
    DeviceExtension(DeviceObject)->DeviceDescriptor = descriptor;
    return STATUS_SUCCESS;
}

// The configuration descriptor comes from the device and is not trusted:
// before the USBD library or the pipe table walk it, the whole set must have
// arrived and every descriptor in it must lie inside wTotalLength.
static BOOLEAN IsConfigurationDescriptorValid(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG BytesReceived)
{
    PUCHAR base = reinterpret_cast<PUCHAR>(Descriptor);
    ULONG total = Descriptor->wTotalLength;
    ULONG offset;
    ULONG length;

    if (BytesReceived < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return FALSE;
    if (Descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        Descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return FALSE;
    if (total < Descriptor->bLength || total > BytesReceived)
        return FALSE;

    for (offset = 0; offset < total; offset += length) {
        PUSB_COMMON_DESCRIPTOR common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(base + offset);

        if (total - offset < sizeof(USB_COMMON_DESCRIPTOR))
            return FALSE;
        length = common->bLength;
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > total - offset)
            return FALSE;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR))
            return FALSE;
        if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR))
            return FALSE;
    }
    return TRUE;
}

// Reads the whole configuration descriptor and selects the configuration.
// The first request usually gets everything; when wTotalLength says there
// is more, the descriptor is read again at that size. The size grows at
// every pass and wTotalLength has 16 bits, so the loop ends.
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject)
{
    ULONG requestSize = FIRST_CONFIGURATION_REQUEST_SIZE;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor;
    ULONG received;
    NTSTATUS status;

    for (;;) {
        descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(requestSize));
        if (descriptor == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(descriptor, requestSize);

        // The loop is steered by what arrived, not by the status.
        status = GetDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, requestSize, &received);
        if (received == 0 || descriptor->wTotalLength <= requestSize)
            break;
        requestSize = descriptor->wTotalLength;
        FreePool(descriptor);
    }

    if (!IsConfigurationDescriptorValid(descriptor, received < requestSize ? received : requestSize)) {
        if (NT_SUCCESS(status))
            status = STATUS_DEVICE_DATA_ERROR;
        goto free_descriptor;
    }

    status = SelectConfiguration(DeviceObject, descriptor);
    if (!NT_SUCCESS(status))
        goto free_descriptor;
    return STATUS_SUCCESS;

free_descriptor:
    FreePool(descriptor);
    return status;
}

// Lists the first alternate setting of interfaces 0, 1, ... in descriptor
// order, stopping at the first number the descriptor does not hold, and
// terminates the list. Returns the number of interfaces listed.
static ULONG ListInterfaces(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, PUSBD_INTERFACE_LIST_ENTRY List,
                            ULONG NumberOfInterfaces)
{
    ULONG found;

    for (found = 0; found < NumberOfInterfaces; found++) {
        PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(Descriptor, Descriptor, static_cast<LONG>(found), -1, -1, -1, -1);
        if (interfaceDescriptor == NULL)
            break;
        List[found].InterfaceDescriptor = interfaceDescriptor;
        List[found].Interface = NULL;
    }
    List[found].InterfaceDescriptor = NULL;
    List[found].Interface = NULL;
    return found;
}

static VOID SetMaximumTransferSize(PUSBD_INTERFACE_LIST_ENTRY List, ULONG NumberOfInterfaces,
                                   ULONG MaximumTransferSize)
{
    for (ULONG i = 0; i < NumberOfInterfaces; i++) {
        PUSBD_INTERFACE_INFORMATION information = List[i].Interface;

        for (ULONG p = 0; p < information->NumberOfPipes; p++)
            information->Pipes[p].MaximumTransferSize = MaximumTransferSize;
    }
}

static VOID FreePipeTable(PINTERFACE_PIPES Interfaces, ULONG NumberOfInterfaces)
{
    for (ULONG i = 0; i < NumberOfInterfaces; i++) {
        if (Interfaces[i].Pipes != NULL)
            FreePool(Interfaces[i].Pipes);
    }
    FreePool(Interfaces);
}

// Copies the pipe information that select-configuration returned into a
// table of the driver's own: one INTERFACE_PIPES per interface, one
// PIPE_CONTEXT per pipe in the order the stack lists them.
static NTSTATUS BuildPipeTable(PUSBD_INTERFACE_LIST_ENTRY List, ULONG NumberOfInterfaces,
                               PINTERFACE_PIPES *Table)
{
    PINTERFACE_PIPES interfaces;

    interfaces = static_cast<PINTERFACE_PIPES>(AllocatePool(NumberOfInterfaces * sizeof(INTERFACE_PIPES)));
    if (interfaces == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(interfaces, NumberOfInterfaces * sizeof(INTERFACE_PIPES));

    for (ULONG i = 0; i < NumberOfInterfaces; i++) {
        PUSBD_INTERFACE_INFORMATION information = List[i].Interface;
        ULONG numberOfPipes = information->NumberOfPipes;
        PPIPE_CONTEXT pipes;

        if (numberOfPipes == 0)
            continue;
        pipes = static_cast<PPIPE_CONTEXT>(AllocatePool(numberOfPipes * sizeof(PIPE_CONTEXT)));
        if (pipes == NULL) {
            FreePipeTable(interfaces, i);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(pipes, numberOfPipes * sizeof(PIPE_CONTEXT));
        for (ULONG p = 0; p < numberOfPipes; p++)
            pipes[p].PipeInformation = information->Pipes[p];
        interfaces[i].Pipes = pipes;
        interfaces[i].NumberOfPipes = numberOfPipes;
    }

    *Table = interfaces;
    return STATUS_SUCCESS;
}

// Puts the device back into the unconfigured state. If no URB can be had,
// the device stays configured; nothing of the driver depends on it.
static VOID DeconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PURB urb;

    urb = AllocateUrb(sizeof(struct _URB_SELECT_CONFIGURATION));
    if (urb == NULL)
        return;
    UsbBuildSelectConfigurationRequest(urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    SubmitUrb(DeviceObject, urb);
    FreeUrb(urb);
}

// Selects the configuration and publishes it with its pipe table. On
// success the extension owns ConfigurationDescriptor; on failure the caller
// still does.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    ULONG numberOfInterfaces = ConfigurationDescriptor->bNumInterfaces;
    PUSBD_INTERFACE_LIST_ENTRY list;
    PINTERFACE_PIPES interfaces;
    ULONG found;
    PURB urb;
    NTSTATUS status;

    list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocatePool((numberOfInterfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (list == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    found = ListInterfaces(ConfigurationDescriptor, list, numberOfInterfaces);
    if (found == 0) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto free_list;
    }

    urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto free_list;
    }
    SetMaximumTransferSize(list, found, extension->MaximumTransferSize);

    status = SubmitUrb(DeviceObject, urb);
    if (!NT_SUCCESS(status))
        goto free_urb;

    // Without its pipe table the configured device is of no use: leave it
    // unconfigured again and fail the start.
    status = BuildPipeTable(list, found, &interfaces);
    if (!NT_SUCCESS(status)) {
        DeconfigureDevice(DeviceObject);
        goto free_urb;
    }

    PublishConfiguration(DeviceObject, ConfigurationDescriptor, urb->UrbSelectConfiguration.ConfigurationHandle,
                         interfaces, found);

free_urb:
    ExFreePool(urb);    // built by the USBD library, which allocated it untagged
free_list:
    FreePool(list);
    return status;
}

// Runs once the lower drivers have started the device. Whatever a failing
// start has read is freed again, so that a later start or the removal
// finds nothing left behind.
NTSTATUS StartUsbDevice(PDEVICE_OBJECT DeviceObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    NTSTATUS status;

    status = ReadDeviceDescriptor(DeviceObject);
    if (!NT_SUCCESS(status))
        return status;

    status = ReadConfiguration(DeviceObject);
    if (!NT_SUCCESS(status))
        goto free_device_descriptor;

    WriteShared(&extension->DeviceStarted, TRUE);
    return STATUS_SUCCESS;

free_device_descriptor:
    FreePool(extension->DeviceDescriptor);
    extension->DeviceDescriptor = NULL;
    return status;
}

// Aborts every open pipe, which ends its pending transfers and closes it.
// The table is built and freed only in the Plug and Play thread, which is
// running this, so it can be walked without the lock.
static VOID AbortOpenPipes(PDEVICE_OBJECT DeviceObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);

    for (ULONG i = 0; i < extension->NumberOfInterfaces; i++) {
        PINTERFACE_PIPES interfacePipes = &extension->Interfaces[i];

        for (ULONG p = 0; p < interfacePipes->NumberOfPipes; p++) {
            if (ReadShared(&interfacePipes->Pipes[p].OpenCount) != 0)
                AbortPipe(DeviceObject, &interfacePipes->Pipes[p]);
        }
    }
}

static VOID FreeConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor;
    PINTERFACE_PIPES interfaces;
    ULONG numberOfInterfaces;

    WithdrawConfiguration(DeviceObject, &configurationDescriptor, &interfaces, &numberOfInterfaces);
    if (interfaces != NULL)
        FreePipeTable(interfaces, numberOfInterfaces);
    if (configurationDescriptor != NULL)
        FreePool(configurationDescriptor);
    if (extension->DeviceDescriptor != NULL) {
        FreePool(extension->DeviceDescriptor);
        extension->DeviceDescriptor = NULL;
    }
}

// The tear-down of stop and removal. It never fails: failed aborts and a
// failed deconfigure are ignored and the memory is freed regardless.
NTSTATUS StopUsbDevice(PDEVICE_OBJECT DeviceObject)
{
    PUSB_DEVICE_EXTENSION extension = DeviceExtension(DeviceObject);

    // Refuse new I/O for the whole tear-down.
    WriteShared(&extension->DeviceStarted, FALSE);

    AbortOpenPipes(DeviceObject);
    DeconfigureDevice(DeviceObject);
    FreeConfiguration(DeviceObject);

    WriteShared(&extension->StopPending, FALSE);
    return STATUS_SUCCESS;
}
