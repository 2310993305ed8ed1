// The Plug and Play manager: the device tree, driver stacks built and torn
// down with the sequences of requests Windows sends, and the operations a
// user or the system performs on a device (stop and restart, query-remove,
// surprise removal, disable, uninstall).
//
// All its work runs on its own system thread, one operation at a time, as
// Windows' PnP manager does; the functions here post an operation and wait for
// it, except Invalidate, which a driver calls and which returns at once.
#pragma once

#include "internal.h"

#include <optional>

namespace winsim::pnp {

enum class NodeState {
    Initialized,      // reported by its bus, no drivers yet
    DriversAdded,     // AddDevice done, not started
    Started,
    QueryStopped,
    Stopped,
    QueryRemoved,
    SurpriseRemoved,  // removed from the bus; the remove request waits for the last handle
    Removed,          // stack torn down; the device is no longer present
    Disabled,         // stack torn down by the user; present
    Failed,           // a driver failed to load, AddDevice or start
};
const char *StateName(NodeState state);

struct DeviceNode;

// The drivers of a device, bottom to top (lower filters, function driver,
// upper filters), by service name.
struct DriverStack {
    std::vector<std::string> services;
};

// Chooses a device's drivers from its IDs, installing them if needed (the
// configuration manager's INF installer does this). nullopt: no driver.
struct DeviceIdentity {
    std::u16string instanceId;  // e.g. USB\VID_1A2B&PID_3C4D\5&1234&0&1
    std::vector<std::u16string> hardwareIds, compatibleIds;
};
using DriverResolver = std::function<std::optional<DriverStack>(const DeviceIdentity &)>;
void SetDriverResolver(DriverResolver resolver);

// A device on the root bus with the given IDs; it is enumerated, its drivers
// added and started as on Windows. Returns its node.
DeviceNode *AddRootDevice(const DeviceIdentity &identity);
// The same, with its drivers given directly instead of resolved.
DeviceNode *AddRootDevice(const DeviceIdentity &identity, const DriverStack &drivers);

// A bus whose stack its owner has already built and started (winsim's USB
// host controller): it becomes a device of the root bus, and from now on the
// manager enumerates the devices it reports, as it does for any bus.
// DetachBus removes the stacks of those devices, leaving them not present,
// and hands the bus back to its owner, which then tears it down.
DeviceNode *AttachBus(PDEVICE_OBJECT busPdo, const std::u16string &instanceId);
void DetachBus(PDEVICE_OBJECT busPdo);

// IoInvalidateDeviceRelations for BusRelations: the PnP manager asks the bus
// again, adds what appeared and removes what vanished. Waits for it.
void Reenumerate(PDEVICE_OBJECT busDevice);

// Operations on a device; each returns the status of the request that decided it.
NTSTATUS StopAndRestart(DeviceNode *node);       // rebalance
NTSTATUS QueryRemoveAndRemove(DeviceNode *node); // a veto leaves the device started
NTSTATUS CancelledQueryRemove(DeviceNode *node); // query-remove, then cancel-remove
NTSTATUS CancelledQueryStop(DeviceNode *node);   // query-stop, then cancel-stop
NTSTATUS Disable(DeviceNode *node);
NTSTATUS Enable(DeviceNode *node);
// The device is physically gone (its bus no longer reports it).
void SurpriseRemove(DeviceNode *node);

struct UninstallResult {
    bool removed;
    bool needsRestart;   // a vetoed query-remove: marked for removal at restart
};
UninstallResult Uninstall(DeviceNode *node);

// Waits until the manager has done all the work posted so far.
void Flush();

// Lookups.
DeviceNode *FindNode(const std::u16string &instanceId);
DeviceNode *NodeOfPdo(PDEVICE_OBJECT pdo);
NodeState StateOf(const DeviceNode *node);
PDEVICE_OBJECT PdoOf(const DeviceNode *node);
DeviceIdentity IdentityOf(const DeviceNode *node);
bool IsPresent(const DeviceNode *node);
bool MarkedForRemovalAtRestart(const DeviceNode *node);
std::vector<DeviceNode *> AllNodes();

// Called by the I/O manager when the last file object on a device is gone.
void OnLastHandleClosed(PDEVICE_OBJECT device);
// Whether the I/O manager may open a file object on this device now.
NTSTATUS CheckOpenAllowed(PDEVICE_OBJECT device);

// System power: sleep in state S1..S3 and resume. Returns the status of the
// query (a veto leaves the system working).
NTSTATUS Sleep(SYSTEM_POWER_STATE state);
void Resume();
SYSTEM_POWER_STATE SystemState();
// A wait-wake request completed successfully: a sleeping system resumes
// (on the manager's thread; returns at once).
void OnWake();

// Boot and shutdown of the manager (called by the machine).
void Start();
void Stop();   // removes every device still present

}  // namespace winsim::pnp
