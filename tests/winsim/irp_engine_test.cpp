// Conformance of the IRP engine: completion routines, pending propagation,
// the device object a completion routine receives, resuming completion after
// STATUS_MORE_PROCESSING_REQUIRED, and the final completion of requests the
// I/O manager built. Sources: Microsoft Learn, "IoSetCompletionRoutine",
// "IoCompleteRequest", "Implementing an IoCompletion Routine", "Completing
// IRPs" / "Using IoBuildDeviceIoControlRequest" and "IoMarkIrpPending".
#include "fixture.h"

#include <atomic>
#include <thread>

namespace winsim::test {
namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct RoutineLog {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = 0;
};

NTSTATUS LogAndContinue(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *log = static_cast<RoutineLog *>(context);
    log->calls++;
    log->device = device;
    log->pendingReturned = irp->PendingReturned;
    log->status = irp->IoStatus.Status;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

// The creator's routine on an IRP it allocated: record, free, stop.
NTSTATUS LogAndFree(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *log = static_cast<RoutineLog *>(context);
    log->calls++;
    log->device = device;
    log->pendingReturned = irp->PendingReturned;
    log->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Like LogAndFree, but the creator frees the IRP itself later.
NTSTATUS LogAndStop(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *log = static_cast<RoutineLog *>(context);
    log->calls++;
    log->status = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP of the given size whose creator's completion routine is LogAndFree.
PIRP CreatorIrp(CCHAR stackSize, RoutineLog *log, UCHAR major = IRP_MJ_FLUSH_BUFFERS)
{
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, LogAndFree, log, TRUE, TRUE, TRUE);
    return irp;
}

struct InvokeCase {
    const char *name;
    NTSTATUS status;
    bool cancelled;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

void PrintTo(const InvokeCase &c, std::ostream *os) { *os << c.name; }

class CompletionRoutineFlags : public KernelTest, public testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionRoutineFlags, InvokedExactlyWhenAFlagMatches)
{
    const InvokeCase &c = GetParam();
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = c.cancelled;
        return CompleteIrp(irp, c.status);
    });
    RoutineLog middleLog;
    PDEVICE_OBJECT middle = Device(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LogAndContinue, &middleLog, c.onSuccess, c.onError, c.onCancel);
            return IoCallDriver(TestDeviceOf(device)->lower, irp);
        },
        bottom);
    RoutineLog creatorLog;
    IoCallDriver(middle, CreatorIrp(middle->StackSize, &creatorLog));
    EXPECT_EQ(middleLog.calls, c.invoked ? 1 : 0);
    EXPECT_EQ(creatorLog.calls, 1);
    EXPECT_EQ(creatorLog.status, c.status);
}

