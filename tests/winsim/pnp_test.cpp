// Conformance of the Plug and Play and power managers: the requests each
// driver of a stack sees, in order, for each event. Sources: Microsoft Learn,
// "Adding a PnP Device to a Running System", "Starting a Device", "Stopping a
// Device for Resource Rebalancing", "Removing a Device in a Function Driver",
// "Handling an IRP_MN_SURPRISE_REMOVAL Request", "System Power States" and
// "Sending IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for Device Power States".
#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>

#include "../../winsim/kernel/pnp.h"
#include "../../winsim/kernel/root_bus.h"
#include "../../winsim/registry/registry.h"

#include <mutex>

namespace winsim::test {
namespace {

// Collects the requests that reach one driver, as trace lines show them.
class RequestLog {
public:
    explicit RequestLog(std::string driver) : driver_("-> \\Driver\\" + std::move(driver))
    {
        harness::SetTrace([this](const std::string &line) {
            if (line.find(driver_) == std::string::npos || line.find("returned") != std::string::npos)
                return;
            std::lock_guard<std::mutex> lock(lock_);
            lines_.push_back(line.substr(0, line.find(" -> ")));
        });
    }
    ~RequestLog() { harness::SetTrace({}); }

    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return std::exchange(lines_, {});
    }

private:
    std::string driver_;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

std::string Pnp(const char *minor) { return std::string("IRP_MJ_PNP/") + minor; }

const pnp::DeviceIdentity kDevice{u"ROOT\\WINSIM_TEST\\0000", {u"ROOT\\WINSIM_TEST"}, {}};
const pnp::DriverStack kStack{{"sink", "passthru"}};

class PnpManager : public testing::Test {
protected:
    harness::TestMachine machine_;
};

TEST_F(PnpManager, ArrivalAddsDriversAndStartsInWindowsOrder)
{
    RequestLog log("passthru");
    pnp::DeviceNode *node = pnp::AddRootDevice(kDevice, kStack);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Started);
    EXPECT_EQ(log.Take(), (std::vector<std::string>{
                              Pnp("IRP_MN_QUERY_RESOURCE_REQUIREMENTS"),
                              Pnp("IRP_MN_FILTER_RESOURCE_REQUIREMENTS"),
                              Pnp("IRP_MN_START_DEVICE"),
                              Pnp("IRP_MN_QUERY_CAPABILITIES"),
                              Pnp("IRP_MN_QUERY_PNP_DEVICE_STATE"),
                              Pnp("IRP_MN_QUERY_DEVICE_RELATIONS"),
                          }));
}

TEST_F(PnpManager, RebalanceStopsAndStartsAgain)
{
    pnp::DeviceNode *node = pnp::AddRootDevice(kDevice, kStack);
    RequestLog log("passthru");
    EXPECT_EQ(pnp::StopAndRestart(node), STATUS_SUCCESS);
    auto seen = log.Take();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0], Pnp("IRP_MN_QUERY_STOP_DEVICE"));
    EXPECT_EQ(seen[1], Pnp("IRP_MN_STOP_DEVICE"));
    EXPECT_NE(std::find(seen.begin(), seen.end(), Pnp("IRP_MN_START_DEVICE")), seen.end());
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Started);
}

TEST_F(PnpManager, SurpriseRemovalWaitsForTheLastHandleBeforeRemove)
{
    pnp::DeviceNode *node = pnp::AddRootDevice(kDevice, kStack);
    machine_.CreateLink("\\??\\PNPTEST", pnp::PdoOf(node));
    HANDLE h = CreateFileA("\\\\.\\PNPTEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    RequestLog log("passthru");
    pnp::SurpriseRemove(node);
    EXPECT_EQ(log.Take(), std::vector<std::string>{Pnp("IRP_MN_SURPRISE_REMOVAL")});
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::SurpriseRemoved);
    // New opens fail once the device is gone.
    EXPECT_EQ(CreateFileA("\\\\.\\PNPTEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    CloseHandle(h);
    // The remove request comes from the PnP thread after the close.
    pnp::Flush();
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Removed);
    auto seen = log.Take();
    EXPECT_EQ(seen.back(), Pnp("IRP_MN_REMOVE_DEVICE"));
    EXPECT_FALSE(pnp::IsPresent(node));
}

TEST_F(PnpManager, DisableRemovesTheStackAndEnableBuildsItAgain)
{
    pnp::DeviceNode *node = pnp::AddRootDevice(kDevice, kStack);
    RequestLog log("passthru");
    EXPECT_EQ(pnp::Disable(node), STATUS_SUCCESS);
    EXPECT_EQ(log.Take(), (std::vector<std::string>{Pnp("IRP_MN_QUERY_REMOVE_DEVICE"), Pnp("IRP_MN_REMOVE_DEVICE")}));
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Disabled);
    EXPECT_TRUE(pnp::IsPresent(node));
    EXPECT_EQ(pnp::Enable(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Started);
}

TEST_F(PnpManager, SleepQueriesThenSetsAndResumeSetsWorking)
{
    pnp::AddRootDevice(kDevice, kStack);
    RequestLog log("passthru");
    EXPECT_EQ(pnp::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(pnp::SystemState(), PowerSystemSleeping3);
    pnp::Resume();
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"IRP_MJ_POWER/IRP_MN_QUERY_POWER", "IRP_MJ_POWER/IRP_MN_SET_POWER",
                                                    "IRP_MJ_POWER/IRP_MN_SET_POWER"}));
    EXPECT_EQ(pnp::SystemState(), PowerSystemWorking);
}

