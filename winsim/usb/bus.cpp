// The host controller: ports, the PDOs of the devices plugged into them,
// and the controller thread that runs the wire and completes requests.
#include "bus.h"

#include "../kernel/device.h"
#include "../kernel/irp.h"
#include "../kernel/root_bus.h"

#include <atomic>
#include <cstdio>

namespace winsim::usb {

DRIVER_DISPATCH BusDispatch;  // bus_driver.cpp

namespace {

std::atomic<unsigned> g_nextPdoNumber{1};

// Windows rejects serial numbers that would not make a valid instance ID.
bool UsableSerialNumber(const std::u16string &serial)
{
    if (serial.empty() || serial.size() > 126)
        return false;
    for (char16_t c : serial)
        if (c < 0x20 || c > 0x7F || c == u',')
            return false;
    return true;
}

// A port-derived instance ID in the form Windows uses ("5&<hash>&0&<port>"),
// the same every time the same port of the same hub is used.
std::u16string PortInstanceId(const std::u16string &hubInstance, unsigned port)
{
    uint32_t hash = 2166136261u;
    for (char16_t c : hubInstance)
        hash = (hash ^ c) * 16777619u;
    char text[48];
    snprintf(text, sizeof text, "5&%X&0&%u", hash, port);
    return Wide(text);
}

}  // namespace

std::u16string HexU16(unsigned value, int digits)
{
    char text[16];
    snprintf(text, sizeof text, "%0*X", digits, value);
    return Wide(text);
}

Pipe *PdoContext::FindPipe(USBD_PIPE_HANDLE handle)
{
    for (Pipe &pipe : pipes)
        if (pipe.handle == handle && handle != nullptr)
            return &pipe;
    return nullptr;
}

Bus::Bus(const HostOptions &options)
    : wire(options.wire), forcePending(options.forcePending), epoch_(std::chrono::steady_clock::now()),
      busInstanceId_(options.busInstanceId), portCount_(options.ports)
{
    ports.assign(portCount_, nullptr);
    driver_.Type = 4;  // IO_TYPE_DRIVER
    driver_.Size = sizeof(DRIVER_OBJECT);
    driverExtension_.DriverObject = &driver_;
    driver_.DriverExtension = &driverExtension_;
    driver_.DriverName.Buffer = reinterpret_cast<PWSTR>(driverName_.data());
    driver_.DriverName.Length = driver_.DriverName.MaximumLength =
        static_cast<USHORT>(driverName_.size() * sizeof(WCHAR));
    for (auto &f : driver_.MajorFunction)
        f = BusDispatch;
}

Bus::~Bus() { Stop(); }

int64_t Bus::FrameNow() const
{
    auto elapsed = std::chrono::steady_clock::now() - epoch_;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

void Bus::KickLocked()
{
    kicked_ = true;
    changed_.notify_all();
}

void Bus::Start() { thread_ = std::thread([this] { Run(); }); }

void Bus::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
}

// The controller thread. With the instant wire it services the requests
// whenever something changed; with full-speed timing it plays every frame
// that has ended, while anything can still move, and sleeps until the end
// of the next one. Completions go out at DISPATCH_LEVEL without the lock.
void Bus::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    bool busy = false;
    // A request none of the played frames could carry yet: submitted in the
    // last frame played or after it.
    auto fresh = [this](const Request &r) { return !r.finished && r.submitFrame >= lastFrame_; };
    while (!stopping_) {
        bool kicked = kicked_;
        kicked_ = false;
        if (wire == WireModel::Instant) {
            busy = false;
            Service(0, false);
        } else {
            int64_t now = FrameNow();
            if (!busy) {
                // Frames that passed while nothing could move are skipped, but
                // not those a request submitted meanwhile was due in.
                int64_t start = now - 1;
                for (PdoContext *p : ports)
                    if (p != nullptr)
                        for (auto &r : p->active)
                            if (fresh(*r))
                                start = std::min(start, r->submitFrame);
                lastFrame_ = std::max(lastFrame_, start);
            }
            // Whether anything moved in the frames played this time; with no
            // frame ended since the last pass, the last answer stands.
            if (lastFrame_ + 1 < now) {
                busy = false;
                for (int64_t frame = lastFrame_ + 1; frame < now; frame++)
                    busy |= Service(frame, true);
            }
            lastFrame_ = std::max(lastFrame_, now - 1);
            for (PdoContext *p : ports)
                if (p != nullptr)
                    for (auto &r : p->active)
                        busy |= fresh(*r);
            // Something changed (data the device now has for a request that
            // has been waiting, a halt cleared): the frame under way carries it.
            busy |= kicked;
        }
        if (!completions_.empty()) {
            DeliverQueued(lock);
            continue;  // completion routines may have submitted more
        }
        if (kicked_)
            continue;
        if (busy) {
            auto next = epoch_ + std::chrono::milliseconds(lastFrame_ + 2);
            changed_.wait_until(lock, next, [this] { return stopping_ || kicked_; });
        } else {
            changed_.wait(lock, [this] { return stopping_ || kicked_; });
        }
    }
    // Nothing the controller finished is left uncompleted.
    std::vector<Completion> out = std::move(completions_);
    completions_.clear();
    lock.unlock();
    DeliverAll(out, true);
}

