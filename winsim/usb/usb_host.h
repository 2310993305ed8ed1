// winsim's USB host stack: a host controller with its root hub, the bus
// driver of the devices plugged into it, and the simulated devices
// themselves. This is the C++ face that tests, tools and the Plug and Play
// manager use; drivers see only the Windows API (a PDO that answers
// IRP_MJ_PNP, IRP_MJ_POWER and IOCTL_INTERNAL_USB_*).
//
// Enumeration, as the Plug and Play manager sees it:
//   - BusPdo() is a root-enumerated PDO with the hub's FDO on top of it.
//     The hub answers IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations with the
//     PDO of every connected device, each referenced for the caller.
//   - Plugging or unplugging a device calls
//     IoInvalidateDeviceRelations(BusPdo(), BusRelations).
//   - A device's PDO answers IRP_MN_QUERY_ID, QUERY_CAPABILITIES, QUERY_TEXT,
//     START/STOP/REMOVE and the rest as a USB hub's PDO does. A PDO is
//     deleted by the remove-device request that follows the enumeration
//     that no longer reported it; requests that still reach it afterwards
//     (a second remove included) are answered, not crashed on.
//
// Completions, as a client driver sees them: a URB that can finish while
// its dispatch runs (instant wire, nothing ahead of it on its endpoint) is
// completed in the caller's thread, at the caller's IRQL; every other one
// pends (IoMarkIrpPending, cancellable) and is completed by the host
// controller's own thread at DISPATCH_LEVEL. A port reset always pends.
// HostOptions::forcePending makes every URB pend.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace winsim::usb {

// ---------------------------------------------------------------- wire model
// How long the bus takes.
//   Instant:   a transfer moves as soon as both ends are ready.
//   FullSpeed: 1 ms frames; at most 19 bulk packets of up to 64 bytes a frame
//              (1.216 MB/s) shared by all devices; a request submitted during
//              frame n starts in frame n + 1 and is completed at the end of
//              the frame that carried its last packet. A control transfer
//              (descriptors, vendor/class requests, select-configuration,
//              reset-pipe) takes one frame of the reserved control bandwidth
//              and does not count against the 19 bulk packets.
enum class WireModel { Instant, FullSpeed };

constexpr unsigned kFullSpeedBulkPacketsPerFrame = 19;
constexpr double kFullSpeedBulkBytesPerSecond = 19.0 * 64 * 1000;  // 1.216 MB/s

// ---------------------------------------------------------------- device description
struct EndpointConfig {
    UCHAR address = 0;                      // bit 7 set: IN
    UCHAR type = USB_ENDPOINT_TYPE_BULK;    // USB_ENDPOINT_TYPE_*
    USHORT maxPacketSize = 64;
    UCHAR interval = 0;
};

struct InterfaceConfig {
    UCHAR number = 0;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    UCHAR subClass = 0;
    UCHAR protocol = 0;
    std::vector<EndpointConfig> endpoints;
};

// What the bus driver reports in IRP_MN_QUERY_CAPABILITIES.
struct PowerCapabilities {
    std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceState{};  // indexed by SYSTEM_POWER_STATE
    SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;
    DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
    bool deviceD1 = false;
    bool deviceD2 = true;
    bool wakeFromD0 = false;
    bool wakeFromD1 = false;
    bool wakeFromD2 = false;
    bool wakeFromD3 = false;
};

// The capabilities a USB hub reports for a device: S0 in D0, S1 to S3 in D2
// (suspended), S4 and S5 in D3; with remote wake-up, wake from D2 and from
// system states down to S3.
PowerCapabilities DefaultPowerCapabilities(bool remoteWake);

