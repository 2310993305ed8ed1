// The simulated device's side of the bus: its descriptors, the state of each
// endpoint, what it received and what it has to send, and how it answers
// control requests. Everything here is guarded by the bus lock.
#pragma once

#include "usb_host.h"

#include "../kernel/internal.h"

#include <deque>
#include <map>

namespace winsim::usb {

class Bus;
class PrinterModel;
struct PdoContext;

// One packet waiting on a bulk IN endpoint (may be empty: a zero-length packet).
using Packet = std::vector<UCHAR>;

struct DeviceEndpoint {
    EndpointConfig config;
    bool halted = false;   // functional stall, cleared by CLEAR_FEATURE(ENDPOINT_HALT)
    bool nak = false;      // NAKs every transaction
    std::vector<UCHAR> received;   // OUT endpoints
    size_t receivedTotal = 0;      // including what TakeReceived removed
    std::deque<Packet> source;     // IN endpoints
};

struct DeviceState {
    explicit DeviceState(DeviceConfig config);
    ~DeviceState();

    DeviceConfig config;
    std::vector<UCHAR> deviceDescriptor;
    std::vector<UCHAR> configurationDescriptor;
    unsigned port = 0;
    bool connected = true;
    UCHAR configurationValue = 0;  // 0: unconfigured
    bool remoteWakeEnabled = false;  // DEVICE_REMOTE_WAKEUP feature
    std::map<UCHAR, DeviceEndpoint> endpoints;  // by address; not EP0
    bool ep0Nak = false;
    std::array<UCHAR, 4> status{};
    UsbDevice::ControlHandler handler;
    std::vector<ControlRecord> controlLog;
    std::unique_ptr<PrinterModel> printer;
    Bus *bus = nullptr;
    PdoContext *pdo = nullptr;

    DeviceEndpoint *Endpoint(UCHAR address);

    // A control transfer: the setup packet, the data of an OUT stage. Returns
    // nothing for a STALL, else the IN stage (empty for OUT requests).
    std::optional<std::vector<UCHAR>> Control(const SetupPacket &setup, std::span<const UCHAR> out);

    // One bulk/interrupt OUT packet. False if the endpoint does not take it
    // now (NAK); `stalled` is set if it answers STALL.
    bool TakeOutPacket(UCHAR endpoint, std::span<const UCHAR> packet, bool *stalled);
    // The next bulk/interrupt IN packet, or nothing (NAK). `stalled` is set
    // if the endpoint answers STALL.
    std::optional<Packet> GiveInPacket(UCHAR endpoint, bool *stalled);

    // USB reset: the device loses its address, configuration and halts.
    void Reset();

    void QueueIn(UCHAR endpoint, std::span<const UCHAR> data);

private:
    std::optional<std::vector<UCHAR>> Standard(const SetupPacket &setup);
    std::optional<std::vector<UCHAR>> Descriptor(const SetupPacket &setup);
};

}  // namespace winsim::usb
