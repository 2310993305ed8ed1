// The Plug and Play manager (see pnp.h). Sequences follow Microsoft Learn:
// "Adding a PnP Device to a Running System" (IDs and capabilities asked of the
// PDO, AddDevice lowest driver first, then the start sequence), "Starting a
// Device" (IRP_MN_START_DEVICE after the resource requirements, then
// IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE and BusRelations),
// "Stopping a Device for Resource Rebalancing", "Removing a Device",
// "Handling an IRP_MN_SURPRISE_REMOVAL Request" (the remove request follows
// once the last handle is closed) and "System Power States" (queries and
// sets leaves first, wake parents first).
#include "pnp.h"

#include "device.h"
#include "irp.h"
#include "machine.h"
#include "pnp_requests.h"
#include "root_bus.h"
#include "../registry/registry.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <thread>

namespace winsim::pnp {

struct DeviceNode {
    DeviceIdentity identity;
    PDEVICE_OBJECT pdo = nullptr;  // referenced while the node has it
    DeviceNode *parent = nullptr;
    std::vector<DeviceNode *> children;
    NodeState state = NodeState::Initialized;
    bool present = true;
    bool removeAtRestart = false;
    bool ownedByCaller = false;  // an attached bus: its owner removes its stack
    std::optional<DriverStack> fixedDrivers;
    std::vector<PDRIVER_OBJECT> drivers;
};

namespace {

// The manager's thread and its state. Everything below runs on that thread.
class Manager {
public:
    Manager() : thread_([this] { Loop(); }) {}
    ~Manager()
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // Runs fn on the manager's thread and waits for it.
    template <typename F>
    auto Run(F fn) -> decltype(fn())
    {
        if (std::this_thread::get_id() == thread_.get_id())
            return fn();
        std::packaged_task<decltype(fn())()> task(std::move(fn));
        auto result = task.get_future();
        Post([&task] { task(); });
        return result.get();
    }

    void Post(std::function<void()> work)
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            queue_.push_back(std::move(work));
        }
        changed_.notify_all();
    }

    std::vector<std::unique_ptr<DeviceNode>> nodes;
    DeviceNode root;
    DriverResolver resolver;
    SYSTEM_POWER_STATE systemState = PowerSystemWorking;
    std::mutex nodesLock;  // guards lookups from other threads

private:
    void Loop()
    {
        std::unique_lock<std::mutex> lock(lock_);
        for (;;) {
            changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            auto work = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

Manager *g_manager = nullptr;

Manager &M()
{
    if (g_manager == nullptr)
        BugCheck("NO_MACHINE", "Plug and Play manager used with no machine running", nullptr);
    return *g_manager;
}

std::u16string First(const std::vector<std::u16string> &list) { return list.empty() ? u"" : list.front(); }

std::vector<std::u16string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type)
{
    StackResult r = SendPnp(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    if (!NT_SUCCESS(r.status))
        return {};
    // Hardware and compatible IDs are a MULTI_SZ; a device or instance ID is
    // one string, with nothing to read past its NUL.
    if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs)
        return TakeIdList(r.information);
    std::u16string id = TakeIdString(r.information);
    return id.empty() ? std::vector<std::u16string>{} : std::vector<std::u16string>{id};
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device)
{
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    return SendPnp(device, IRP_MN_QUERY_CAPABILITIES,
                   [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; })
        .status;
}

void SetState(DeviceNode *node, NodeState state)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    node->state = state;
}

void UnloadUnusedDrivers(DeviceNode *node)
{
    for (PDRIVER_OBJECT driver : node->drivers)
        if (LiveDevicesOf(driver).empty())
            Machine::Current().UnloadDriver(driver);
    node->drivers.clear();
}

// Sends the remove request down the stack: every driver detaches and deletes
// its device; the bus driver deletes the PDO if the device is gone.
void RemoveStack(DeviceNode *node, NodeState finalState)
{
    for (DeviceNode *child : node->children)
        if (child->state != NodeState::Removed && child->state != NodeState::Disabled)
            RemoveStack(child, NodeState::Removed);
    if (node->pdo == nullptr)
        return;
    // Removal cannot be refused: the stack is going whatever a driver says.
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_REMOVE_DEVICE).status;
    if (!NT_SUCCESS(status))
        BugCheck("PNP_REMOVE_FAILED",
                 "IRP_MN_REMOVE_DEVICE failed with " + StatusName(status) + " (a driver must not fail removal)",
                 IoGetAttachedDevice(node->pdo)->DriverObject->DriverStart);
    UnloadUnusedDrivers(node);
    if (finalState == NodeState::Removed) {
        DereferenceDevice(node->pdo);
        std::lock_guard<std::mutex> lock(M().nodesLock);
        node->pdo = nullptr;
        node->present = false;
    }
    SetState(node, finalState);
}

