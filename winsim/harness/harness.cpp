// The harness (see harness.h).
#include "harness.h"

#include "../kernel/device.h"
#include "../kernel/internal.h"
#include "../kernel/irp.h"
#include "../kernel/machine.h"
#include "../kernel/pnp.h"
#include "../kernel/root_bus.h"
#include "../registry/registry.h"
#include "../setup/installer.h"
#include "../win32/handles.h"

#include <algorithm>
#include <thread>

namespace winsim::harness {

std::vector<std::string> DescribeStack(PDEVICE_OBJECT pdo)
{
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice)
        lines.insert(lines.begin(), DeviceDescription(d));
    return lines;
}

void SetTrace(std::function<void(const std::string &)> sink) { SetTraceSink(std::move(sink)); }

void NameControlCode(ULONG code, const std::string &name) { RegisterIoControlName(code, name); }

std::string StatusName(NTSTATUS status) { return winsim::StatusName(status); }

TestMachine::TestMachine(MachineOptions options)
{
    MachineConfig config;
    config.driverDirectory = options.driverDirectory.empty() ? WINSIM_DEFAULT_DRIVER_DIR : options.driverDirectory;
    config.windowsDirectory = options.windowsDirectory;
    config.osMajor = options.osMajor;
    config.osMinor = options.osMinor;
    config.timeIncrement = options.timeIncrement;
    machine_ = std::make_unique<Machine>(std::move(config));
}

TestMachine::~TestMachine() { Shutdown(); }

Machine &TestMachine::machine() { return *machine_; }

PDRIVER_OBJECT TestMachine::LoadDriver(const std::string &service) { return machine_->LoadDriver(service); }

PDEVICE_OBJECT TestMachine::BuildStack(const std::string &instanceId, const std::vector<std::string> &drivers)
{
    std::vector<PDRIVER_OBJECT> objects;
    for (auto &name : drivers) {
        PDRIVER_OBJECT driver = LoadDriver(name);
        if (driver == nullptr)
            return nullptr;
        objects.push_back(driver);
    }
    PDEVICE_OBJECT pdo = CreatePdo(instanceId);
    if (pdo == nullptr)
        return nullptr;
    for (PDRIVER_OBJECT driver : objects) {
        NTSTATUS status;
        {
            CallbackGuard guard("AddDevice", reinterpret_cast<const void *>(driver->DriverExtension->AddDevice));
            status = driver->DriverExtension->AddDevice(driver, pdo);
        }
        if (!NT_SUCCESS(status)) {
            RemoveStack(pdo);
            return nullptr;
        }
    }
    return pdo;
}

PDEVICE_OBJECT TestMachine::CreatePdo(const std::string &instanceId)
{
    PDEVICE_OBJECT pdo = CreateRootPdo(Wide(instanceId));
    if (pdo != nullptr)
        pdos_.push_back(pdo);
    return pdo;
}

TestMachine::PackageResult TestMachine::InstallPackage(const std::string &infPath)
{
    setup::PackageResult r = machine_->Setup().InstallPackage(infPath);
    return PackageResult{r.ok, r.publishedName, r.error};
}

void TestMachine::InstallWithoutUpperFilters(bool without) { machine_->Policy().withoutUpperFilters = without; }

void TestMachine::AssignPortName(const std::string &instanceId, const std::string &portName)
{
    machine_->Policy().portNames[Wide(instanceId)] = portName;
}

PDRIVER_OBJECT TestMachine::CreateDriver(const std::string &name) { return machine_->CreateBuiltinDriver(name); }

NTSTATUS TestMachine::SendPnp(PDEVICE_OBJECT pdo, UCHAR minor)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = minor;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = CallAndWait(top, irp, &event, &iosb);
    ObDereferenceObject(top);
    return status;
}

void TestMachine::RemoveStack(PDEVICE_OBJECT pdo)
{
    if (pdo->AttachedDevice != nullptr)
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    std::erase(pdos_, pdo);
    DeleteRootPdo(pdo);
}

NTSTATUS TestMachine::CreateLink(const std::string &link, PDEVICE_OBJECT device)
{
    std::u16string target;
    {
        std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
        target = RecordOf(device)->name;
    }
    return winsim::CreateLink(Wide(link), target);
}

void TestMachine::SetUsbOptions(usb::HostOptions options) { usbOptions_ = std::move(options); }

usb::UsbHost &TestMachine::Usb()
{
    if (!usb_) {
        usb::HostOptions options = usbOptions_;
        options.plugAndPlay = true;
        usb_ = std::make_unique<usb::UsbHost>(options);
    }
    return *usb_;
}