void Bus::DeliverAll(std::vector<Completion> &completions, bool atDispatch)
{
    KIRQL old = PASSIVE_LEVEL;
    if (atDispatch)
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (Completion &c : completions) {
        c.irp->IoStatus.Status = c.status;
        c.irp->IoStatus.Information = 0;
        IoCompleteRequest(c.irp, IO_NO_INCREMENT);
        c.request.reset();
    }
    if (atDispatch)
        KeLowerIrql(old);
}

// Completes what is queued, outside the lock (held on entry and on return).
void Bus::DeliverQueued(std::unique_lock<std::mutex> &lock)
{
    std::vector<Completion> out = std::move(completions_);
    completions_.clear();
    delivering_++;
    lock.unlock();
    DeliverAll(out, true);
    lock.lock();
    delivering_--;
    delivered_.notify_all();
}

// A PDO is deleted only once none of its requests is left uncompleted, and
// the requests its removal failed may still be on their way up.
void Bus::FlushCompletions()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!completions_.empty()) {
            DeliverQueued(lock);
            continue;
        }
        if (delivering_ == 0 || std::this_thread::get_id() == thread_.get_id())
            return;
        delivered_.wait(lock);
    }
}

void Bus::QueueCompletion(PIRP irp, NTSTATUS status)
{
    completions_.push_back(Completion{irp, status, nullptr});
    KickLocked();
}

// ---------------------------------------------------------------- hub and PDOs

void Bus::CreateHub(bool start)
{
    busPdo = CreateRootPdo(busInstanceId_);
    if (busPdo == nullptr)
        BugCheck("USB_HOST_SETUP", "the root bus did not give the USB host controller a PDO");
    NTSTATUS status = IoCreateDevice(&driver_, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &hubFdo);
    if (!NT_SUCCESS(status))
        BugCheck("USB_HOST_SETUP", "IoCreateDevice for the USB hub failed with " + StatusName(status));
    *ExtensionOf(hubFdo) = Extension{kExtensionSignature, false, this, nullptr};
    IoAttachDeviceToDeviceStack(hubFdo, busPdo);
    hubFdo->Flags |= DO_POWER_PAGABLE;
    hubFdo->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!start)
        return;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, hubFdo, nullptr, 0, nullptr, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_START_DEVICE;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    CallAndWait(hubFdo, irp, &event, &iosb);
}

void Bus::DeleteHub()
{
    if (hubFdo == nullptr)
        return;
    IoDetachDevice(busPdo);
    IoDeleteDevice(hubFdo);
    DeleteRootPdo(busPdo);
    hubFdo = busPdo = nullptr;
}

