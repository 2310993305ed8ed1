// The simulated device: how it answers control transfers (the standard
// requests of chapter 9 of USB 2.0, vendor interface request
// 1, and whatever a test scripts), and how its bulk endpoints take and give
// packets.
#include "device_state.h"

#include "bus.h"
#include "printer_model.h"

namespace winsim::usb {
namespace {

std::vector<UCHAR> StringDescriptor(const std::u16string &text)
{
    size_t chars = std::min<size_t>(text.size(), (MAXIMUM_USB_STRING_LENGTH - 2) / 2);
    std::vector<UCHAR> d{static_cast<UCHAR>(2 + 2 * chars), USB_STRING_DESCRIPTOR_TYPE};
    for (size_t i = 0; i < chars; i++) {
        d.push_back(static_cast<UCHAR>(text[i] & 0xFF));
        d.push_back(static_cast<UCHAR>(text[i] >> 8));
    }
    return d;
}

constexpr UCHAR kRecipientMask = 0x1F;
constexpr UCHAR kTypeMask = 0x60;
constexpr UCHAR kDeviceToHost = 0x80;

}  // namespace

DeviceState::DeviceState(DeviceConfig configuration)
    : config(std::move(configuration)), deviceDescriptor(BuildDeviceDescriptor(config)),
      configurationDescriptor(BuildConfigurationDescriptor(config))
{
    for (auto &i : config.interfaces)
        for (auto &e : i.endpoints)
            endpoints[e.address].config = e;
}

DeviceState::~DeviceState() = default;

DeviceEndpoint *DeviceState::Endpoint(UCHAR address)
{
    auto it = endpoints.find(address);
    return it == endpoints.end() ? nullptr : &it->second;
}

std::optional<std::vector<UCHAR>> DeviceState::Descriptor(const SetupPacket &setup)
{
    UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
    UCHAR index = static_cast<UCHAR>(setup.wValue & 0xFF);
    switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        return deviceDescriptor;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (index != 0)
            return std::nullopt;
        return configurationDescriptor;
    case USB_STRING_DESCRIPTOR_TYPE:
        switch (index) {
        case 0:
            return std::vector<UCHAR>{4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};  // English (US)
        case 1:
            if (!config.manufacturer.empty())
                return StringDescriptor(config.manufacturer);
            break;
        case 2:
            if (!config.product.empty())
                return StringDescriptor(config.product);
            break;
        case 3:
            if (!config.serialNumber.empty())
                return StringDescriptor(config.serialNumber);
            break;
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::optional<std::vector<UCHAR>> DeviceState::Standard(const SetupPacket &setup)
{
    UCHAR recipient = setup.bmRequestType & kRecipientMask;
    bool in = (setup.bmRequestType & kDeviceToHost) != 0;
    UCHAR selfPowered = (config.attributes & USB_CONFIG_SELF_POWERED) ? USB_GETSTATUS_SELF_POWERED : 0;
    UCHAR configured = configurationDescriptor.size() > 5 ? configurationDescriptor[5] : config.configurationValue;
    switch (setup.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR:
        if (in)
            return Descriptor(setup);
        break;
    case USB_REQUEST_SET_ADDRESS:
        return std::vector<UCHAR>{};
    case USB_REQUEST_SET_CONFIGURATION: {
        UCHAR value = static_cast<UCHAR>(setup.wValue & 0xFF);
        if (value != 0 && value != configured)
            break;
        configurationValue = value;
        for (auto &[address, e] : endpoints)
            e.halted = false;
        return std::vector<UCHAR>{};
    }
    case USB_REQUEST_GET_CONFIGURATION:
        return std::vector<UCHAR>{configurationValue};
    case USB_REQUEST_GET_STATUS:
        if (!in)
            break;
        if (recipient == BMREQUEST_TO_DEVICE)
            return std::vector<UCHAR>{static_cast<UCHAR>(selfPowered | (remoteWakeEnabled ? 2 : 0)), 0};
        if (recipient == BMREQUEST_TO_INTERFACE) {
            for (auto &i : config.interfaces)
                if (i.number == (setup.wIndex & 0xFF))
                    return std::vector<UCHAR>{0, 0};
            break;
        }
        if (recipient == BMREQUEST_TO_ENDPOINT) {
            UCHAR address = static_cast<UCHAR>(setup.wIndex & 0xFF);
            if ((address & USB_ENDPOINT_ADDRESS_MASK) == 0)
                return std::vector<UCHAR>{0, 0};
            if (DeviceEndpoint *e = Endpoint(address))
                return std::vector<UCHAR>{static_cast<UCHAR>(e->halted ? 1 : 0), 0};
        }
        break;
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE: {
        bool set = setup.bRequest == USB_REQUEST_SET_FEATURE;
        if (recipient == BMREQUEST_TO_DEVICE && setup.wValue == USB_FEATURE_REMOTE_WAKEUP) {
            if (!(config.attributes & USB_CONFIG_REMOTE_WAKEUP))
                break;
            remoteWakeEnabled = set;
            return std::vector<UCHAR>{};
        }
        if (recipient == BMREQUEST_TO_ENDPOINT && setup.wValue == USB_FEATURE_ENDPOINT_STALL) {
            UCHAR address = static_cast<UCHAR>(setup.wIndex & 0xFF);
            if ((address & USB_ENDPOINT_ADDRESS_MASK) == 0)
                return std::vector<UCHAR>{};
            if (DeviceEndpoint *e = Endpoint(address)) {
                e->halted = set;
                return std::vector<UCHAR>{};
            }
        }
        break;
    }
    case USB_REQUEST_GET_INTERFACE:
        if (in && configurationValue != 0)
            for (auto &i : config.interfaces)
                if (i.number == (setup.wIndex & 0xFF))
                    return std::vector<UCHAR>{0};
        break;
    case USB_REQUEST_SET_INTERFACE:
        for (auto &i : config.interfaces)
            if (i.number == (setup.wIndex & 0xFF) && i.alternateSetting == (setup.wValue & 0xFF))
                return std::vector<UCHAR>{};
        break;
    default:
        break;
    }
    return std::nullopt;
}

std::optional<std::vector<UCHAR>> DeviceState::Control(const SetupPacket &setup, std::span<const UCHAR> out)
{
    bool in = (setup.bmRequestType & kDeviceToHost) != 0;
    std::optional<std::vector<UCHAR>> reply;
    if ((setup.bmRequestType & kTypeMask) == 0) {
        reply = Standard(setup);
    } else if (setup.bmRequestType == (kDeviceToHost | (BMREQUEST_VENDOR << 5) | BMREQUEST_TO_INTERFACE) &&
               setup.bRequest == kVendorStatusRequest) {
        reply = std::vector<UCHAR>(status.begin(), status.end());
    } else if (handler) {
        if (std::optional<ControlReply> scripted = handler(setup, out); scripted && !scripted->stall)
            reply = in ? scripted->data : std::vector<UCHAR>{};
    }
    if (reply && reply->size() > setup.wLength)
        reply->resize(setup.wLength);
    ControlRecord record;
    record.setup = setup;
    record.stalled = !reply.has_value();
    if (in && reply)
        record.data = *reply;
    else if (!in)
        record.data.assign(out.begin(), out.end());
    controlLog.push_back(std::move(record));
    return reply;
}

bool DeviceState::TakeOutPacket(UCHAR endpoint, std::span<const UCHAR> packet, bool *stalled)
{
    DeviceEndpoint *e = Endpoint(endpoint);
    if (e == nullptr || USB_ENDPOINT_DIRECTION_IN(endpoint) || e->halted) {
        *stalled = true;
        return false;
    }
    if (e->nak || (printer && endpoint == printer->OutEndpoint() && !printer->OnlineLocked()))
        return false;
    e->received.insert(e->received.end(), packet.begin(), packet.end());
    e->receivedTotal += packet.size();
    if (printer && endpoint == printer->OutEndpoint())
        printer->Consume(packet);
    if (bus != nullptr)
        bus->deviceChanged.notify_all();
    return true;
}

std::optional<Packet> DeviceState::GiveInPacket(UCHAR endpoint, bool *stalled)
{
    DeviceEndpoint *e = Endpoint(endpoint);
    if (e == nullptr || USB_ENDPOINT_DIRECTION_OUT(endpoint) || e->halted) {
        *stalled = true;
        return std::nullopt;
    }
    if (e->nak || e->source.empty())
        return std::nullopt;
    Packet packet = std::move(e->source.front());
    e->source.pop_front();
    return packet;
}

void DeviceState::Reset()
{
    configurationValue = 0;
    remoteWakeEnabled = false;
    for (auto &[address, e] : endpoints)
        e.halted = false;
}

void DeviceState::QueueIn(UCHAR endpoint, std::span<const UCHAR> data)
{
    DeviceEndpoint *e = Endpoint(endpoint);
    if (e == nullptr)
        return;
    size_t size = e->config.maxPacketSize ? e->config.maxPacketSize : 64;
    for (size_t offset = 0; offset < data.size(); offset += size) {
        size_t n = std::min(size, data.size() - offset);
        e->source.emplace_back(data.begin() + offset, data.begin() + offset + n);
    }
    if (bus != nullptr)
        bus->KickLocked();
}

// ---------------------------------------------------------------- UsbDevice

UsbDevice::UsbDevice(std::shared_ptr<Bus> bus, std::unique_ptr<DeviceState> state)
    : bus_(std::move(bus)), state_(std::move(state))
{
    state_->bus = bus_.get();
}

UsbDevice::~UsbDevice() = default;

const DeviceConfig &UsbDevice::Config() const { return state_->config; }

PDEVICE_OBJECT UsbDevice::Pdo() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->pdo ? state_->pdo->pdo : nullptr;
}

unsigned UsbDevice::Port() const { return state_->port; }

bool UsbDevice::Connected() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->connected;
}

std::u16string UsbDevice::InstanceId() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->pdo ? state_->pdo->instanceId : std::u16string();
}

