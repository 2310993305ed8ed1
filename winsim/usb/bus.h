// The host controller and its root hub: one lock over the whole simulated
// bus (devices, PDO state, requests in flight), the controller's own thread
// that runs the wire model and completes requests at DISPATCH_LEVEL, and
// the per-PDO state the bus driver keeps.
#pragma once

#include "device_state.h"

#include <usbioctl.h>

#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

namespace winsim::usb {

class Bus;

// An open pipe of the selected configuration. Its handle is an opaque value
// no driver may dereference.
struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR endpoint = 0;
    UCHAR type = USB_ENDPOINT_TYPE_BULK;
    USHORT maxPacket = 64;
    UCHAR interval = 0;
    bool hostHalted = false;  // an error halted it; reset-pipe clears it
    bool In() const { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

enum class RequestKind {
    Transfer,   // bulk or interrupt, packet by packet on a pipe
    Control,    // a control transfer on the default pipe
    Configure,  // select-configuration: SET_CONFIGURATION and the new pipes
    ClearHalt,  // CLEAR_FEATURE(ENDPOINT_HALT), with or without the host-side reset
    ResetPort,  // IOCTL_INTERNAL_USB_RESET_PORT
    HostOnly,   // no bus traffic: abort-pipe, host-side pipe reset, frame number
};

struct PdoContext;

// One request the bus driver holds. Lives in its PDO's `active` list while
// pending and in the bus's completion list once its result is known.
struct Request {
    PIRP irp = nullptr;
    PURB urb = nullptr;  // NULL for a port reset
    PdoContext *pdo = nullptr;
    RequestKind kind = RequestKind::HostOnly;
    USHORT function = 0;
    int64_t submitFrame = 0;

    // Data stage of transfers and control transfers.
    USBD_PIPE_HANDLE pipe = nullptr;  // transfers; ClearHalt
    bool in = false;
    bool shortOk = false;
    bool resetHostSide = true;        // ClearHalt
    bool clearDeviceHalt = true;      // ClearHalt
    bool holdsPortReset = false;      // the ResetPort that set PdoContext::resetting
    UCHAR *buffer = nullptr;
    ULONG length = 0;
    ULONG done = 0;
    ULONG *lengthField = nullptr;     // where the URB reports the bytes moved
    SetupPacket setup;

    bool finished = false;
    USBD_STATUS usbd = USBD_STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
};

// What the bus driver knows about one PDO. Kept (with the device object
// referenced) until the host goes away, so that requests reaching a PDO
// after its removal still find it.
struct PdoContext {
    Bus *bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::shared_ptr<UsbDevice> device;
    unsigned port = 0;
    std::u16string deviceId;    // USB\VID_xxxx&PID_yyyy
    std::u16string instanceId;  // serial number or port-derived

    // Plug and Play.
    bool missing = false;   // gone at the time of a BusRelations answer: deleted by the next removal
    bool started = false;
    bool removed = false;   // IRP_MN_REMOVE_DEVICE seen (until the next start)
    bool surpriseRemoved = false;
    bool deleted = false;   // IoDeleteDevice done

    // Power.
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
    PIRP waitWake = nullptr;

    // The device handle: configuration, pipes, requests.
    bool resetting = false;
    UCHAR configurationValue = 0;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    std::list<Pipe> pipes;
    std::list<std::unique_ptr<Request>> active;

    DeviceState &Device() const { return device->State(); }
    bool Connected() const { return device->State().connected; }
    Pipe *FindPipe(USBD_PIPE_HANDLE handle);
};

// What every device extension of the bus driver starts with.
struct Extension {
    ULONG signature;  // kExtensionSignature
    bool isPdo;
    Bus *bus;
    PdoContext *pdo;  // PDOs only
};
constexpr ULONG kExtensionSignature = 0x42535548;  // 'HUSB'

inline Extension *ExtensionOf(PDEVICE_OBJECT device) { return static_cast<Extension *>(device->DeviceExtension); }

// A completion the controller hands back to a driver.
struct Completion {
    PIRP irp = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    std::unique_ptr<Request> request;  // freed after the IRP is completed
};

class Bus {
public:
    explicit Bus(const HostOptions &options);
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    std::mutex &Lock() { return mutex_; }
    // Signalled (under the lock) whenever a device received data.
    std::condition_variable deviceChanged;

    // The driver object, the hub and its PDO.
    void CreateHub(bool start);
    void DeleteHub();
    PDRIVER_OBJECT Driver() { return &driver_; }
    PDEVICE_OBJECT busPdo = nullptr;
    PDEVICE_OBJECT hubFdo = nullptr;

    // Configuration of the wire.
    WireModel wire;
    bool forcePending;

    // Ports and PDOs (guarded by the lock). ports[i] is the device on port i + 1.
    std::vector<PdoContext *> ports;
    std::vector<std::unique_ptr<PdoContext>> pdos;
    PdoContext *AddPdo(std::shared_ptr<UsbDevice> device, unsigned port);  // lock not held
    void Disconnect(PdoContext &p);                                      // lock held
    void InvalidateRelations();
    void RemoveAllPdos();  // at host teardown

    // The controller thread.
    void Start();
    void Stop();
    void KickLocked();  // lock held: something changed that may let requests progress
    int64_t FrameNow() const;

    // Requests (requests.cpp).
    // Takes the request with the bus lock the caller has held since it
    // checked the device, so that a removal cannot slip in between.
    NTSTATUS Submit(std::unique_ptr<Request> request, std::unique_lock<std::mutex> lock);
    void Finish(Request &request, USBD_STATUS usbd);  // lock held; sets the result, then Retire
    void FinishWithStatus(Request &request, USBD_STATUS usbd, NTSTATUS status);
    void FailAll(PdoContext &p, USBD_STATUS usbd, const Request *except = nullptr);  // lock held
    void QueueCompletion(PIRP irp, NTSTATUS status);                                // lock held
    static void DeliverAll(std::vector<Completion> &completions, bool atDispatch);
    // Delivers what the controller has finished and waits for a delivery
    // under way on the controller thread (lock not held).
    void FlushCompletions();

    // The wire (wire.cpp).
    bool Service(int64_t frame, bool frameLimited);  // lock held; true if anything moved

private:
    void Run();
    void Retire(Request &request);
    void DeliverQueued(std::unique_lock<std::mutex> &lock);
    bool Blocked(const PdoContext &p, const Request &request) const;
    bool RunInline(Request &request);
    void Enqueue(std::unique_ptr<Request> request);

    std::mutex mutex_;
    std::condition_variable changed_;
    bool kicked_ = false;
    bool stopping_ = false;
    std::thread thread_;
    std::vector<Completion> completions_;
    int delivering_ = 0;                   // batches being completed outside the lock
    std::condition_variable delivered_;    // a batch has been completed
    std::chrono::steady_clock::time_point epoch_;
    int64_t lastFrame_ = -1;

    DRIVER_OBJECT driver_{};
    DRIVER_EXTENSION driverExtension_{};
    std::u16string driverName_ = u"\\Driver\\usbhub";
    std::u16string busInstanceId_;
    unsigned portCount_;
};

// Dispatch routines of the bus driver (bus_driver.cpp routes to these).
NTSTATUS HubDispatchPnp(Bus &bus, PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS HubDispatchPower(Bus &bus, PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS PdoDispatchPnp(PdoContext &p, PIRP irp);
NTSTATUS PdoDispatchPower(PdoContext &p, PIRP irp);
NTSTATUS PdoDispatchInternalControl(PdoContext &p, PIRP irp);

// Select-configuration (configuration.cpp), lock held.
USBD_STATUS SelectConfiguration(Bus &bus, PdoContext &p, PURB urb);
void CloseConfiguration(Bus &bus, PdoContext &p);

// Transfers on the wire (wire.cpp), lock held. Progress moves packets of a
// transfer (at most *budget of them); Execute runs a request of any other
// kind. Both return whether the bus did something.
bool Progress(Bus &bus, Request &request, unsigned *budget);
bool Execute(Bus &bus, Request &request);

// Remote wake-up (pdo_power.cpp), lock held.
bool CompleteWaitWake(PdoContext &p, NTSTATUS status);

// The NTSTATUS Windows reports next to a USBD status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS usbd);

std::u16string HexU16(unsigned value, int digits);

}  // namespace winsim::usb
