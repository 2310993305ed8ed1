// winsim's harness: what a test or a tool uses to run a simulated machine,
// load drivers, build device stacks and tear everything down again with a
// report of what was left behind.
#pragma once

#include <wdm.h>

#include "../kernel/lowres.h"
#include "../usb/usb_host.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace winsim {
class Machine;
}

namespace winsim::harness {

struct MachineOptions {
    std::string driverDirectory;  // empty: the build's driver folder
    std::string windowsDirectory; // empty: a fresh temporary folder, removed at the end
    ULONG osMajor = 10, osMinor = 0;
    ULONG timeIncrement = 156250;
};

// The devices of a stack, top first: "\Driver\passthru (unnamed ...)".
std::vector<std::string> DescribeStack(PDEVICE_OBJECT pdo);

// Trace lines (one per request as it passes each device object) go to the
// sink while it is set; an empty function turns tracing off.
void SetTrace(std::function<void(const std::string &)> sink);

// Names a driver's private control code in trace lines and verifier reports
// (the IOCTL_SERIAL_* and IOCTL_INTERNAL_USB_* codes have theirs already).
void NameControlCode(ULONG code, const std::string &name);

// "STATUS_SUCCESS", "STATUS_DELETE_PENDING", or the value in hex.
std::string StatusName(NTSTATUS status);

class TestMachine {
public:
    explicit TestMachine(MachineOptions options = {});
    ~TestMachine();
    TestMachine(const TestMachine &) = delete;
    TestMachine &operator=(const TestMachine &) = delete;

    Machine &machine();

    // Loads a driver by service name (its DriverEntry runs); nullptr on failure.
    PDRIVER_OBJECT LoadDriver(const std::string &service);

    // A device on the root bus with drivers stacked on it: each driver's
    // AddDevice is called in order, lowest first. Returns the PDO, or nullptr
    // if a driver failed to load or AddDevice failed.
    PDEVICE_OBJECT BuildStack(const std::string &instanceId, const std::vector<std::string> &drivers);

    // A bare PDO on the root bus, for stacks a test builds itself.
    PDEVICE_OBJECT CreatePdo(const std::string &instanceId);

    // A driver object for driver code inside the test program itself.
    PDRIVER_OBJECT CreateDriver(const std::string &name);

    // Sends a Plug and Play request to the top of the PDO's stack and waits;
    // every PnP request starts with STATUS_NOT_SUPPORTED, as on Windows.
    NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor);

    // Sends IRP_MN_REMOVE_DEVICE down the stack and deletes the PDO.
    void RemoveStack(PDEVICE_OBJECT pdo);

    // Creates a symbolic link (e.g. \??\TEST0 to the PDO's name) so that an
    // application can open the device.
    NTSTATUS CreateLink(const std::string &link, PDEVICE_OBJECT device);

    // Stages a driver package from its INF, as `pnputil /add-driver` does;
    // devices that arrive later and match get its drivers. Returns the
    // published name (oem<N>.inf), or the error naming file and line.
    struct PackageResult {
        bool ok;
        std::string publishedName;
        std::string error;
    };
    PackageResult InstallPackage(const std::string &infPath);

    // Installation choices for devices that arrive from now on.
    void InstallWithoutUpperFilters(bool without);
    void AssignPortName(const std::string &instanceId, const std::string &portName);

    // ---- USB: the host controller, under the Plug and Play manager.
    // Options take effect when the host is created, at the first call of
    // Usb() or Plug*(); the harness always sets plugAndPlay.
    void SetUsbOptions(usb::HostOptions options);
    usb::UsbHost &Usb();
    // Plugs a device in and waits until the Plug and Play manager has dealt
    // with it (drivers installed and started, or left without a driver).
    std::shared_ptr<usb::UsbDevice> Plug(usb::DeviceConfig config, unsigned port = 0);
    // The simulated printer with the build's USB identity, its printer model attached.
    std::shared_ptr<usb::UsbDevice> PlugPrinter(unsigned port = 0);
    static usb::PrinterIdentity BuildPrinterIdentity();
    // Pulls it out and waits until the manager has surprise-removed it (and
    // removed its stack, unless a handle is still open).
    void Unplug(usb::UsbDevice &device);
    // "USB\VID_xxxx&PID_yyyy\<serial number or port>".
    static std::string InstanceIdOf(const usb::UsbDevice &device);

    // ---- Plug and Play and power events on a device, by instance ID. Each
    // returns the status of the request that decided it; STATUS_NO_SUCH_DEVICE
    // for an unknown device.
    NTSTATUS StopAndRestart(const std::string &instanceId);
    NTSTATUS QueryRemoveAndRemove(const std::string &instanceId);  // a veto leaves it started
    NTSTATUS CancelledQueryRemove(const std::string &instanceId);
    NTSTATUS CancelledQueryStop(const std::string &instanceId);
    NTSTATUS Disable(const std::string &instanceId);
    NTSTATUS Enable(const std::string &instanceId);
    // Device removal as the setup API's DIF_REMOVE does it: true when removed,
    // false when a driver vetoed and a restart is needed.
    bool Uninstall(const std::string &instanceId);
    // "started", "surprise-removed", "removed", "disabled", ...; "unknown" if there is no such device.
    std::string DeviceState(const std::string &instanceId);
    // Waits until the device is in `state`, Plug and Play work flushed; the
    // state it is in when the time is up. A removal that follows the last
    // close comes once the file object's last reference is gone, which may be
    // after CloseHandle has returned (a completion still running), as on Windows.
    std::string AwaitDeviceState(const std::string &instanceId, const std::string &state,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool DevicePresent(const std::string &instanceId);
    // The PDO of a present device; nullptr otherwise.
    PDEVICE_OBJECT PdoOf(const std::string &instanceId);
    // System sleep (S1..S3; the status of the query) and resume.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    void Resume();
    SYSTEM_POWER_STATE SystemPowerState();
    // Waits until the Plug and Play manager has done everything asked so far.
    void FlushPnp();

    // Stops the machine: drivers unloaded, threads ended. Returns what was
    // left behind (open handles, devices, IRPs); empty means clean. Leaks of a
    // driver stop the machine with a verifier report instead.
    std::vector<std::string> Shutdown();

private:
    std::unique_ptr<Machine> machine_;
    std::vector<PDEVICE_OBJECT> pdos_;
    usb::HostOptions usbOptions_;
    std::unique_ptr<usb::UsbHost> usb_;
};

}  // namespace winsim::harness