std::vector<UCHAR> UsbDevice::Received(UCHAR endpoint) const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    DeviceEndpoint *e = state_->Endpoint(endpoint);
    return e ? e->received : std::vector<UCHAR>{};
}

std::vector<UCHAR> UsbDevice::TakeReceived(UCHAR endpoint)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    DeviceEndpoint *e = state_->Endpoint(endpoint);
    if (e == nullptr)
        return {};
    std::vector<UCHAR> out;
    out.swap(e->received);
    return out;
}

size_t UsbDevice::ReceivedCount(UCHAR endpoint) const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    DeviceEndpoint *e = state_->Endpoint(endpoint);
    return e ? e->receivedTotal : 0;
}

bool UsbDevice::WaitReceived(size_t bytes, std::chrono::milliseconds timeout, UCHAR endpoint) const
{
    std::unique_lock<std::mutex> lock(bus_->Lock());
    DeviceEndpoint *e = state_->Endpoint(endpoint);
    if (e == nullptr)
        return false;
    return bus_->deviceChanged.wait_for(lock, timeout, [&] { return e->receivedTotal >= bytes; });
}

void UsbDevice::FeedBulkIn(std::span<const UCHAR> data, UCHAR endpoint)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    state_->QueueIn(endpoint, data);
    bus_->KickLocked();  // a read waiting at the endpoint can take it now
}

