// Plug and Play requests to a device's PDO, answered as the USB hub driver
// answers them: identifiers built from the device descriptor, the
// capabilities the hub reports, and the removal rules of a bus driver (the
// PDO is deleted only by a removal that follows an enumeration which no
// longer listed it; anything arriving after that is still answered).
#include "bus.h"

#include <cstdio>

namespace winsim::usb {
namespace {

constexpr ULONG kIdTag = 0x49425355;  // 'USBI'

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Requests a bus driver does not answer keep the status they arrived with.
NTSTATUS CompleteUnchanged(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A string (or a MULTI_SZ, when it holds NULs) in paged pool, which the
// Plug and Play manager frees with ExFreePool.
PWCHAR PoolString(const std::u16string &text)
{
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto s = static_cast<PWCHAR>(PoolAllocate(PagedPool, bytes, kIdTag, nullptr, nullptr));
    memcpy(s, text.c_str(), bytes);
    return s;
}

std::u16string MultiSz(const std::vector<std::u16string> &strings)
{
    std::u16string out;
    for (auto &s : strings) {
        out += s;
        out.push_back(u'\0');
    }
    return out;  // PoolString adds the final NUL
}

// The compatible IDs of "Standard USB Identifiers": the class codes of the
// device descriptor, or, when the device leaves its class to its interfaces,
// those of the first interface; a device with several interfaces and no
// class of its own is composite.
std::vector<std::u16string> CompatibleIds(const DeviceConfig &config, const std::vector<UCHAR> &configuration)
{
    auto classIds = [](const std::u16string &prefix, UCHAR cls, UCHAR sub, UCHAR prot) {
        std::u16string c = prefix + HexU16(cls, 2);
        std::u16string cs = c + u"&SubClass_" + HexU16(sub, 2);
        return std::vector<std::u16string>{cs + u"&Prot_" + HexU16(prot, 2), cs, c};
    };
    UCHAR interfaces = configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) ? configuration[4] : 0;
    if (config.deviceClass == 0 && interfaces > 1) {
        auto ids = classIds(u"USB\\DevClass_", 0, 0, 0);
        ids.push_back(u"USB\\COMPOSITE");
        return ids;
    }
    if (config.deviceClass != 0)
        return classIds(u"USB\\Class_", config.deviceClass, config.deviceSubClass, config.deviceProtocol);
    for (auto &i : config.interfaces)
        if (i.alternateSetting == 0)
            return classIds(u"USB\\Class_", i.interfaceClass, i.subClass, i.protocol);
    return {};
}

NTSTATUS QueryId(PdoContext &p, PIRP irp)
{
    const DeviceConfig &config = p.device->Config();
    std::u16string text;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        text = p.deviceId;
        break;
    case BusQueryHardwareIDs:
        text = MultiSz({p.deviceId + u"&REV_" + HexU16(config.bcdDevice, 4), p.deviceId});
        break;
    case BusQueryCompatibleIDs: {
        std::vector<UCHAR> configuration;
        {
            std::lock_guard<std::mutex> lock(p.bus->Lock());
            configuration = p.Device().configurationDescriptor;
        }
        text = MultiSz(CompatibleIds(config, configuration));
        break;
    }
    case BusQueryInstanceID:
        text = p.instanceId;
        break;
    default:
        return CompleteUnchanged(irp);
    }
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolString(text)));
}

NTSTATUS QueryText(PdoContext &p, PIRP irp)
{
    std::u16string text;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
        text = p.device->Config().product.empty() ? u"USB Device" : p.device->Config().product;
        break;
    case DeviceTextLocationInformation: {
        char location[32];
        snprintf(location, sizeof location, "Port_#%04u.Hub_#0001", p.port);
        text = Wide(location);
        break;
    }
    default:
        return CompleteUnchanged(irp);
    }
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolString(text)));
}

NTSTATUS QueryCapabilities(PdoContext &p, PIRP irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_UNSUCCESSFUL);
    PowerCapabilities power;
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        power = p.Device().config.power;
    }
    caps->DeviceD1 = power.deviceD1;
    caps->DeviceD2 = power.deviceD2;
    caps->LockSupported = FALSE;
    caps->EjectSupported = FALSE;
    caps->Removable = TRUE;
    caps->DockDevice = FALSE;
    caps->UniqueID = p.instanceId == p.device->Config().serialNumber;
    caps->SilentInstall = FALSE;
    caps->RawDeviceOK = FALSE;
    caps->SurpriseRemovalOK = FALSE;
    caps->WakeFromD0 = power.wakeFromD0;
    caps->WakeFromD1 = power.wakeFromD1;
    caps->WakeFromD2 = power.wakeFromD2;
    caps->WakeFromD3 = power.wakeFromD3;
    caps->HardwareDisabled = FALSE;
    caps->Address = p.port;
    caps->UINumber = p.port;
    for (int s = 0; s < PowerSystemMaximum; s++)
        caps->DeviceState[s] = power.deviceState[s];
    caps->SystemWake = power.systemWake;
    caps->DeviceWake = power.deviceWake;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS QueryTargetRelation(PdoContext &p, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
        return CompleteUnchanged(irp);
    auto relations = static_cast<PDEVICE_RELATIONS>(
        PoolAllocate(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag, nullptr, nullptr));
    relations->Count = 1;
    relations->Objects[0] = p.pdo;
    ObReferenceObject(p.pdo);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

// Removal. The device handle goes (its requests fail, its configuration is
// dropped, a wait for wake ends); if the last enumeration no longer listed
// the device, the PDO is deleted. The bus keeps a reference, so a request
// that still reaches it (a second remove, when a driver above turned a
// surprise removal into a removal) finds it and is answered.
NTSTATUS RemoveDevice(PdoContext &p, PIRP irp)
{
    bool deleteNow;
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        if (p.deleted)
            deleteNow = false;
        else {
            p.removed = true;
            p.started = false;
            p.bus->FailAll(p, USBD_STATUS_DEVICE_GONE);
            CloseConfiguration(*p.bus, p);
            CompleteWaitWake(p, STATUS_NO_SUCH_DEVICE);
            // A device that is gone but still listed waits for the
            // enumeration that drops it and the removal after that.
            deleteNow = p.missing;
            p.deleted = deleteNow;
        }
    }
    Complete(irp, STATUS_SUCCESS);
    if (deleteNow) {
        p.bus->FlushCompletions();
        IoDeleteDevice(p.pdo);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PdoDispatchPnp(PdoContext &p, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool deleted;
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        deleted = p.deleted;
    }
    if (deleted) {
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE)
            return Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        if (!p.Connected())
            return Complete(irp, STATUS_NO_SUCH_DEVICE);
        p.started = true;
        p.removed = false;
        p.surpriseRemoved = false;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE: {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        p.started = false;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_SURPRISE_REMOVAL: {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        p.surpriseRemoved = true;
        p.bus->FailAll(p, USBD_STATUS_DEVICE_GONE);
        CompleteWaitWake(p, STATUS_NO_SUCH_DEVICE);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(p, irp);
    case IRP_MN_QUERY_ID:
        return QueryId(p, irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryText(p, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(p, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryTargetRelation(p, irp);
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        // A USB device has no hardware resources of its own.
        return Complete(irp, STATUS_SUCCESS);
    default:
        return CompleteUnchanged(irp);
    }
}

}  // namespace winsim::usb
