// The machine: boot and shutdown, the driver loader, and the modules drivers
// are attributed to. Host drivers are shared objects loaded with RTLD_LOCAL,
// so two drivers share no globals, as two .sys images do not.
#include "machine.h"

#include "device.h"
#include "irp.h"
#include "file.h"
#include "pnp.h"
#include "../registry/registry.h"
#include "../setup/installer.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <condition_variable>
#include <stdlib.h>

#include <filesystem>

#include <cstdio>

namespace winsim {

void StartDpcThread();
void StopDpcThread();
void StartWorkerPool();
void StopWorkerPool();
void StartRootBus();
std::vector<std::string> StopRootBus();

namespace {

std::atomic<Machine *> g_current{nullptr};
std::mutex g_modulesLock;
std::vector<Module *> g_modules;
std::condition_variable g_moduleCallsDone;        // a call into a module has returned
thread_local std::vector<const Module *> t_modulesEntered;  // this thread's calls in progress

// The end of the image loaded at `base`: its highest loaded segment.
uintptr_t ImageEnd(uintptr_t base)
{
    struct Search {
        uintptr_t base, end;
    } search{base, base};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *s = static_cast<Search *>(data);
            if (info->dlpi_addr != s->base)
                return 0;
            for (int i = 0; i < info->dlpi_phnum; i++)
                if (info->dlpi_phdr[i].p_type == PT_LOAD)
                    s->end = std::max<uintptr_t>(s->end, s->base + info->dlpi_phdr[i].p_vaddr +
                                                             info->dlpi_phdr[i].p_memsz);
            return 1;
        },
        &search);
    return search.end;
}

// The loaded driver whose image holds `address`; modules lock held.
Module *ModuleAtLocked(const void *address)
{
    auto a = reinterpret_cast<uintptr_t>(address);
    for (Module *m : g_modules)
        if (a >= m->base && a < m->end)
            return m;
    return nullptr;
}

// Takes the module out of the list, then waits until the calls into it that
// other threads are still making have returned: a completion routine that has
// just set the event its driver waits for is still returning when the driver's
// last device goes and the driver is unloaded. Calls this thread is making
// itself do not count.
void ReleaseModule(Module &module)
{
    std::unique_lock<std::mutex> lock(g_modulesLock);
    std::erase(g_modules, &module);
    auto own = [&] { return static_cast<int>(std::count(t_modulesEntered.begin(), t_modulesEntered.end(), &module)); };
    g_moduleCallsDone.wait(lock, [&] { return module.callsInProgress == own(); });
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    // The I/O manager's entry for every major function a driver leaves unset.
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

struct Machine::LoadedDriver {
    Module module;
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string driverName;
    std::u16string serviceName;
    std::u16string registryPath;
};

Machine::Machine(MachineConfig config) : config_(std::move(config)), bootTime_(std::chrono::steady_clock::now())
{
    Machine *expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        fprintf(stderr, "winsim: a machine is already running in this process\n");
        abort();
    }
    registry::Boot({config_.osMajor, config_.osMinor, config_.osBuild});
    if (config_.windowsDirectory.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "winsim-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            fprintf(stderr, "winsim: cannot create the machine's Windows folder under %s\n", pattern.c_str());
            abort();
        }
        config_.windowsDirectory = pattern;
        temporaryWindowsDirectory_ = true;
    }
    setup::SetupConfig setupConfig;
    setupConfig.windowsDirectory = config_.windowsDirectory;
    setup_ = std::make_unique<setup::DriverSetup>(setupConfig);
    StartDpcThread();
    StartWorkerPool();
    StartRootBus();
    pnp::Start();
    pnp::SetDriverResolver([this](const pnp::DeviceIdentity &identity) { return ResolveDrivers(identity); });
}

Machine::~Machine()
{
    if (!shutDown_)
        Shutdown();
    setup_.reset();
    if (temporaryWindowsDirectory_) {
        std::error_code ignored;
        std::filesystem::remove_all(config_.windowsDirectory, ignored);
    }
    g_current = nullptr;
}