const InvokeCase kInvokeCases[] = {
    {"SuccessWithOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
    {"SuccessWithoutOnSuccess", STATUS_SUCCESS, false, false, true, true, false},
    {"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
    {"ErrorWithOnError", STATUS_INVALID_PARAMETER, false, false, true, false, true},
    {"ErrorWithoutOnError", STATUS_INVALID_PARAMETER, false, true, false, false, false},
    {"CancelledWithOnCancel", STATUS_CANCELLED, true, false, false, true, true},
    {"CancelledWithoutOnCancel", STATUS_CANCELLED, true, true, false, false, false},
    {"TimeoutIsSuccess", STATUS_TIMEOUT, false, true, false, false, true},
};
INSTANTIATE_TEST_SUITE_P(Flags, CompletionRoutineFlags, testing::ValuesIn(kInvokeCases),
                         [](const auto &info) { return std::string(info.param.name); });

using IrpEngine = KernelTest;

TEST_F(IrpEngine, CompletionRoutineReceivesTheDeviceOfTheDriverThatSetIt)
{
    PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    RoutineLog middleLog;
    PDEVICE_OBJECT middle = Device(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LogAndContinue, &middleLog, TRUE, TRUE, TRUE);
            return IoCallDriver(TestDeviceOf(device)->lower, irp);
        },
        bottom);

    // A creator that allocated no stack location of its own gets NULL.
    RoutineLog creatorLog;
    IoCallDriver(middle, CreatorIrp(middle->StackSize, &creatorLog));
    EXPECT_EQ(middleLog.device, middle);
    EXPECT_EQ(creatorLog.device, nullptr);

    // A creator that took a location of its own gets the device it put there.
    PDEVICE_OBJECT creator = Device([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(middle->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = creator;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    RoutineLog ownLog;
    IoSetCompletionRoutine(irp, LogAndFree, &ownLog, TRUE, TRUE, TRUE);
    IoCallDriver(middle, irp);
    EXPECT_EQ(ownLog.device, creator);
}

TEST_F(IrpEngine, PendingReturnedPropagatesThroughLocationsWithoutRoutines)
{
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT filter = Device(PassDown, bottom);
    PDEVICE_OBJECT top = Device(PassDown, filter);
    RoutineLog creatorLog;
    EXPECT_EQ(IoCallDriver(top, CreatorIrp(top->StackSize, &creatorLog)), STATUS_PENDING);
    EXPECT_EQ(creatorLog.calls, 0);
    std::thread([&] { CompleteIrp(held, STATUS_SUCCESS); }).join();
    EXPECT_EQ(creatorLog.calls, 1);
    EXPECT_TRUE(creatorLog.pendingReturned);

    // Completed in the dispatch routine: nothing pended.
    PDEVICE_OBJECT syncBottom = Device([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT syncTop = Device(PassDown, syncBottom);
    RoutineLog syncLog;
    EXPECT_EQ(IoCallDriver(syncTop, CreatorIrp(syncTop->StackSize, &syncLog)), STATUS_SUCCESS);
    EXPECT_FALSE(syncLog.pendingReturned);
}

// The classic forward-and-wait: the routine stops completion, the dispatch
// routine waits for it and completes the request again, which resumes the
// walk to the locations above.
TEST_F(IrpEngine, CompletionResumesAfterMoreProcessingRequired)
{
    std::atomic<PIRP> held{nullptr};
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    static KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    int stops = 0;
    PDEVICE_OBJECT middle = Device(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
                    ++*static_cast<int *>(context);
                    KeSetEvent(&lowerDone, IO_NO_INCREMENT, FALSE);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                },
                &stops, TRUE, TRUE, TRUE);
            if (IoCallDriver(TestDeviceOf(device)->lower, irp) == STATUS_PENDING)
                KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
            return CompleteIrp(irp, STATUS_DEVICE_BUSY, 7);
        },
        bottom);
    RoutineLog creatorLog;
    std::thread completer([&] {
        while (held.load() == nullptr)
            std::this_thread::yield();
        CompleteIrp(held.load(), STATUS_SUCCESS);
    });
    NTSTATUS status = IoCallDriver(middle, CreatorIrp(middle->StackSize, &creatorLog));
    completer.join();
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(creatorLog.calls, 1);
    EXPECT_EQ(creatorLog.status, STATUS_DEVICE_BUSY);
    // The request pended below, but the driver that resumed it did not mark
    // its own location: the creator sees it as completed synchronously.
    EXPECT_FALSE(creatorLog.pendingReturned);
}

struct ThreadedCase {
    const char *name;
    NTSTATUS status;
    bool pend;
    bool eventSet;   // the caller's event and I/O status block are written
    bool copied;     // output copied back (METHOD_BUFFERED)
};

void PrintTo(const ThreadedCase &c, std::ostream *os) { *os << c.name; }

class ThreadedCompletion : public KernelTest, public testing::WithParamInterface<ThreadedCase> {};

// IoBuildDeviceIoControlRequest: a request failed synchronously reports its
// status through IoCallDriver only; the event and I/O status block are set
// on success, on a warning, and whenever the request pended. Output is
// copied back (Information bytes) unless the status is an error.
TEST_P(ThreadedCompletion, EventStatusBlockAndCopyBackFollowWindows)
{
    const ThreadedCase &c = GetParam();
    PIRP held = nullptr;
    PDEVICE_OBJECT device = Device([&](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 'x', 8);
        irp->IoStatus.Status = c.status;
        irp->IoStatus.Information = 4;
        if (c.pend) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return c.status;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x12345678;
    iosb.Information = 99;
    char in[8] = "input", out[8] = "_______";
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, device, in, sizeof in, out, sizeof out, FALSE, &event,
                                             &iosb);
    NTSTATUS returned = IoCallDriver(device, irp);
    if (c.pend) {
        EXPECT_EQ(returned, STATUS_PENDING);
        IoCompleteRequest(held, IO_NO_INCREMENT);
    } else {
        EXPECT_EQ(returned, c.status);
    }
    EXPECT_EQ(KeReadStateEvent(&event) != 0, c.eventSet);
    EXPECT_EQ(iosb.Status, c.eventSet ? c.status : 0x12345678);
    EXPECT_EQ(iosb.Information, c.eventSet ? 4u : 99u);
    EXPECT_EQ(std::string(out, 7), c.copied ? "xxxx___" : "_______");
}

const ThreadedCase kThreadedCases[] = {
    {"SyncSuccess", STATUS_SUCCESS, false, true, true},
    {"SyncWarning", STATUS_BUFFER_OVERFLOW, false, true, true},
    {"SyncError", STATUS_INVALID_PARAMETER, false, false, false},
    {"PendedSuccess", STATUS_SUCCESS, true, true, true},
    {"PendedError", STATUS_INVALID_PARAMETER, true, true, false},
};
INSTANTIATE_TEST_SUITE_P(Cases, ThreadedCompletion, testing::ValuesIn(kThreadedCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Cancellation: the cancel routine runs with the cancel spin lock held and
// the IRP's Cancel flag set; a request without one just gets the flag.
TEST_F(IrpEngine, CancelWithAndWithoutCancelRoutine)
{
    PDEVICE_OBJECT device = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    RoutineLog log;
    PIRP irp = CreatorIrp(device->StackSize, &log);
    IoCallDriver(device, irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        CompleteIrp(irp, STATUS_CANCELLED);
    });
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.status, STATUS_CANCELLED);
}

// A driver completing a request races a canceller. With the documented
// protocol (clear the cancel routine; whoever gets it non-NULL completes) the
// request completes exactly once whoever wins.
TEST_F(IrpEngine, CancelRacingCompletionCompletesOnce)
{
    static std::atomic<PIRP> queued{nullptr};
    PDEVICE_OBJECT device = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            CompleteIrp(irp, STATUS_CANCELLED);
        });
        queued = irp;
        return STATUS_PENDING;
    });
    int cancelled = 0;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    for (int i = 0; i < 300; i++) {
        // The creator keeps its IRP (completion stops at its routine) until
        // the canceller is done with it, then reuses it.
        RoutineLog log;
        IoReuseIrp(irp, STATUS_SUCCESS);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        IoSetCompletionRoutine(irp, LogAndStop, &log, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
        std::thread canceller([irp] { IoCancelIrp(irp); });
        PIRP mine = queued.exchange(nullptr);
        if (IoSetCancelRoutine(mine, nullptr) != nullptr)
            CompleteIrp(mine, STATUS_SUCCESS);
        canceller.join();
        ASSERT_EQ(log.calls, 1);
        cancelled += log.status == STATUS_CANCELLED;
    }
    IoFreeIrp(irp);
    SUCCEED() << cancelled << " of 300 requests lost the race to the canceller";
}

}  // namespace
}  // namespace winsim::test
