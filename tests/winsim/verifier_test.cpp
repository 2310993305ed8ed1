// The verifier stops the machine on each rule a driver breaks, with a report
// that names the rule and the driver. Each case makes the "broken" test
// driver break one rule; the test process must end with the report.
#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>

#include "../drivers/broken_ioctl.h"
#include "../../winsim/kernel/pnp.h"

namespace {

using winsim::harness::TestMachine;

// What the test does after the faulty request, to reach the check.
enum class Then { Nothing, RemoveDevice, Shutdown };

struct RuleCase {
    const char *name;
    ULONG code;
    const char *rule;
    Then then;
};

void PrintTo(const RuleCase &c, std::ostream *os) { *os << c.name; }

void BreakRuleAndFinish(const RuleCase &c)
{
    TestMachine m;
    PDEVICE_OBJECT pdo = m.BuildStack("ROOT\\BROKEN\\0000", {"broken"});
    m.CreateLink("\\??\\BROKEN0", pdo);
    HANDLE h = CreateFileA("\\\\.\\BROKEN0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED ov{};
    char out[8];
    DWORD bytes;
    if (c.code == IOCTL_BROKEN_FREE_QUEUED_WORK_ITEM)
        winsim::HoldSystemWork(true);  // the item is certainly still queued when it is freed
    DeviceIoControl(h, c.code, nullptr, 0, out, sizeof out, &bytes, &ov);
    if (c.then == Then::RemoveDevice || c.then == Then::Shutdown) {
        CancelIo(h);
        CloseHandle(h);
        m.RemoveStack(pdo);
    }
    if (c.then == Then::Shutdown)
        m.Shutdown();
    // Some faults are found on the DPC or a worker thread; give them time.
    Sleep(1000);
    exit(0);
}

class VerifierRule : public testing::TestWithParam<RuleCase> {};

TEST_P(VerifierRule, StopsTheMachineNamingRuleAndDriver)
{
    const RuleCase &c = GetParam();
    EXPECT_EXIT(BreakRuleAndFinish(c), testing::ExitedWithCode(70),
                std::string("STOP: winsim verifier: ") + c.rule + "(.|\n)*driver: broken");
}

const RuleCase kRules[] = {
    {"CompletedTwice", IOCTL_BROKEN_COMPLETE_TWICE, "IRP_COMPLETED_TWICE", Then::Nothing},
    {"CompletedWithCancelRoutine", IOCTL_BROKEN_COMPLETE_WITH_CANCEL, "IRP_COMPLETED_WITH_CANCEL_ROUTINE", Then::Nothing},
    {"PendingWithoutMark", IOCTL_BROKEN_PENDING_NOT_MARKED, "PENDING_NOT_MARKED", Then::Nothing},
    {"MarkedPendingReturnedSuccess", IOCTL_BROKEN_MARKED_NOT_PENDING, "MARKED_PENDING_RETURNED_OTHER", Then::Nothing},
    {"InformationLargerThanBuffer", IOCTL_BROKEN_INFORMATION_TOO_LARGE, "INFORMATION_TOO_LARGE", Then::Nothing},
    {"CancelAfterCompletion", IOCTL_BROKEN_CANCEL_AFTER_COMPLETE, "IRP_USED_AFTER_FREE", Then::Nothing},
    {"OutOfStackLocations", IOCTL_BROKEN_OUT_OF_STACK, "NO_MORE_IRP_STACK_LOCATIONS", Then::Nothing},
    {"WaitAtDispatchLevel", IOCTL_BROKEN_WAIT_AT_DISPATCH, "IRQL_NOT_LESS_OR_EQUAL", Then::Nothing},
    {"PagedPoolAtDispatchLevel", IOCTL_BROKEN_PAGED_AT_DISPATCH, "IRQL_NOT_LESS_OR_EQUAL", Then::Nothing},
    {"FreeWithWrongTag", IOCTL_BROKEN_WRONG_TAG, "BAD_POOL_CALLER", Then::Nothing},
    {"DoubleFree", IOCTL_BROKEN_DOUBLE_FREE, "BAD_POOL_CALLER", Then::Nothing},
    {"PoolOverrun", IOCTL_BROKEN_OVERRUN, "POOL_OVERRUN", Then::Nothing},
    {"PoolLeakAtUnload", IOCTL_BROKEN_LEAK, "LEAK_AT_UNLOAD", Then::Shutdown},
    {"SpinLockHeldOnReturn", IOCTL_BROKEN_SPIN_LOCK_HELD, "SPIN_LOCK_HELD_ON_RETURN", Then::Nothing},
    {"WorkItemFreedWhileQueued", IOCTL_BROKEN_FREE_QUEUED_WORK_ITEM, "WORK_ITEM_FREED_WHILE_QUEUED", Then::Nothing},
    {"QueuedDpcFreed", IOCTL_BROKEN_FREE_QUEUED_DPC, "DPC_IN_FREED_MEMORY", Then::Nothing},
    {"DeviceDeletedWhileAttached", IOCTL_BROKEN_DELETE_ATTACHED, "DEVICE_DELETED_WHILE_ATTACHED", Then::RemoveDevice},
    {"IrpHeldWhenDeviceDeleted", IOCTL_BROKEN_HOLD_IRP, "IRP_NOT_COMPLETED_AT_DELETE", Then::RemoveDevice},
    {"CompletedWithStatusPending", IOCTL_BROKEN_COMPLETE_PENDING, "IRP_COMPLETED_WITH_PENDING", Then::Nothing},
};

INSTANTIATE_TEST_SUITE_P(Rules, VerifierRule, testing::ValuesIn(kRules),
                         [](const testing::TestParamInfo<RuleCase> &info) { return info.param.name; });

}  // namespace

namespace {

// Plug and Play and power requests a driver may not fail.
void BreakPnpRule(ULONG code, bool sleep)
{
    winsim::harness::TestMachine m;
    winsim::pnp::DeviceNode *node =
        winsim::pnp::AddRootDevice({u"ROOT\\BROKEN\\0001", {u"ROOT\\BROKEN"}, {}}, {{"broken"}});
    m.CreateLink("\\??\\BROKEN1", winsim::pnp::PdoOf(node));
    HANDLE h = CreateFileA("\\\\.\\BROKEN1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD bytes;
    DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &bytes, nullptr);
    CloseHandle(h);
    if (sleep)
        winsim::pnp::Sleep(PowerSystemSleeping3);
    else
        winsim::pnp::Disable(node);
    exit(0);
}

TEST(VerifierPnpRule, FailedRemoveStopsTheMachine)
{
    EXPECT_EXIT(BreakPnpRule(IOCTL_BROKEN_FAIL_REMOVE, false), testing::ExitedWithCode(70),
                "PNP_REMOVE_FAILED(.|\n)*driver: broken");
}

TEST(VerifierPnpRule, FailedSystemSetPowerStopsTheMachine)
{
    EXPECT_EXIT(BreakPnpRule(IOCTL_BROKEN_FAIL_SET_POWER, true), testing::ExitedWithCode(70),
                "POWER_SET_FAILED(.|\n)*driver: broken");
}

}  // namespace