// A device's drivers: the ones it was installed with before (a device that
// comes back), or the best match among the staged packages, installed now.
std::optional<pnp::DriverStack> Machine::ResolveDrivers(const pnp::DeviceIdentity &identity)
{
    std::optional<setup::DeviceResult> installed = setup_->InstalledDriver(identity.instanceId);
    setup::DeviceResult result;
    if (installed) {
        result = *installed;
    } else {
        setup::DeviceOptions options;
        if (auto it = policy_.portNames.find(identity.instanceId); it != policy_.portNames.end())
            options.portName = it->second;
        result = setup_->InstallDevice(identity.instanceId, identity.hardwareIds, identity.compatibleIds, options);
    }
    if (!result.matched || !result.error.empty()) {
        if (!result.error.empty())
            fprintf(stderr, "winsim: installing %s failed: %s\n",
                    Narrow(reinterpret_cast<const WCHAR *>(identity.instanceId.data()), identity.instanceId.size()).c_str(),
                    result.error.c_str());
        return std::nullopt;
    }
    if (policy_.withoutUpperFilters) {
        // The function driver as if installed alone: no filter above it and
        // none of the port's exclusivity, so its own files open side by side.
        std::string instanceKey = std::string(registry::kEnumKey) + "\\" +
                                  Narrow(reinterpret_cast<const WCHAR *>(identity.instanceId.data()),
                                         identity.instanceId.size());
        registry::DeleteValue(instanceKey, "UpperFilters");
        registry::DeleteValue(instanceKey, "Exclusive");
        result.upperFilters.clear();
        result.exclusive = false;
    }
    return pnp::DriverStack{result.StackServices()};
}

// The host image of a driver: the file its service's ImagePath names inside
// the machine's Windows folder (an installed driver), else the build's
// driver folder.
std::string Machine::ImageOf(const std::string &service)
{
    std::optional<std::string> imagePath =
        registry::GetString(std::string(registry::kServicesKey) + "\\" + service, "ImagePath");
    if (imagePath) {
        std::string relative = *imagePath;
        for (const char *prefix : {"\\SystemRoot\\", "%SystemRoot%\\", "%systemroot%\\"})
            if (relative.rfind(prefix, 0) == 0)
                relative = relative.substr(strlen(prefix));
        std::filesystem::path candidate = config_.windowsDirectory;
        std::string part;
        for (char c : relative + "\\") {
            if (c != '\\') {
                part += c;
                continue;
            }
            if (part.empty())
                continue;
            // Windows paths ignore case; the folder's entries may differ in it.
            std::filesystem::path next = candidate / part;
            std::error_code ec;
            if (!std::filesystem::exists(next, ec) && std::filesystem::is_directory(candidate, ec))
                for (auto &entry : std::filesystem::directory_iterator(candidate, ec))
                    if (strcasecmp(entry.path().filename().c_str(), part.c_str()) == 0)
                        next = entry.path();
            candidate = next;
            part.clear();
        }
        // A host build's package carries the host images under the .sys
        // names; anything else (a Windows image, a placeholder) cannot run here.
        char magic[4] = {};
        if (FILE *f = fopen(candidate.c_str(), "rb")) {
            size_t n = fread(magic, 1, sizeof magic, f);
            fclose(f);
            if (n == sizeof magic && memcmp(magic, "\x7f" "ELF", 4) == 0)
                return candidate.string();
        }
    }
    return config_.driverDirectory + "/" + service + ".so";
}

Machine &Machine::Current()
{
    Machine *m = g_current.load();
    if (m == nullptr) {
        fprintf(stderr, "winsim: no machine is running (boot one first)\n");
        abort();
    }
    return *m;
}

Machine *Machine::CurrentOrNull() { return g_current.load(); }

