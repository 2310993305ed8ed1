// Windows' device setup for winsim: driver packages staged from their INF
// into the machine's driver store, and drivers installed on devices the
// Plug and Play manager reports.
//
//   DriverSetup setup({windowsFolder});
//   auto package = setup.InstallPackage("pkg/driver.inf");     // oem0.inf
//   auto device = setup.InstallDevice("USB\\VID_1A2B&PID_3C4D\\5&1&0",
//                                     {"USB\\VID_1A2B&PID_3C4D&REV_0100", "USB\\VID_1A2B&PID_3C4D"},
//                                     {"USB\\Class_FF&SubClass_00", "USB\\Class_FF"});
//   // device.service, device.upperFilters, device.portName ...
//
// InstallDevice writes what Windows keeps for an installed device: the
// instance key Enum\<instance ID> (HardwareID, CompatibleIDs, DeviceDesc,
// Mfg, Class, ClassGUID, Driver, Service, UpperFilters, ConfigFlags,
// FriendlyName), its hardware key (Device Parameters: the .HW section's
// AddReg, PortName), its software key Control\Class\{guid}\NNNN and the
// service keys; it copies the driver files out of the store.
#pragma once

#include "install_section.h"
#include "platform.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace winsim::setup {

struct SetupConfig {
    // The host folder that stands for the machine's Windows folder; a fresh
    // one for every machine, as the registry is fresh.
    std::filesystem::path windowsDirectory;
    std::string systemRoot = "C:\\Windows";  // what Windows calls that folder
    Platform platform;                       // amd64 Windows 10 unless told otherwise
};

struct PackageOptions {
    // The folder with the files the INF names; empty: the INF's own folder.
    std::filesystem::path packageDirectory;
};

struct PackageResult {
    bool ok = false;
    std::string error;           // "<inf path>(<line>): <what is wrong>"
    std::string publishedName;   // oem<N>.inf
    std::filesystem::path storeDirectory;
    bool alreadyStaged = false;  // the same INF was staged before: its published name again
};

struct DeviceOptions {
    // Ports class: this COM name instead of the remembered or lowest free one.
    std::string portName;
    // Consider only Models entries with this install section (a driver picked
    // by hand, e.g. the variant of a package without its filter).
    std::string installSection;
};

struct DeviceResult {
    bool matched = false;        // a staged package has a driver for the device
    std::string error;           // set when it matched but could not be installed
    std::string publishedName;   // the package used
    std::string description;
    std::string manufacturer;
    std::string installSection;  // with its platform extension: "Install.NTamd64"
    std::string matchingId;      // the device ID that matched
    std::string classGuid;       // lower case, in braces
    std::string className;
    std::string driverKey;       // "{guid}\\0000" under Control\Class
    std::string service;         // the function driver
    std::vector<std::string> upperFilters, lowerFilters;
    bool exclusive = false;      // the .HW section made the device exclusive
    std::string portName;        // Ports class only

    // The services of the device's stack, bottom to top: lower filters,
    // function driver, upper filters (the order AddDevice is called in).
    std::vector<std::string> StackServices() const;
};

class DriverSetup {
public:
    explicit DriverSetup(SetupConfig config);
    ~DriverSetup();
    DriverSetup(const DriverSetup &) = delete;
    DriverSetup &operator=(const DriverSetup &) = delete;

    // Checks the package and stages it (pnputil /add-driver).
    PackageResult InstallPackage(const std::filesystem::path &infPath, const PackageOptions &options = {});

    // Picks the best driver among the staged packages for a device and
    // installs it. A device installed before keeps its instance key, its
    // software key number and its COM name.
    DeviceResult InstallDevice(const std::string &instanceId, const std::vector<std::string> &hardwareIds,
                               const std::vector<std::string> &compatibleIds, const DeviceOptions &options = {});
    // The same with the IDs as the bus driver reports them (UTF-16).
    DeviceResult InstallDevice(const std::u16string &instanceId, const std::vector<std::u16string> &hardwareIds,
                               const std::vector<std::u16string> &compatibleIds, const DeviceOptions &options = {});

    // The driver a device got when it was installed, as its keys record it:
    // what the Plug and Play manager loads when a known device comes back,
    // without installing it again. nullopt: the device has no driver yet.
    std::optional<DeviceResult> InstalledDriver(const std::string &instanceId) const;
    std::optional<DeviceResult> InstalledDriver(const std::u16string &instanceId) const;

    // What DIF_REMOVE leaves behind: the device's keys gone, its COM number free.
    void RemoveDevice(const std::string &instanceId);

    // pnputil /delete-driver: the published INF, the store folder, the index entry.
    bool DeletePackage(const std::string &publishedName);
    std::vector<std::string> PublishedPackages() const;
    // The package that a device's installed driver came from, by instance ID.
    std::optional<std::string> PackageOfDevice(const std::string &instanceId) const;

    // InstallHinfSection: runs an INF's own section (DelFiles, DelReg,
    // DelService) on the machine.
    SectionResult RunInstallSection(const std::filesystem::path &infPath, const std::string &section);

    const SetupConfig &config() const { return config_; }

private:
    struct Parts;

    SetupConfig config_;
    std::unique_ptr<Parts> parts_;
    mutable std::mutex lock_;
};

}  // namespace winsim::setup
