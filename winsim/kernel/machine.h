// The simulated machine: the one instance of Windows that drivers, the
// simulator's own components and applications share inside this process.
#pragma once

#include "internal.h"
#include "pnp.h"

#include <chrono>
#include <map>
#include <string>

namespace winsim {

namespace setup {
class DriverSetup;
}

struct MachineConfig {
    std::string driverDirectory;       // where the host images of uninstalled drivers (.so) are
    std::string windowsDirectory;      // the machine's Windows folder; empty: a fresh temporary one
    ULONG osMajor = 10, osMinor = 0, osBuild = 19045;
    ULONG timeIncrement = 156250;      // 100-ns units per clock tick (15.625 ms)
};

// How devices get their drivers installed when they arrive.
struct InstallPolicy {
    // Leave the device's upper filters and exclusivity out (tests of a
    // function driver alone).
    bool withoutUpperFilters = false;
    // A COM name to give a device (by instance ID) instead of the arbiter's choice.
    std::map<std::u16string, std::string> portNames;
};

class Machine {
public:
    explicit Machine(MachineConfig config);
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    static Machine &Current();          // bug-checks if no machine is running
    static Machine *CurrentOrNull();

    MachineConfig &Config() { return config_; }
    setup::DriverSetup &Setup() { return *setup_; }
    InstallPolicy &Policy() { return policy_; }
    std::chrono::steady_clock::time_point BootTime() const { return bootTime_; }

    // Drivers, loaded by service name from the driver directory.
    PDRIVER_OBJECT LoadDriver(const std::string &service);
    PDRIVER_OBJECT FindDriver(const std::string &service);
    void UnloadDriver(PDRIVER_OBJECT driver);
    // A driver object for driver code that lives in the simulator itself or in
    // a test program (no image is loaded). Every major function starts out
    // completing with STATUS_INVALID_DEVICE_REQUEST.
    PDRIVER_OBJECT CreateBuiltinDriver(const std::string &name);
    std::vector<const Module *> Modules();
    const Module *ModuleAt(const void *address);
    const Module *ModuleOfDriver(PDRIVER_OBJECT driver);

    // Stops the machine: drivers unloaded (their leaks reported), worker and
    // DPC threads ended. Returns the findings; empty means a clean machine.
    std::vector<std::string> Shutdown();

private:
    struct LoadedDriver;
    void ReportDriverLeaks(LoadedDriver &driver, std::vector<std::string> &findings);

    std::string ImageOf(const std::string &service);
    std::optional<pnp::DriverStack> ResolveDrivers(const pnp::DeviceIdentity &identity);

    MachineConfig config_;
    std::chrono::steady_clock::time_point bootTime_;
    bool temporaryWindowsDirectory_ = false;
    std::unique_ptr<setup::DriverSetup> setup_;
    InstallPolicy policy_;
    std::mutex lock_;
    std::map<std::string, std::unique_ptr<LoadedDriver>> drivers_;
    bool shutDown_ = false;
};

// System threads started by the machine: the DPC thread and the worker pool.
void StartSystemThreads();
void StopSystemThreads();
void FlushSystemWork();

}  // namespace winsim