PDRIVER_OBJECT Machine::LoadDriver(const std::string &service)
{
    if (PDRIVER_OBJECT existing = FindDriver(service))
        return existing;
    auto driver = std::make_unique<LoadedDriver>();
    driver->module.name = service;
    driver->module.path = ImageOf(service);
    driver->module.handle = dlopen(driver->module.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (driver->module.handle == nullptr) {
        fprintf(stderr, "winsim: cannot load driver %s: %s\n", service.c_str(), dlerror());
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(driver->module.handle, "DriverEntry"));
    Dl_info info{};
    if (entry == nullptr || dladdr(reinterpret_cast<void *>(entry), &info) == 0) {
        fprintf(stderr, "winsim: driver %s has no DriverEntry\n", service.c_str());
        dlclose(driver->module.handle);
        return nullptr;
    }
    driver->module.base = reinterpret_cast<uintptr_t>(info.dli_fbase);
    driver->module.end = ImageEnd(driver->module.base);
    {
        std::lock_guard<std::mutex> lock(g_modulesLock);
        g_modules.push_back(&driver->module);
    }
    driver->driverName = u"\\Driver\\" + Wide(service);
    driver->serviceName = Wide(service);
    driver->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Wide(service);
    PDRIVER_OBJECT object = &driver->object;
    object->Type = 4;  // IO_TYPE_DRIVER
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &driver->extension;
    driver->extension.DriverObject = object;
    auto setString = [](UNICODE_STRING &s, std::u16string &text) {
        s.Buffer = reinterpret_cast<PWSTR>(text.data());
        s.Length = s.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    };
    setString(object->DriverName, driver->driverName);
    setString(driver->extension.ServiceKeyName, driver->serviceName);
    object->DriverStart = info.dli_fbase;
    object->DriverInit = entry;
    for (auto &f : object->MajorFunction)
        f = InvalidDeviceRequest;
    UNICODE_STRING registryPath;
    setString(registryPath, driver->registryPath);
    NTSTATUS status;
    {
        CallbackGuard guard("DriverEntry", reinterpret_cast<const void *>(entry));
        status = entry(object, &registryPath);
    }
    LoadedDriver *raw = driver.get();
    {
        std::lock_guard<std::mutex> lock(lock_);
        drivers_[service] = std::move(driver);
    }
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "winsim: DriverEntry of %s failed with %s\n", service.c_str(), StatusName(status).c_str());
        UnloadDriver(&raw->object);
        return nullptr;
    }
    Trace("driver " + service + " loaded");
    return object;
}

PDRIVER_OBJECT Machine::CreateBuiltinDriver(const std::string &name)
{
    auto driver = std::make_unique<LoadedDriver>();
    driver->module.name = name;
    driver->driverName = u"\\Driver\\" + Wide(name);
    driver->serviceName = Wide(name);
    PDRIVER_OBJECT object = &driver->object;
    object->Type = 4;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &driver->extension;
    driver->extension.DriverObject = object;
    object->DriverName.Buffer = reinterpret_cast<PWSTR>(driver->driverName.data());
    object->DriverName.Length = object->DriverName.MaximumLength =
        static_cast<USHORT>(driver->driverName.size() * sizeof(WCHAR));
    for (auto &f : object->MajorFunction)
        f = InvalidDeviceRequest;
    std::lock_guard<std::mutex> lock(lock_);
    drivers_[name] = std::move(driver);
    return object;
}

PDRIVER_OBJECT Machine::FindDriver(const std::string &service)
{
    std::lock_guard<std::mutex> lock(lock_);
    auto it = drivers_.find(service);
    return it == drivers_.end() ? nullptr : &it->second->object;
}

const Module *Machine::ModuleOfDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lock(lock_);
    for (auto &[name, d] : drivers_)
        if (&d->object == driver)
            return &d->module;
    return nullptr;
}

void Machine::UnloadDriver(PDRIVER_OBJECT object)
{
    std::unique_ptr<LoadedDriver> driver;
    {
        std::lock_guard<std::mutex> lock(lock_);
        for (auto it = drivers_.begin(); it != drivers_.end(); ++it)
            if (&it->second->object == object) {
                driver = std::move(it->second);
                drivers_.erase(it);
                break;
            }
    }
    if (!driver)
        return;
    if (!LiveDevicesOf(object).empty())
        BugCheck("DRIVER_UNLOADED_WITH_DEVICES",
                 "driver " + driver->module.name + " unloaded while it still has device objects", object->DriverStart);
    if (object->DriverUnload != nullptr) {
        CallbackGuard guard("DriverUnload", reinterpret_cast<const void *>(object->DriverUnload));
        object->DriverUnload(object);
    }
    // Queued work of the driver (and DPCs) must be done before its code goes.
    FlushSystemWork();
    KeFlushQueuedDpcs();
    std::vector<std::string> findings;
    ReportDriverLeaks(*driver, findings);
    if (!findings.empty()) {
        std::string detail = "driver " + driver->module.name + " unloaded without freeing:";
        for (auto &f : findings)
            detail += "\n      " + f;
        BugCheck("LEAK_AT_UNLOAD", detail, object->DriverStart);
    }
    ReleaseModule(driver->module);
    if (driver->module.handle != nullptr)
        dlclose(driver->module.handle);
    Trace("driver " + driver->module.name + " unloaded");
}