struct DeviceConfig {
    USHORT vendorId = 0;
    USHORT productId = 0;
    USHORT bcdDevice = 0;
    USHORT bcdUsb = 0x0110;
    UCHAR deviceClass = 0;  // 0: each interface names its own class
    UCHAR deviceSubClass = 0;
    UCHAR deviceProtocol = 0;
    UCHAR maxPacketSize0 = 64;
    std::u16string manufacturer;  // an empty string has no string descriptor
    std::u16string product;
    std::u16string serialNumber;
    UCHAR configurationValue = 1;
    UCHAR attributes = USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP;
    UCHAR maxPower = 50;  // in 2 mA units
    std::vector<InterfaceConfig> interfaces;
    // When not empty, served verbatim as the configuration descriptor
    // (for devices with malformed descriptors).
    std::vector<UCHAR> configurationDescriptorOverride;
    PowerCapabilities power = DefaultPowerCapabilities(true);
};

// The identity of the simulated printer. The build's default (the
// TARVIK_USB_VID/PID/REV cache settings) is passed in by whoever builds the
// machine; these are the same values.
struct PrinterIdentity {
    USHORT vendorId = 0x1A2B;
    USHORT productId = 0x3C4D;
    USHORT revision = 0x0100;
};

// The printer: one configuration, interface 0 (vendor class) with bulk OUT
// endpoint 0x01 first and bulk IN endpoint 0x82 second, 64-byte packets,
// bus-powered with remote wake-up, serial number "WSP000001".
DeviceConfig PrinterConfig(PrinterIdentity identity = {});

std::vector<UCHAR> BuildDeviceDescriptor(const DeviceConfig &config);
std::vector<UCHAR> BuildConfigurationDescriptor(const DeviceConfig &config);

// ---------------------------------------------------------------- device scripting
struct SetupPacket {
    UCHAR bmRequestType = 0;
    UCHAR bRequest = 0;
    USHORT wValue = 0;
    USHORT wIndex = 0;
    USHORT wLength = 0;
};

// One control transfer as the device saw it.
struct ControlRecord {
    SetupPacket setup;
    std::vector<UCHAR> data;  // OUT: what the host sent; IN: what the device answered
    bool stalled = false;
};

// A scripted answer to a control request: a stall, or the data of the IN
// stage (ignored for OUT requests, which succeed).
struct ControlReply {
    bool stall = false;
    std::vector<UCHAR> data;
};

// Vendor interface request 1 answers these 4 status bytes; bit 0x08 of the
// first byte set means "not ready".
constexpr UCHAR kVendorStatusRequest = 1;
constexpr UCHAR kStatusNotReady = 0x08;

class Bus;
struct DeviceState;
class PrinterModel;

// A device on the bus. Every method may be called from any thread at any
// time, also while the bus driver is transferring, and after unplug.
class UsbDevice {
public:
    UsbDevice(std::shared_ptr<Bus> bus, std::unique_ptr<DeviceState> state);
    ~UsbDevice();
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    const DeviceConfig &Config() const;
    PDEVICE_OBJECT Pdo() const;   // stays valid as long as the host lives
    unsigned Port() const;
    bool Connected() const;
    std::u16string InstanceId() const;  // serial number, or derived from the port

    // Bulk OUT: everything the host sent to the endpoint, in order.
    std::vector<UCHAR> Received(UCHAR endpoint = 0x01) const;
    std::vector<UCHAR> TakeReceived(UCHAR endpoint = 0x01);
    size_t ReceivedCount(UCHAR endpoint = 0x01) const;
    // Waits until at least `bytes` have arrived in total; false on time-out.
    bool WaitReceived(size_t bytes, std::chrono::milliseconds timeout, UCHAR endpoint = 0x01) const;

    // Bulk IN: data the device will send, cut into packets of the endpoint's
    // size. A feed whose length is not a multiple of it ends in a short
    // packet, which ends the host's transfer.
    void FeedBulkIn(std::span<const UCHAR> data, UCHAR endpoint = 0x82);
    void FeedZeroLengthPacket(UCHAR endpoint = 0x82);
    size_t QueuedBulkIn(UCHAR endpoint = 0x82) const;  // bytes not yet taken by the host

    // Endpoint faults. A stalled endpoint answers STALL until the host
    // clears the halt (CLEAR_FEATURE(ENDPOINT_HALT), sent by reset-pipe or a
    // port reset). A NAKing endpoint neither takes nor gives data.
    void Stall(UCHAR endpoint);
    bool Halted(UCHAR endpoint) const;
    void SetNak(UCHAR endpoint, bool nak);