// Creates the PDO of a device that has just been connected: named like
// Windows' ("\Device\USBPDO-n"), with its device instance ID, referenced by
// the bus for as long as the host lives.
PdoContext *Bus::AddPdo(std::shared_ptr<UsbDevice> device, unsigned port)
{
    auto context = std::make_unique<PdoContext>();
    PdoContext *p = context.get();
    p->bus = this;
    p->port = port;
    p->device = device;
    const DeviceConfig &config = device->Config();
    p->deviceId = u"USB\\VID_" + HexU16(config.vendorId, 4) + u"&PID_" + HexU16(config.productId, 4);
    p->instanceId = UsableSerialNumber(config.serialNumber) ? config.serialNumber
                                                             : PortInstanceId(busInstanceId_, port);

    std::u16string name = u"\\Device\\USBPDO-" + Wide(std::to_string(g_nextPdoNumber++));
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = reinterpret_cast<PWSTR>(name.data());
    unicodeName.Length = unicodeName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    NTSTATUS status = IoCreateDevice(&driver_, sizeof(Extension), &unicodeName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &p->pdo);
    if (!NT_SUCCESS(status))
        BugCheck("USB_HOST_SETUP", "IoCreateDevice for a USB PDO failed with " + StatusName(status));
    *ExtensionOf(p->pdo) = Extension{kExtensionSignature, true, this, p};
    ObReferenceObject(p->pdo);
    SetDeviceInstanceId(p->pdo, p->deviceId + u"\\" + p->instanceId);
    p->pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    p->pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    std::lock_guard<std::mutex> lock(mutex_);
    device->State().pdo = p;
    ports[port - 1] = p;
    pdos.push_back(std::move(context));
    return p;
}

// The device has left its port: everything it had in flight fails as a
// request to a device that is gone, and so does a wait for its wake signal.
void Bus::Disconnect(PdoContext &p)
{
    DeviceState &device = p.Device();
    if (!device.connected)
        return;
    device.connected = false;
    if (ports[p.port - 1] == &p)
        ports[p.port - 1] = nullptr;
    FailAll(p, USBD_STATUS_DEVICE_GONE);
    CompleteWaitWake(p, STATUS_NO_SUCH_DEVICE);
    KickLocked();
}

void Bus::InvalidateRelations()
{
    if (busPdo != nullptr)
        IoInvalidateDeviceRelations(busPdo, BusRelations);
}

namespace {

NTSTATUS SendRemove(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_REMOVE_DEVICE;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = CallAndWait(top, irp, &event, &iosb);
    ObDereferenceObject(top);
    return status;
}

}  // namespace

// The hub goes away: as the Plug and Play manager would, every device stack
// still on a PDO is removed from its top; then every PDO is deleted. The
// bus's own reference is the last one: anyone else still holding a PDO would
// be left with freed memory.
void Bus::RemoveAllPdos()
{
    std::vector<PdoContext *> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &p : pdos)
            all.push_back(p.get());
    }
    for (PdoContext *p : all) {
        if (!p->deleted && p->pdo->AttachedDevice != nullptr)
            SendRemove(p->pdo);
        bool remove;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Disconnect(*p);
            p->missing = true;
            remove = !p->deleted;
        }
        if (remove)
            SendRemove(p->pdo);
    }
    // Let the controller hand back what the disconnects failed.
    FlushCompletions();
    for (PdoContext *p : all) {
        LONG references;
        {
            std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
            references = RecordOf(p->pdo)->references;
        }
        if (references != 1)
            BugCheck("USB_PDO_REFERENCED_AT_BUS_REMOVAL",
                     "the USB host is going away while " + std::to_string(references - 1) +
                         " reference(s) to its PDO " + DeviceName(p->pdo) + " are still held");
        ObDereferenceObject(p->pdo);
    }
    // The devices may outlive the host (a test may still hold one): they
    // no longer have a PDO, and the cycle device-bus-PDO is broken here.
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &p : pdos) {
        p->device->State().pdo = nullptr;
        p->device.reset();
    }
}

}  // namespace winsim::usb
