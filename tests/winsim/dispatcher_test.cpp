// Conformance of dispatcher objects, time-outs, DPCs, work items and time.
// Sources: Microsoft Learn, "KeWaitForSingleObject" (time-out semantics and
// STATUS_TIMEOUT; IRQL rules), "KeInitializeEvent" (notification versus
// synchronization events), "KeReleaseMutex", "KeInsertQueueDpc" (FALSE when
// already queued), "IoQueueWorkItem", "KeQueryTimeIncrement".
#include "fixture.h"

#include <chrono>
#include <thread>

namespace winsim::test {
namespace {

using Clock = std::chrono::steady_clock;
using Dispatcher = KernelTest;

LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

TEST_F(Dispatcher, TimeoutsRelativeAbsoluteAndZero)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

    LARGE_INTEGER relative = RelativeMs(30);
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));

    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 30 * 10000;
    start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST_F(Dispatcher, NotificationStaysSignalledSynchronizationReleasesOneWaiter)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);  // previous state

    // A waiter on another thread wakes when the event is set.
    KEVENT wake;
    KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
    std::thread waiter([&] { KeWaitForSingleObject(&wake, Executive, KernelMode, FALSE, nullptr); });
    KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(KeReadStateEvent(&wake), 0);
}

TEST_F(Dispatcher, MutexIsRecursiveForItsOwnerAndExcludesOthers)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    bool otherGotIt = true;
    std::thread([&] {
        LARGE_INTEGER shortWait = RelativeMs(10);
        otherGotIt = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &shortWait) == STATUS_SUCCESS;
    }).join();
    EXPECT_FALSE(otherGotIt);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    std::thread([&] {
        otherGotIt = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS;
        KeReleaseMutex(&mutex, FALSE);
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST(DispatcherStop, ReleasingAMutexOneDoesNotOwnStopsTheMachine)
{
    EXPECT_EXIT(
        {
            harness::TestMachine m;
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeReleaseMutex(&mutex, FALSE);
        },
        testing::ExitedWithCode(70), "THREAD_NOT_MUTEX_OWNER");
}

struct DpcLog {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};
    KEVENT ran;
    KEVENT release;
};

TEST_F(Dispatcher, DpcQueuedOnceRunsOnceAtDispatchLevel)
{
    DpcLog log;
    KeInitializeEvent(&log.ran, NotificationEvent, FALSE);
    KeInitializeEvent(&log.release, NotificationEvent, FALSE);
    // A first DPC holds the DPC thread, so the second stays queued.
    KDPC blocker, dpc;
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            LARGE_INTEGER zero{};
            while (KeWaitForSingleObject(&static_cast<DpcLog *>(context)->release, Executive, KernelMode, FALSE,
                                         &zero) == STATUS_TIMEOUT)
                ;
        },
        &log);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto *log = static_cast<DpcLog *>(context);
            log->irql = KeGetCurrentIrql();
            log->runs++;
            KeSetEvent(&log->ran, IO_NO_INCREMENT, FALSE);
        },
        &log);
    EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeSetEvent(&log.release, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&log.ran, Executive, KernelMode, FALSE, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // may be queued again once it ran
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.runs, 2);
}

TEST_F(Dispatcher, WorkItemRunsAtPassiveLevelHoldingItsDevice)
{
    PDEVICE_OBJECT device = Device([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    struct Context {
        KEVENT done;
        KIRQL irql = HIGH_LEVEL;
        PDEVICE_OBJECT device = nullptr;
    } context;
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT device, PVOID p) {
            auto *c = static_cast<Context *>(p);
            c->irql = KeGetCurrentIrql();
            c->device = device;
            KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &context);
    KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(context.irql, PASSIVE_LEVEL);
    EXPECT_EQ(context.device, device);
    // The item is dequeued before its routine runs, so it may be freed now.
    IoFreeWorkItem(item);
}

TEST(DispatcherClock, TickCountFollowsTheSettableTimeIncrement)
{
    for (ULONG increment : {156250u, 10000u}) {
        harness::MachineOptions options;
        options.timeIncrement = increment;
        harness::TestMachine m(options);
        EXPECT_EQ(KeQueryTimeIncrement(), increment);
        LARGE_INTEGER before, after;
        KeQueryTickCount(&before);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        KeQueryTickCount(&after);
        LONGLONG elapsedMs = (after.QuadPart - before.QuadPart) * increment / 10000;
        EXPECT_GE(elapsedMs, 40 - static_cast<LONGLONG>(increment / 10000));
        EXPECT_LE(elapsedMs, 1000);
    }
}

TEST(DispatcherVersion, RtlGetVersionReportsTheConfiguredVersion)
{
    struct { ULONG major, minor; } versions[] = {{6, 1}, {6, 2}, {10, 0}};
    for (auto v : versions) {
        harness::MachineOptions options;
        options.osMajor = v.major;
        options.osMinor = v.minor;
        harness::TestMachine m(options);
        RTL_OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
        EXPECT_EQ(info.dwMajorVersion, v.major);
        EXPECT_EQ(info.dwMinorVersion, v.minor);
        info.dwOSVersionInfoSize = 12;
        EXPECT_EQ(RtlGetVersion(&info), STATUS_INVALID_PARAMETER);
    }
}

}  // namespace
}  // namespace winsim::test