void ProcessBusRelations(DeviceNode *node);

// The start sequence, on a stack whose drivers are added.
NTSTATUS StartNode(DeviceNode *node)
{
    SendPnp(node->pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    SendPnp(node->pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_START_DEVICE).status;
    if (!NT_SUCCESS(status)) {
        RemoveStack(node, NodeState::Failed);
        return status;
    }
    SetState(node, NodeState::Started);
    QueryCapabilities(node->pdo);
    SendPnp(node->pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    ProcessBusRelations(node);
    return STATUS_SUCCESS;
}

NTSTATUS AddDrivers(DeviceNode *node)
{
    std::optional<DriverStack> stack = node->fixedDrivers;
    if (!stack && M().resolver)
        stack = M().resolver(node->identity);
    if (!stack || stack->services.empty()) {
        SetState(node, NodeState::Failed);
        Trace("no driver for " + Narrow(reinterpret_cast<const WCHAR *>(node->identity.instanceId.data()),
                                        node->identity.instanceId.size()));
        return STATUS_NO_SUCH_DEVICE;
    }
    // Exclusive access is a property of the device the INF sets; the PnP
    // manager gives it to the PDO, the device object applications open.
    std::string instanceKey = std::string(registry::kEnumKey) + "\\" +
                              Narrow(reinterpret_cast<const WCHAR *>(node->identity.instanceId.data()),
                                     node->identity.instanceId.size());
    if (registry::GetDword(instanceKey, "Exclusive").value_or(0) != 0)
        node->pdo->Flags |= DO_EXCLUSIVE;
    for (const std::string &service : stack->services) {
        PDRIVER_OBJECT driver = Machine::Current().LoadDriver(service);
        NTSTATUS status = STATUS_DRIVER_UNABLE_TO_LOAD;
        if (driver != nullptr && driver->DriverExtension->AddDevice != nullptr) {
            CallbackGuard guard("AddDevice", reinterpret_cast<const void *>(driver->DriverExtension->AddDevice));
            status = driver->DriverExtension->AddDevice(driver, node->pdo);
        }
        if (driver != nullptr)
            node->drivers.push_back(driver);
        if (!NT_SUCCESS(status)) {
            RemoveStack(node, NodeState::Failed);
            return status;
        }
    }
    SetState(node, NodeState::DriversAdded);
    return STATUS_SUCCESS;
}

NTSTATUS BuildAndStart(DeviceNode *node)
{
    NTSTATUS status = AddDrivers(node);
    return NT_SUCCESS(status) ? StartNode(node) : status;
}

DeviceNode *NodeForPdo(DeviceNode *parent, PDEVICE_OBJECT pdo, const DeviceIdentity &identity)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    // A device that comes back gets its old node (and registry keys) again.
    for (auto &n : M().nodes)
        if (!n->present && n->identity.instanceId == identity.instanceId) {
            n->pdo = pdo;
            n->present = true;
            n->identity = identity;
            n->state = NodeState::Initialized;
            return n.get();
        }
    auto node = std::make_unique<DeviceNode>();
    node->identity = identity;
    node->pdo = pdo;
    node->parent = parent;
    parent->children.push_back(node.get());
    M().nodes.push_back(std::move(node));
    return M().nodes.back().get();
}

// A PDO its bus has just reported: who is it, then its drivers and start.
DeviceNode *EnumeratePdo(DeviceNode *parent, PDEVICE_OBJECT pdo, const std::optional<DriverStack> &drivers)
{
    DeviceIdentity identity;
    std::u16string deviceId = First(QueryIds(pdo, BusQueryDeviceID));
    std::u16string instance = First(QueryIds(pdo, BusQueryInstanceID));
    identity.instanceId = deviceId + u"\\" + instance;
    identity.hardwareIds = QueryIds(pdo, BusQueryHardwareIDs);
    identity.compatibleIds = QueryIds(pdo, BusQueryCompatibleIDs);
    QueryCapabilities(pdo);
    SetDeviceInstanceId(pdo, identity.instanceId);
    DeviceNode *node = NodeForPdo(parent, pdo, identity);
    if (drivers)
        node->fixedDrivers = drivers;
    Trace("device arrived: " + Narrow(reinterpret_cast<const WCHAR *>(identity.instanceId.data()),
                                      identity.instanceId.size()));
    BuildAndStart(node);
    return node;
}

// A device of the root bus: the node holds a reference on its PDO, as it
// holds the one a bus driver's relations answer gives it.
DeviceNode *EnumerateRootChild(const DeviceIdentity &identity, const std::optional<DriverStack> &drivers)
{
    PDEVICE_OBJECT pdo = CreateRootChild(identity.instanceId, identity.hardwareIds, identity.compatibleIds);
    if (pdo == nullptr)
        return nullptr;
    ReferenceDevice(pdo);
    return EnumeratePdo(&M().root, pdo, drivers);
}

void SurpriseRemoveNode(DeviceNode *node)
{
    for (DeviceNode *child : node->children)
        if (child->present)
            SurpriseRemoveNode(child);
    bool started;
    {
        std::lock_guard<std::mutex> lock(M().nodesLock);
        started = node->state == NodeState::Started || node->state == NodeState::Stopped ||
                  node->state == NodeState::QueryStopped || node->state == NodeState::QueryRemoved;
        node->present = false;
    }
    if (!started) {
        if (node->pdo != nullptr)
            RemoveStack(node, NodeState::Removed);
        return;
    }
    SendPnp(node->pdo, IRP_MN_SURPRISE_REMOVAL);
    SetState(node, NodeState::SurpriseRemoved);
    // With a handle still open, the remove request waits for its close.
    if (DeviceOpenCount(node->pdo) == 0)
        RemoveStack(node, NodeState::Removed);
}

void ProcessBusRelations(DeviceNode *node)
{
    StackResult r = SendPnp(node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                            [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    if (!NT_SUCCESS(r.status))
        return;
    std::vector<PDEVICE_OBJECT> reported = TakeRelations(r.information);
    std::vector<DeviceNode *> vanished;
    for (DeviceNode *child : node->children)
        if (child->present && std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
            vanished.push_back(child);
    for (DeviceNode *child : vanished)
        SurpriseRemoveNode(child);
    for (PDEVICE_OBJECT pdo : reported) {
        bool known = std::any_of(node->children.begin(), node->children.end(),
                                 [pdo](DeviceNode *c) { return c->present && c->pdo == pdo; });
        if (known)
            DereferenceDevice(pdo);  // the node already holds one
        else
            EnumeratePdo(node, pdo, std::nullopt);  // the node keeps the bus driver's reference
    }
}

// The present nodes whose stack the device belongs to. Collected first:
// enumerating a bus adds nodes.
std::vector<DeviceNode *> NodesOfStack(PDEVICE_OBJECT device)
{
    std::vector<DeviceNode *> out;
    for (auto &n : M().nodes)
        if (n->pdo != nullptr && n->present && IoGetAttachedDevice(n->pdo) == IoGetAttachedDevice(device))
            out.push_back(n.get());
    return out;
}

std::vector<DeviceNode *> Subtree(DeviceNode *node)
{
    std::vector<DeviceNode *> out;
    for (DeviceNode *child : node->children)
        for (DeviceNode *d : Subtree(child))
            out.push_back(d);
    out.push_back(node);  // leaves first
    return out;
}

bool IsActive(const DeviceNode *node)
{
    return node->present && (node->state == NodeState::Started || node->state == NodeState::Stopped);
}

NTSTATUS QueryRemoveSubtree(DeviceNode *node, std::vector<DeviceNode *> *queried)
{
    for (DeviceNode *d : Subtree(node)) {
        if (!IsActive(d))
            continue;
        NTSTATUS status = SendPnp(d->pdo, IRP_MN_QUERY_REMOVE_DEVICE).status;
        if (!NT_SUCCESS(status)) {
            // The stack that failed the query gets the cancel-remove too.
            queried->push_back(d);
            return status;
        }
        SetState(d, NodeState::QueryRemoved);
        queried->push_back(d);
    }
    return STATUS_SUCCESS;
}

void CancelRemove(const std::vector<DeviceNode *> &queried)
{
    for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
        SendPnp((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        SetState(*it, NodeState::Started);
    }
}

NTSTATUS QueryRemoveThen(DeviceNode *node, NodeState finalState)
{
    std::vector<DeviceNode *> queried;
    NTSTATUS status = QueryRemoveSubtree(node, &queried);
    if (!NT_SUCCESS(status)) {
        CancelRemove(queried);
        return status;
    }
    RemoveStack(node, finalState);
    return STATUS_SUCCESS;
}

// A system set-power request is an order, not a question: no driver may fail it.
void CheckSetPower(DeviceNode *node, NTSTATUS status)
{
    if (!NT_SUCCESS(status))
        BugCheck("POWER_SET_FAILED",
                 "IRP_MN_SET_POWER for a system power state failed with " + StatusName(status) +
                     " (a driver must not fail it)",
                 IoGetAttachedDevice(node->pdo)->DriverObject->DriverStart);
}

// The devices of an attached bus lose their stacks; the bus node keeps its
// place in the tree, not present, so that the same bus coming back finds it.
void DetachBusNode(DeviceNode *node)
{
    for (DeviceNode *child : node->children)
        if (child->pdo != nullptr)
            RemoveStack(child, NodeState::Removed);
    DereferenceDevice(node->pdo);
    std::lock_guard<std::mutex> lock(M().nodesLock);
    node->pdo = nullptr;
    node->present = false;
    node->state = NodeState::Removed;
}

}  // namespace

const char *StateName(NodeState state)
{
    switch (state) {
    case NodeState::Initialized: return "initialized";
    case NodeState::DriversAdded: return "drivers added";
    case NodeState::Started: return "started";
    case NodeState::QueryStopped: return "query-stopped";
    case NodeState::Stopped: return "stopped";
    case NodeState::QueryRemoved: return "query-removed";
    case NodeState::SurpriseRemoved: return "surprise-removed";
    case NodeState::Removed: return "removed";
    case NodeState::Disabled: return "disabled";
    case NodeState::Failed: return "failed";
    }
    return "?";
}

void Start() { g_manager = new Manager; }

void Stop()
{
    if (g_manager == nullptr)
        return;
    M().Run([] {
        std::vector<DeviceNode *> top = M().root.children;
        for (DeviceNode *node : top)
            if (node->ownedByCaller && node->pdo != nullptr) {
                DetachBusNode(node);
            } else if (node->pdo != nullptr && node->state != NodeState::Removed) {
                node->present = false;
                MarkRootChildMissing(node->pdo);
                RemoveStack(node, NodeState::Removed);
            }
    });
    delete g_manager;
    g_manager = nullptr;
}

void Flush()
{
    M().Run([] {});
}

void SetDriverResolver(DriverResolver resolver)
{
    M().Run([&] { M().resolver = std::move(resolver); });
}

DeviceNode *AddRootDevice(const DeviceIdentity &identity)
{
    return M().Run([&] {
        return EnumerateRootChild(identity, std::nullopt);
    });
}

DeviceNode *AddRootDevice(const DeviceIdentity &identity, const DriverStack &drivers)
{
    return M().Run([&] {
        return EnumerateRootChild(identity, drivers);
    });
}

DeviceNode *AttachBus(PDEVICE_OBJECT busPdo, const std::u16string &instanceId)
{
    return M().Run([&] {
        DeviceIdentity identity;
        identity.instanceId = instanceId;
        ReferenceDevice(busPdo);
        DeviceNode *node = NodeForPdo(&M().root, busPdo, identity);
        node->ownedByCaller = true;
        SetState(node, NodeState::Started);
        ProcessBusRelations(node);
        return node;
    });
}

void DetachBus(PDEVICE_OBJECT busPdo)
{
    M().Run([&] {
        for (auto &n : M().nodes)
            if (n->ownedByCaller && n->pdo == busPdo)
                DetachBusNode(n.get());
    });
}

void Reenumerate(PDEVICE_OBJECT busDevice)
{
    M().Run([&] {
        for (DeviceNode *bus : NodesOfStack(busDevice))
            ProcessBusRelations(bus);
    });
}

NTSTATUS StopAndRestart(DeviceNode *node)
{
    return M().Run([&] {
        NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_STOP_DEVICE).status;
        if (!NT_SUCCESS(status)) {
            SendPnp(node->pdo, IRP_MN_CANCEL_STOP_DEVICE);
            return status;
        }
        SetState(node, NodeState::QueryStopped);
        SendPnp(node->pdo, IRP_MN_STOP_DEVICE);
        SetState(node, NodeState::Stopped);
        return StartNode(node);
    });
}

NTSTATUS CancelledQueryStop(DeviceNode *node)
{
    return M().Run([&] {
        NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_STOP_DEVICE).status;
        SendPnp(node->pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    });
}

NTSTATUS QueryRemoveAndRemove(DeviceNode *node)
{
    return M().Run([&] { return QueryRemoveThen(node, NodeState::Disabled); });
}

NTSTATUS CancelledQueryRemove(DeviceNode *node)
{
    return M().Run([&] {
        std::vector<DeviceNode *> queried;
        NTSTATUS status = QueryRemoveSubtree(node, &queried);
        CancelRemove(queried);
        return status;
    });
}

NTSTATUS Disable(DeviceNode *node)
{
    return M().Run([&] { return QueryRemoveThen(node, NodeState::Disabled); });
}

NTSTATUS Enable(DeviceNode *node)
{
    return M().Run([&] {
        if (node->state != NodeState::Disabled || !node->present)
            return STATUS_INVALID_DEVICE_STATE;
        return BuildAndStart(node);
    });
}

void SurpriseRemove(DeviceNode *node)
{
    M().Run([&] {
        if (node->parent == &M().root)
            MarkRootChildMissing(node->pdo);
        SurpriseRemoveNode(node);
    });
}

UninstallResult Uninstall(DeviceNode *node)
{
    return M().Run([&] {
        if (!IsActive(node))
            return UninstallResult{true, false};
        NTSTATUS status = QueryRemoveThen(node, NodeState::Disabled);
        if (NT_SUCCESS(status))
            return UninstallResult{true, false};
        node->removeAtRestart = true;
        return UninstallResult{false, true};
    });
}

void OnLastHandleClosed(PDEVICE_OBJECT device)
{
    if (g_manager == nullptr)
        return;
    M().Post([device] {
        for (auto &n : M().nodes)
            if (n->pdo == device && n->state == NodeState::SurpriseRemoved && DeviceOpenCount(device) == 0)
                RemoveStack(n.get(), NodeState::Removed);
    });
}

NTSTATUS CheckOpenAllowed(PDEVICE_OBJECT device)
{
    if (g_manager == nullptr)
        return STATUS_SUCCESS;
    std::lock_guard<std::mutex> lock(M().nodesLock);
    for (auto &n : M().nodes) {
        if (n->pdo != device)
            continue;
        switch (n->state) {
        case NodeState::Started:
        case NodeState::QueryStopped:
        case NodeState::Stopped:
        case NodeState::QueryRemoved:
            return STATUS_SUCCESS;
        case NodeState::SurpriseRemoved:
            return STATUS_DELETE_PENDING;
        default:
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    return STATUS_SUCCESS;  // a stack built by hand, outside the device tree
}

DeviceNode *FindNode(const std::u16string &instanceId)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    for (auto &n : M().nodes)
        if (n->identity.instanceId == instanceId)
            return n.get();
    return nullptr;
}

DeviceNode *NodeOfPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    for (auto &n : M().nodes)
        if (n->pdo == pdo)
            return n.get();
    return nullptr;
}

NodeState StateOf(const DeviceNode *node)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    return node->state;
}

PDEVICE_OBJECT PdoOf(const DeviceNode *node)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    return node->pdo;
}

DeviceIdentity IdentityOf(const DeviceNode *node)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    return node->identity;
}