void Machine::ReportDriverLeaks(LoadedDriver &driver, std::vector<std::string> &findings)
{
    for (auto &leak : PoolLeaksOf(&driver.module)) {
        findings.push_back("pool block '" + PoolTagText(leak.tag) + "' of " + std::to_string(leak.bytes) +
                           " bytes allocated at " + leak.where);
    }
    for (auto &irp : DescribeLiveIrps(&driver.module))
        findings.push_back(irp);
    for (auto &key : registry::OpenKernelKeyHandles(&driver.module))
        findings.push_back(key);
}

std::vector<const Module *> Machine::Modules()
{
    std::lock_guard<std::mutex> lock(g_modulesLock);
    return {g_modules.begin(), g_modules.end()};
}

std::vector<std::string> Machine::Shutdown()
{
    std::vector<std::string> findings;
    if (shutDown_)
        return findings;
    shutDown_ = true;
    pnp::Stop();
    findings = StopRootBus();
    std::vector<PDRIVER_OBJECT> loaded;
    {
        std::lock_guard<std::mutex> lock(lock_);
        for (auto &[name, d] : drivers_)
            loaded.push_back(&d->object);
    }
    for (PDRIVER_OBJECT driver : loaded) {
        auto devices = LiveDevicesOf(driver);
        if (devices.empty()) {
            UnloadDriver(driver);
            continue;
        }
        findings.push_back(Narrow(&driver->DriverName) + " still has " + std::to_string(devices.size()) +
                           " device object(s) at shutdown");
    }
    if (size_t files = io::OpenFileCount())
        findings.push_back(std::to_string(files) + " file object(s) still open at shutdown");
    for (auto &irp : DescribeLiveIrps(nullptr))
        findings.push_back(irp + " at shutdown");
    StopWorkerPool();
    StopDpcThread();
    ReleaseQuarantine();
    ResetNamespace();
    return findings;
}

Module *EnterModule(const void *routine)
{
    std::lock_guard<std::mutex> lock(g_modulesLock);
    Module *m = ModuleAtLocked(routine);
    if (m != nullptr) {
        m->callsInProgress++;
        t_modulesEntered.push_back(m);
    }
    return m;
}

void LeaveModule(Module *module)
{
    if (module == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_modulesLock);
    module->callsInProgress--;
    t_modulesEntered.erase(std::find(t_modulesEntered.rbegin(), t_modulesEntered.rend(), module).base() - 1);
    g_moduleCallsDone.notify_all();
}

const Module *ModuleFromAddress(const void *address)
{
    std::lock_guard<std::mutex> lock(g_modulesLock);
    return ModuleAtLocked(address);
}

}  // namespace winsim

using namespace winsim;

extern "C" {

VOID ObReferenceObject(PVOID object)
{
    switch (static_cast<PDEVICE_OBJECT>(object)->Type) {
    case 3:
        ReferenceDevice(static_cast<PDEVICE_OBJECT>(object));
        break;
    case 5:
        io::ReferenceFile(static_cast<PFILE_OBJECT>(object));
        break;
    default:
        break;  // driver objects live as long as the driver is loaded
    }
}

VOID ObDereferenceObject(PVOID object)
{
    switch (static_cast<PDEVICE_OBJECT>(object)->Type) {
    case 3:
        DereferenceDevice(static_cast<PDEVICE_OBJECT>(object));
        break;
    case 5:
        io::DereferenceFile(static_cast<PFILE_OBJECT>(object));
        break;
    default:
        break;
    }
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT file) { return IoGetAttachedDevice(file->DeviceObject); }

}  // extern "C"