// A driver that refuses query-remove (a serial port with an open handle)
// gets the cancel-remove that follows and stays started; uninstalling it then
// marks it for removal at restart.
TEST_F(PnpManager, VetoedQueryRemoveIsCancelledAndUninstallAsksForRestart)
{
    pnp::DeviceNode *node =
        pnp::AddRootDevice({u"ROOT\\VETO_TEST\\0000", {u"ROOT\\VETO_TEST"}, {}}, {{"recording_serial"}});
    ASSERT_EQ(pnp::StateOf(node), pnp::NodeState::Started);
    machine_.CreateLink("\\??\\VETOTEST", pnp::PdoOf(node));
    HANDLE h = CreateFileA("\\\\.\\VETOTEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    RequestLog log("recording_serial");
    EXPECT_FALSE(NT_SUCCESS(pnp::QueryRemoveAndRemove(node)));
    EXPECT_EQ(log.Take(),
              (std::vector<std::string>{Pnp("IRP_MN_QUERY_REMOVE_DEVICE"), Pnp("IRP_MN_CANCEL_REMOVE_DEVICE")}));
    EXPECT_EQ(pnp::StateOf(node), pnp::NodeState::Started);

    pnp::UninstallResult uninstall = pnp::Uninstall(node);
    EXPECT_FALSE(uninstall.removed);
    EXPECT_TRUE(uninstall.needsRestart);
    EXPECT_TRUE(pnp::MarkedForRemovalAtRestart(node));
    CloseHandle(h);
    EXPECT_EQ(pnp::Disable(node), STATUS_SUCCESS);
}

// A device armed for wake (IRP_MN_WAIT_WAKE held by its bus driver) that
// signals wake while the system sleeps completes the request, and the system
// resumes: set-power S0 to every stack.
TEST_F(PnpManager, RemoteWakeResumesASleepingSystem)
{
    pnp::DeviceNode *node = pnp::AddRootDevice(kDevice, kStack);
    struct Wake {
        KEVENT done;
        NTSTATUS status = STATUS_PENDING;
    } wake;
    KeInitializeEvent(&wake.done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    ASSERT_EQ(PoRequestPowerIrp(
                  pnp::PdoOf(node), IRP_MN_WAIT_WAKE, state,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
                      auto *w = static_cast<Wake *>(context);
                      w->status = status->Status;
                      KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
                  },
                  &wake, nullptr),
              STATUS_PENDING);
    ASSERT_EQ(pnp::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    RequestLog log("passthru");
    ASSERT_TRUE(SignalRootChildWake(pnp::PdoOf(node)));
    KeWaitForSingleObject(&wake.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    pnp::Flush();
    EXPECT_EQ(pnp::SystemState(), PowerSystemWorking);
    auto seen = log.Take();
    EXPECT_NE(std::find(seen.begin(), seen.end(), "IRP_MJ_POWER/IRP_MN_SET_POWER"), seen.end());
}

// A device that arrives gets the drivers of the staged package that matches
// its hardware IDs: function driver first, then the upper filter; a Ports
// class device gets a COM name, and keeps it when it comes back.
TEST_F(PnpManager, ArrivalInstallsFromTheInfAndKeepsThePortNameAcrossReplug)
{
    auto package = machine_.InstallPackage(WINSIM_TEST_PACKAGES "/com_port/winsim_port.inf");
    ASSERT_TRUE(package.ok) << package.error;
    EXPECT_EQ(package.publishedName, "oem0.inf");

    const pnp::DeviceIdentity device{u"ROOT\\PORT_TEST\\0000",
                                     {u"USB\\VID_F00D&PID_0001&REV_0100", u"USB\\VID_F00D&PID_0001"}, {}};
    pnp::DeviceNode *node = pnp::AddRootDevice(device);
    ASSERT_EQ(pnp::StateOf(node), pnp::NodeState::Started);
    EXPECT_EQ(harness::DescribeStack(pnp::PdoOf(node)).front().rfind("\\Driver\\passthru", 0), 0u)
        << "the upper filter is on top";
    std::string instanceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORT_TEST\\0000";
    EXPECT_EQ(registry::GetString(instanceKey + "\\Device Parameters", "PortName"), "COM1");

    pnp::SurpriseRemove(node);
    EXPECT_FALSE(pnp::IsPresent(node));
    pnp::DeviceNode *again = pnp::AddRootDevice(device);
    EXPECT_EQ(again, node) << "the same instance ID is the same device";
    EXPECT_EQ(pnp::StateOf(again), pnp::NodeState::Started);
    EXPECT_EQ(registry::GetString(instanceKey + "\\Device Parameters", "PortName"), "COM1");
}

}  // namespace
}  // namespace winsim::test