bool IsPresent(const DeviceNode *node)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    return node->present;
}

bool MarkedForRemovalAtRestart(const DeviceNode *node)
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    return node->removeAtRestart;
}

std::vector<DeviceNode *> AllNodes()
{
    std::lock_guard<std::mutex> lock(M().nodesLock);
    std::vector<DeviceNode *> out;
    for (auto &n : M().nodes)
        out.push_back(n.get());
    return out;
}

NTSTATUS Sleep(SYSTEM_POWER_STATE state)
{
    return M().Run([&] {
        std::vector<DeviceNode *> order;
        for (DeviceNode *top : M().root.children)
            for (DeviceNode *d : Subtree(top))
                if (IsActive(d))
                    order.push_back(d);
        for (DeviceNode *d : order) {
            NTSTATUS status = SendSystemPower(d->pdo, IRP_MN_QUERY_POWER, state).status;
            if (!NT_SUCCESS(status)) {
                for (DeviceNode *w : order)
                    SendSystemPower(w->pdo, IRP_MN_SET_POWER, PowerSystemWorking);
                return status;
            }
        }
        for (DeviceNode *d : order)
            CheckSetPower(d, SendSystemPower(d->pdo, IRP_MN_SET_POWER, state).status);
        M().systemState = state;
        return STATUS_SUCCESS;
    });
}