void UsbDevice::FeedZeroLengthPacket(UCHAR endpoint)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    if (DeviceEndpoint *e = state_->Endpoint(endpoint))
        e->source.emplace_back();
    bus_->KickLocked();
}

size_t UsbDevice::QueuedBulkIn(UCHAR endpoint) const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    DeviceEndpoint *e = state_->Endpoint(endpoint);
    size_t bytes = 0;
    if (e != nullptr)
        for (auto &packet : e->source)
            bytes += packet.size();
    return bytes;
}

void UsbDevice::Stall(UCHAR endpoint)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    if (DeviceEndpoint *e = state_->Endpoint(endpoint))
        e->halted = true;
    bus_->KickLocked();
}

bool UsbDevice::Halted(UCHAR endpoint) const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    DeviceEndpoint *e = state_->Endpoint(endpoint);
    return e != nullptr && e->halted;
}

void UsbDevice::SetNak(UCHAR endpoint, bool nak)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    if ((endpoint & USB_ENDPOINT_ADDRESS_MASK) == 0)
        state_->ep0Nak = nak;
    else if (DeviceEndpoint *e = state_->Endpoint(endpoint))
        e->nak = nak;
    bus_->KickLocked();
}

void UsbDevice::SetStatusBytes(std::array<UCHAR, 4> status)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    state_->status = status;
}

std::array<UCHAR, 4> UsbDevice::StatusBytes() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->status;
}

void UsbDevice::SetReady(bool ready)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    if (ready)
        state_->status[0] &= static_cast<UCHAR>(~kStatusNotReady);
    else
        state_->status[0] |= kStatusNotReady;
}

void UsbDevice::SetControlHandler(ControlHandler handler)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    state_->handler = std::move(handler);
}

std::vector<ControlRecord> UsbDevice::ControlLog() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->controlLog;
}

void UsbDevice::ClearControlLog()
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    state_->controlLog.clear();
}

UCHAR UsbDevice::ConfigurationValue() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->configurationValue;
}

void UsbDevice::SetPowerCapabilities(const PowerCapabilities &capabilities)
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    state_->config.power = capabilities;
}

DEVICE_POWER_STATE UsbDevice::PowerState() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->pdo ? state_->pdo->devicePower : PowerDeviceUnspecified;
}

bool UsbDevice::RemoteWakeArmed() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->pdo != nullptr && state_->pdo->waitWake != nullptr;
}

bool UsbDevice::SignalRemoteWake()
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    PdoContext *p = state_->pdo;
    if (!state_->connected || p == nullptr || !state_->remoteWakeEnabled)
        return false;
    if (p->devicePower < PowerDeviceD1 || p->devicePower > PowerDeviceD3)
        return false;
    return CompleteWaitWake(*p, STATUS_SUCCESS);
}

PrinterModel &UsbDevice::AttachPrinterModel()
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    if (!state_->printer)
        state_->printer = std::make_unique<PrinterModel>(*bus_, *state_);
    return *state_->printer;
}

PrinterModel *UsbDevice::Printer() const
{
    std::lock_guard<std::mutex> lock(bus_->Lock());
    return state_->printer.get();
}

void UsbDevice::Unplug()
{
    {
        std::lock_guard<std::mutex> lock(bus_->Lock());
        if (state_->pdo != nullptr)
            bus_->Disconnect(*state_->pdo);
    }
    bus_->InvalidateRelations();
}

}  // namespace winsim::usb