std::shared_ptr<usb::UsbDevice> TestMachine::Plug(usb::DeviceConfig config, unsigned port)
{
    auto device = Usb().Plug(std::move(config), port);
    pnp::Flush();
    return device;
}

usb::PrinterIdentity TestMachine::BuildPrinterIdentity()
{
    return usb::PrinterIdentity{WINSIM_PRINTER_VID, WINSIM_PRINTER_PID, WINSIM_PRINTER_REV};
}

std::shared_ptr<usb::UsbDevice> TestMachine::PlugPrinter(unsigned port)
{
    auto device = Usb().Plug(usb::PrinterConfig(BuildPrinterIdentity()), port);
    device->AttachPrinterModel();
    pnp::Flush();
    return device;
}

void TestMachine::Unplug(usb::UsbDevice &device)
{
    device.Unplug();
    pnp::Flush();
}

std::string TestMachine::InstanceIdOf(const usb::UsbDevice &device)
{
    char prefix[40];
    const usb::DeviceConfig &c = device.Config();
    snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X\\", c.vendorId, c.productId);
    std::u16string instance = device.InstanceId();
    return prefix + Narrow(reinterpret_cast<const WCHAR *>(instance.data()), instance.size());
}

namespace {

pnp::DeviceNode *NodeOf(const std::string &instanceId) { return pnp::FindNode(Wide(instanceId)); }

template <typename Operation>
NTSTATUS OnNode(const std::string &instanceId, Operation operation)
{
    pnp::DeviceNode *node = NodeOf(instanceId);
    return node != nullptr ? operation(node) : STATUS_NO_SUCH_DEVICE;
}

}  // namespace

NTSTATUS TestMachine::StopAndRestart(const std::string &id) { return OnNode(id, pnp::StopAndRestart); }
NTSTATUS TestMachine::QueryRemoveAndRemove(const std::string &id) { return OnNode(id, pnp::QueryRemoveAndRemove); }
NTSTATUS TestMachine::CancelledQueryRemove(const std::string &id) { return OnNode(id, pnp::CancelledQueryRemove); }
NTSTATUS TestMachine::CancelledQueryStop(const std::string &id) { return OnNode(id, pnp::CancelledQueryStop); }
NTSTATUS TestMachine::Disable(const std::string &id) { return OnNode(id, pnp::Disable); }
NTSTATUS TestMachine::Enable(const std::string &id) { return OnNode(id, pnp::Enable); }

bool TestMachine::Uninstall(const std::string &instanceId)
{
    pnp::DeviceNode *node = NodeOf(instanceId);
    return node == nullptr || pnp::Uninstall(node).removed;
}

std::string TestMachine::DeviceState(const std::string &instanceId)
{
    pnp::DeviceNode *node = NodeOf(instanceId);
    return node != nullptr ? pnp::StateName(pnp::StateOf(node)) : "unknown";
}

std::string TestMachine::AwaitDeviceState(const std::string &instanceId, const std::string &state,
                                          std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        FlushPnp();
        std::string now = DeviceState(instanceId);
        if (now == state || std::chrono::steady_clock::now() >= deadline)
            return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool TestMachine::DevicePresent(const std::string &instanceId)
{
    pnp::DeviceNode *node = NodeOf(instanceId);
    return node != nullptr && pnp::IsPresent(node);
}

PDEVICE_OBJECT TestMachine::PdoOf(const std::string &instanceId)
{
    pnp::DeviceNode *node = NodeOf(instanceId);
    return node != nullptr && pnp::IsPresent(node) ? pnp::PdoOf(node) : nullptr;
}

NTSTATUS TestMachine::Sleep(SYSTEM_POWER_STATE state) { return pnp::Sleep(state); }
void TestMachine::Resume() { pnp::Resume(); }
SYSTEM_POWER_STATE TestMachine::SystemPowerState() { return pnp::SystemState(); }
void TestMachine::FlushPnp() { pnp::Flush(); }

std::vector<std::string> TestMachine::Shutdown()
{
    if (!machine_)
        return {};
    std::vector<std::string> findings;
    if (size_t handles = win32::OpenHandleCount())
        findings.push_back(std::to_string(handles) + " Win32 handle(s) still open");
    if (size_t keys = registry::OpenUserKeyHandleCount())
        findings.push_back(std::to_string(keys) + " registry key handle(s) (HKEY) still open");
    usb_.reset();  // the device stacks on its ports are removed first
    while (!pdos_.empty())
        RemoveStack(pdos_.back());
    for (auto &f : machine_->Shutdown())
        findings.push_back(f);
    machine_.reset();
    return findings;
}

}  // namespace winsim::harness