void Resume()
{
    M().Run([] {
        if (M().systemState == PowerSystemWorking)
            return;
        std::vector<DeviceNode *> order;
        for (DeviceNode *top : M().root.children)
            for (DeviceNode *d : Subtree(top))
                if (IsActive(d))
                    order.push_back(d);
        std::reverse(order.begin(), order.end());  // parents first
        for (DeviceNode *d : order)
            CheckSetPower(d, SendSystemPower(d->pdo, IRP_MN_SET_POWER, PowerSystemWorking).status);
        M().systemState = PowerSystemWorking;
    });
}

void OnWake()
{
    if (g_manager != nullptr)
        M().Post([] { Resume(); });
}

SYSTEM_POWER_STATE SystemState()
{
    return M().Run([] { return M().systemState; });
}

}  // namespace winsim::pnp

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type)
{
    if (type != BusRelations || winsim::pnp::g_manager == nullptr)
        return;
    // Asynchronous, as on Windows: the bus is asked again on the PnP thread.
    // The device is referenced until then, so its memory outlives a removal
    // that comes first.
    ObReferenceObject(device);
    winsim::pnp::M().Post([device] {
        for (winsim::pnp::DeviceNode *bus : winsim::pnp::NodesOfStack(device))
            winsim::pnp::ProcessBusRelations(bus);
        ObDereferenceObject(device);
    });
}

extern "C" VOID IoInvalidateDeviceState(PDEVICE_OBJECT pdo) {}
