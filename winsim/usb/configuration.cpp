// Select-configuration: validates the client's URB against the
// configuration descriptor it passes, sends SET_CONFIGURATION, opens a pipe
// for every endpoint of every interface listed and reports handles and pipe
// information back in the URB. A NULL descriptor puts the device into the
// unconfigured state. Either way the previous pipes close and requests still
// queued on them are cancelled.
#include "bus.h"

#include "descriptor_walk.h"

#include <atomic>

extern "C" {
#include <usbdlib.h>
}

namespace winsim::usb {
namespace {

// Opaque handle values: in the kernel half of the address space, never
// reused, never memory. A driver that dereferences one crashes, as it
// should.
std::atomic<uintptr_t> g_nextHandle{0};

PVOID NewHandle()
{
    return reinterpret_cast<PVOID>(0xFFFFA5B000000000ull + (++g_nextHandle) * 0x100);
}

struct InterfacePlan {
    PUSBD_INTERFACE_INFORMATION info;
    const USB_INTERFACE_DESCRIPTOR *descriptor;
    std::vector<const USB_ENDPOINT_DESCRIPTOR *> endpoints;
    USHORT length;
};

const USB_INTERFACE_DESCRIPTOR *FindInterface(const USB_CONFIGURATION_DESCRIPTOR *c, size_t total, UCHAR number,
                                              UCHAR alternate, std::vector<const USB_ENDPOINT_DESCRIPTOR *> *endpoints)
{
    DescriptorWalk walk(c, total);
    const USB_INTERFACE_DESCRIPTOR *found = nullptr;
    while (const USB_COMMON_DESCRIPTOR *d = walk.Next()) {
        const USB_INTERFACE_DESCRIPTOR *i = AsInterface(d);
        if (found != nullptr) {
            if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
                break;
            if (const USB_ENDPOINT_DESCRIPTOR *e = AsEndpoint(d))
                endpoints->push_back(e);
            continue;
        }
        if (i != nullptr && i->bInterfaceNumber == number && i->bAlternateSetting == alternate)
            found = i;
    }
    return found;
}

}  // namespace

// Closes the pipes of the current configuration; requests still queued on
// them are cancelled.
void CloseConfiguration(Bus &bus, PdoContext &p)
{
    std::vector<Request *> orphans;
    for (auto &r : p.active)
        if (!r->finished && r->kind == RequestKind::Transfer)
            orphans.push_back(r.get());
    for (Request *r : orphans)
        bus.Finish(*r, USBD_STATUS_CANCELED);
    p.pipes.clear();
    p.configurationHandle = nullptr;
    p.configurationValue = 0;
}

USBD_STATUS SelectConfiguration(Bus &bus, PdoContext &p, PURB urb)
{
    DeviceState &device = p.Device();
    auto &select = urb->UrbSelectConfiguration;
    const USB_CONFIGURATION_DESCRIPTOR *c = select.ConfigurationDescriptor;

    if (c == nullptr) {
        SetupPacket unconfigure{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
        device.Control(unconfigure, {});
        CloseConfiguration(bus, p);
        return USBD_STATUS_SUCCESS;
    }
    size_t total = ConfigurationLength(c);
    if (total == 0)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;

    // Validate every interface the URB lists before anything changes.
    std::vector<InterfacePlan> plans;
    auto begin = reinterpret_cast<PUCHAR>(urb);
    auto end = begin + urb->UrbHeader.Length;
    auto cursor = reinterpret_cast<PUCHAR>(&select.Interface);
    constexpr size_t kHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    while (plans.size() < c->bNumInterfaces && cursor + kHeader <= end) {
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        InterfacePlan plan{info, nullptr, {}, 0};
        plan.descriptor = FindInterface(c, total, info->InterfaceNumber, info->AlternateSetting, &plan.endpoints);
        if (plan.descriptor == nullptr)
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        if (plan.endpoints.size() < plan.descriptor->bNumEndpoints)
            return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
        plan.endpoints.resize(plan.descriptor->bNumEndpoints);
        size_t need = GET_USBD_INTERFACE_SIZE(plan.descriptor->bNumEndpoints);
        if (info->Length < need || cursor + need > end)
            return USBD_STATUS_INVALID_PARAMETER;
        plan.length = static_cast<USHORT>(need);
        plans.push_back(std::move(plan));
        cursor += info->Length;
    }
    if (plans.empty())
        return USBD_STATUS_INVALID_PARAMETER;

    SetupPacket configure{0x00, USB_REQUEST_SET_CONFIGURATION, c->bConfigurationValue, 0, 0};
    if (!device.Control(configure, {}))
        return USBD_STATUS_SET_CONFIG_FAILED;

    CloseConfiguration(bus, p);
    p.configurationValue = c->bConfigurationValue;
    p.configurationHandle = NewHandle();
    for (InterfacePlan &plan : plans) {
        PUSBD_INTERFACE_INFORMATION info = plan.info;
        info->Length = plan.length;
        info->Class = plan.descriptor->bInterfaceClass;
        info->SubClass = plan.descriptor->bInterfaceSubClass;
        info->Protocol = plan.descriptor->bInterfaceProtocol;
        info->InterfaceHandle = NewHandle();
        info->NumberOfPipes = plan.descriptor->bNumEndpoints;
        for (size_t e = 0; e < plan.endpoints.size(); e++) {
            const USB_ENDPOINT_DESCRIPTOR *d = plan.endpoints[e];
            Pipe pipe;
            pipe.handle = NewHandle();
            pipe.endpoint = d->bEndpointAddress;
            pipe.type = d->bmAttributes & USB_ENDPOINT_TYPE_MASK;
            pipe.maxPacket = d->wMaxPacketSize & 0x7FF;
            pipe.interval = d->bInterval;
            p.pipes.push_back(pipe);
            // MaximumTransferSize and PipeFlags are the client's; the stack
            // ignores the former.
            USBD_PIPE_INFORMATION &out = info->Pipes[e];
            out.MaximumPacketSize = pipe.maxPacket;
            out.EndpointAddress = pipe.endpoint;
            out.Interval = pipe.interval;
            out.PipeType = static_cast<USBD_PIPE_TYPE>(pipe.type);
            out.PipeHandle = pipe.handle;
        }
    }
    select.ConfigurationHandle = p.configurationHandle;
    return USBD_STATUS_SUCCESS;
}

}  // namespace winsim::usb
