// The harness (see harness.h).
#include "harness.h"

#include "../kernel/device.h"
#include "../kernel/internal.h"
#include "../kernel/machine.h"
#include "../kernel/root_bus.h"
#include "../registry/registry.h"
#include "../setup/installer.h"
#include "../win32/handles.h"

#include <algorithm>

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

std::vector<std::string> TestMachine::Shutdown()
{
    if (!machine_)
        return {};
    std::vector<std::string> findings;
    if (size_t handles = win32::OpenHandleCount())
        findings.push_back(std::to_string(handles) + " Win32 handle(s) still open");
    if (size_t keys = registry::OpenUserKeyHandleCount())
        findings.push_back(std::to_string(keys) + " registry key handle(s) (HKEY) still open");
    while (!pdos_.empty())
        RemoveStack(pdos_.back());
    for (auto &f : machine_->Shutdown())
        findings.push_back(f);
    machine_.reset();
    return findings;
}

}  // namespace winsim::harness
