// UsbHost: creation and teardown of the host controller, plugging and
// unplugging devices, and the enumeration a test does in place of the Plug
// and Play manager.
#include "bus.h"

#include "../kernel/irp.h"
#include "../kernel/pnp.h"

#include <mutex>
#include <stdexcept>

namespace winsim::usb {
namespace {

// Names for the trace of requests passing through the stack.
void RegisterNames()
{
    static std::once_flag once;
    std::call_once(once, [] {
    RegisterIoControlName(IOCTL_INTERNAL_USB_SUBMIT_URB, "IOCTL_INTERNAL_USB_SUBMIT_URB");
    RegisterIoControlName(IOCTL_INTERNAL_USB_RESET_PORT, "IOCTL_INTERNAL_USB_RESET_PORT");
    RegisterIoControlName(IOCTL_INTERNAL_USB_GET_PORT_STATUS, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
    });
}

}  // namespace

UsbHost::UsbHost(HostOptions options) : bus_(std::make_shared<Bus>(options))
{
    RegisterNames();
    bus_->Start();
    bus_->CreateHub(options.startHub);
    if (options.plugAndPlay)
        pnp::AttachBus(bus_->busPdo, options.busInstanceId);
    attached_ = options.plugAndPlay;
}

UsbHost::~UsbHost()
{
    if (attached_)
        pnp::DetachBus(bus_->busPdo);
    bus_->RemoveAllPdos();
    bus_->DeleteHub();
    bus_->Stop();
}

PDEVICE_OBJECT UsbHost::BusPdo() const { return bus_->busPdo; }
PDEVICE_OBJECT UsbHost::HubFdo() const { return bus_->hubFdo; }

void UsbHost::SetWireModel(WireModel wire)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    bus_->wire = wire;
    bus_->KickLocked();
}

void UsbHost::SetForcePending(bool force)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    bus_->forcePending = force;
}

ULONG UsbHost::CurrentFrame() const { return static_cast<ULONG>(bus_->FrameNow()); }

std::shared_ptr<UsbDevice> UsbHost::Plug(DeviceConfig config, unsigned port)
{
    {
        std::lock_guard<std::mutex> lock(bus_->Lock());
        if (port == 0) {
            for (unsigned i = 0; i < bus_->ports.size() && port == 0; i++)
                if (bus_->ports[i] == nullptr)
                    port = i + 1;
            if (port == 0)
                throw std::invalid_argument("every port of the USB hub is taken");
        } else if (port > bus_->ports.size() || bus_->ports[port - 1] != nullptr) {
            throw std::invalid_argument("USB port " + std::to_string(port) + " does not exist or is taken");
        }
    }
    auto state = std::make_unique<DeviceState>(std::move(config));
    state->port = port;
    auto device = std::make_shared<UsbDevice>(bus_, std::move(state));
    bus_->AddPdo(device, port);
    bus_->InvalidateRelations();
    return device;
}

void UsbHost::Unplug(UsbDevice &device) { device.Unplug(); }

std::vector<PDEVICE_OBJECT> UsbHost::QueryBusRelations()
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bus_->busPdo);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
    stack->Parameters.QueryDeviceRelations.Type = BusRelations;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = CallAndWait(top, irp, &event, &iosb);
    ObDereferenceObject(top);
    std::vector<PDEVICE_OBJECT> out;
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(iosb.Information);
    if (NT_SUCCESS(status) && relations != nullptr) {
        for (ULONG i = 0; i < relations->Count; i++) {
            out.push_back(relations->Objects[i]);
            ObDereferenceObject(relations->Objects[i]);
        }
        ExFreePool(relations);
    }
    return out;
}

}  // namespace winsim::usb