    // The 4 bytes vendor interface request 1 answers.
    void SetStatusBytes(std::array<UCHAR, 4> status);
    std::array<UCHAR, 4> StatusBytes() const;
    void SetReady(bool ready);  // clears or sets kStatusNotReady in byte 0

    // Answers for requests the device does not handle itself (vendor and
    // class requests other than the status request). Return nothing to let
    // the device stall. The handler runs with the bus locked: it must not
    // call back into the device or the host.
    using ControlHandler = std::function<std::optional<ControlReply>(const SetupPacket &, std::span<const UCHAR>)>;
    void SetControlHandler(ControlHandler handler);
    std::vector<ControlRecord> ControlLog() const;
    void ClearControlLog();
    UCHAR ConfigurationValue() const;  // 0 while unconfigured

    // Power.
    void SetPowerCapabilities(const PowerCapabilities &capabilities);
    DEVICE_POWER_STATE PowerState() const;  // as set by IRP_MN_SET_POWER on the PDO
    bool RemoteWakeArmed() const;           // a wait-wake request is pending on the PDO
    // Signals resume. Completes the PDO's pending wait-wake request when the
    // device is suspended (D1-D3) and the host armed remote wake-up; returns
    // whether it did.
    bool SignalRemoteWake();

    // The printer model: consumes what arrives on the bulk OUT endpoint.
    PrinterModel &AttachPrinterModel();
    PrinterModel *Printer() const;

    // Disconnects the device from its port (see UsbHost::Unplug).
    void Unplug();

    DeviceState &State() const { return *state_; }  // the bus driver's view
    Bus &BusOf() const { return *bus_; }

private:
    std::shared_ptr<Bus> bus_;
    std::unique_ptr<DeviceState> state_;
};

// ---------------------------------------------------------------- the host
struct HostOptions {
    WireModel wire = WireModel::Instant;
    // Every URB request pends and is completed by the host controller's
    // thread, as under Driver Verifier's forced pending.
    bool forcePending = false;
    unsigned ports = 4;
    std::u16string busInstanceId = u"ROOT\\USB\\0000";
    // Send IRP_MN_START_DEVICE to the hub's stack at creation, as the Plug
    // and Play manager would for a root-enumerated device.
    bool startHub = true;
    // Hand the hub to the Plug and Play manager: the devices plugged in are
    // enumerated, get their drivers installed and started, and leave through
    // surprise removal, as on Windows. Off, a test enumerates by hand
    // (QueryBusRelations) and builds the stacks itself.
    bool plugAndPlay = false;
};

class UsbHost {
public:
    explicit UsbHost(HostOptions options = {});
    // Every remaining device stack is removed (IRP_MN_REMOVE_DEVICE to its
    // top), every PDO and the hub deleted. A PDO somebody still references
    // at this point is a verifier stop.
    ~UsbHost();
    UsbHost(const UsbHost &) = delete;
    UsbHost &operator=(const UsbHost &) = delete;

    PDEVICE_OBJECT BusPdo() const;
    PDEVICE_OBJECT HubFdo() const;

    void SetWireModel(WireModel wire);
    void SetForcePending(bool force);
    ULONG CurrentFrame() const;

    // Connects a device to a port (0: the first free one) and creates its
    // PDO, then invalidates the bus relations. Throws std::invalid_argument
    // if the port does not exist or is taken.
    std::shared_ptr<UsbDevice> Plug(DeviceConfig config, unsigned port = 0);
    // Disconnects it: requests in flight fail with USBD_STATUS_DEVICE_GONE,
    // later ones likewise; the bus relations are invalidated.
    void Unplug(UsbDevice &device);

    // What the Plug and Play manager does after IoInvalidateDeviceRelations:
    // sends IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations to the hub's stack and
    // returns the PDOs reported (their references already dropped).
    std::vector<PDEVICE_OBJECT> QueryBusRelations();

private:
    std::shared_ptr<Bus> bus_;
    bool attached_ = false;
};

}  // namespace winsim::usb
