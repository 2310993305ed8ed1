// The IRP engine: allocation, IoCallDriver, IoCompleteRequest with completion
// routines and pending propagation, cancellation, and the verifier's IRP rules.
//
// Every IRP winsim allocates has a hidden header in front of it that points at
// its record: who made it, its state, what completion saw at each stack
// location. Freed IRPs stay in quarantine for a while, so a driver that passes
// one to the I/O manager again is caught instead of corrupting memory.
#include "irp.h"

#include "machine.h"

#include <deque>
#include <sstream>
#include <unordered_set>

namespace winsim {
namespace {

constexpr uint64_t kIrpMagic = 0x5052495F4D495357ull;  // "WSIM_IRP"
constexpr size_t kQuarantine = 1024;

struct alignas(16) IrpHeader {
    uint64_t magic;
    std::shared_ptr<IrpRecord> record;
};

struct IrpTracker {
    std::mutex lock;
    std::unordered_set<IrpRecord *> live;
    std::deque<IrpHeader *> quarantine;
};

IrpTracker &Tracker()
{
    static IrpTracker tracker;
    return tracker;
}

IrpHeader *HeaderOf(PIRP irp) { return reinterpret_cast<IrpHeader *>(irp) - 1; }

std::string DriverOfLocation(PIO_STACK_LOCATION stack)
{
    if (stack->DeviceObject == nullptr || stack->DeviceObject->DriverObject == nullptr)
        return "?";
    return Narrow(&stack->DeviceObject->DriverObject->DriverName);
}

void ReleaseMemory(IrpHeader *header)
{
    header->record.reset();
    header->~IrpHeader();
    free(header);
}

// Final step of freeing: the memory goes to quarantine, poisoned.
void Retire(PIRP irp, IrpRecord *rec)
{
    IrpHeader *header = HeaderOf(irp);
    auto &t = Tracker();
    std::lock_guard<std::mutex> lock(t.lock);
    t.live.erase(rec);
    memset(irp, 0xDD, rec->allocationBytes);
    t.quarantine.push_back(header);
    if (t.quarantine.size() > kQuarantine) {
        ReleaseMemory(t.quarantine.front());
        t.quarantine.pop_front();
    }
}

}  // namespace

std::shared_ptr<IrpRecord> RecordOfIrp(PIRP irp, const void *caller, const char *operation)
{
    if (irp == nullptr)
        BugCheck("NULL_IRP", std::string(operation) + " with a NULL IRP", caller);
    IrpHeader *header = HeaderOf(irp);
    if (header->magic != kIrpMagic)
        BugCheck("NOT_AN_IRP", std::string(operation) + " on " + Hex(irp) + ", which is not an IRP", caller);
    std::shared_ptr<IrpRecord> rec = header->record;
    if (rec->state == IrpState::Freed && strcmp(operation, "IoCompleteRequest") == 0)
        BugCheck("IRP_COMPLETED_TWICE",
                 "IoCompleteRequest on IRP " + Hex(irp) + " (" + rec->description + "), already completed and freed",
                 caller);
    if (rec->state == IrpState::Freed)
        BugCheck("IRP_USED_AFTER_FREE",
                 std::string(operation) + " on IRP " + Hex(irp) + " (" + rec->description +
                     "), which has already been completed and freed",
                 caller);
    return rec;
}

PIRP AllocateIrp(CCHAR stackSize, const void *caller, const char *site)
{
    if (stackSize < 1)
        BugCheck("INVALID_STACK_SIZE", "IRP requested with " + std::to_string(stackSize) + " stack locations", caller);
    if (site != nullptr && ShouldFailAllocation(site, caller))
        return nullptr;
    size_t irpBytes = sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION);
    void *memory = aligned_alloc(16, (sizeof(IrpHeader) + irpBytes + 15) / 16 * 16);
    auto *header = new (memory) IrpHeader{kIrpMagic, std::make_shared<IrpRecord>()};
    auto *irp = reinterpret_cast<PIRP>(header + 1);
    memset(irp, 0, irpBytes);
    IrpRecord *rec = header->record.get();
    rec->irp = irp;
    rec->allocator = caller;
    rec->allocatorModule = ModuleFromAddress(caller);
    rec->allocationBytes = irpBytes;
    rec->pendingSeen.assign(stackSize + 2, 0);
    rec->needsMark.assign(stackSize + 2, 0);
    irp->Type = 6;  // IO_TYPE_IRP
    irp->Size = static_cast<USHORT>(irpBytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    InitializeListHead(&irp->ThreadListEntry);
    auto &t = Tracker();
    std::lock_guard<std::mutex> lock(t.lock);
    t.live.insert(rec);
    return irp;
}

void AttachThreadedRequest(PIRP irp, ThreadedRequest request)
{
    auto rec = RecordOfIrp(irp, nullptr, "AttachThreadedRequest");
    std::lock_guard<std::mutex> lock(rec->lock);
    rec->threaded = true;
    rec->request = std::move(request);
    rec->allocatorModule = nullptr;  // the I/O manager's, not a driver's
}

void FreeIrp(PIRP irp, const void *caller)
{
    auto rec = RecordOfIrp(irp, caller, "IoFreeIrp");
    {
        std::lock_guard<std::mutex> lock(rec->lock);
        if (rec->state == IrpState::Dispatched || (rec->state == IrpState::Completing && !rec->inRoutine))
            BugCheck("IRP_FREED_IN_USE",
                     "IoFreeIrp on IRP " + Hex(irp) + " (" + rec->description + ") while a driver still owns it",
                     caller);
        if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
            BugCheck("IRP_FREED_WITH_CANCEL_ROUTINE", "IoFreeIrp on IRP " + Hex(irp) + " with a cancel routine set",
                     caller);
        rec->state = IrpState::Freed;
        if (rec->cancelRefs > 0) {
            rec->retirePending = true;
            return;
        }
    }
    Retire(irp, rec.get());
}

std::string IrpDescription(PIRP irp)
{
    if (irp->CurrentLocation > irp->StackCount || irp->CurrentLocation < 1)
        return "IRP";
    return StackDescription(IoGetCurrentIrpStackLocation(irp));
}

std::string StackDescription(PIO_STACK_LOCATION stack)
{
    std::ostringstream s;
    s << MajorName(stack->MajorFunction);
    if (stack->MajorFunction == IRP_MJ_PNP)
        s << "/" << PnpMinorName(stack->MinorFunction);
    else if (stack->MajorFunction == IRP_MJ_POWER)
        s << "/" << PowerMinorName(stack->MinorFunction);
    else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        char code[16];
        snprintf(code, sizeof code, "0x%X", stack->Parameters.DeviceIoControl.IoControlCode);
        s << " " << IoControlName(stack->Parameters.DeviceIoControl.IoControlCode, code);
    } else if (stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE)
        s << " " << stack->Parameters.Read.Length << " bytes";
    // Opening and closing name what they open: a trailing file name is how a
    // driver tells its pipes or channels apart.
    if ((stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE) &&
        stack->FileObject != nullptr && stack->FileObject->FileName.Length != 0)
        s << " \"" << Narrow(stack->FileObject->FileName.Buffer, stack->FileObject->FileName.Length / sizeof(WCHAR))
          << "\"";
    return s.str();
}

std::vector<std::string> DescribeLiveIrps(const Module *allocatedBy)
{
    std::vector<std::string> out;
    auto &t = Tracker();
    std::lock_guard<std::mutex> lock(t.lock);
    for (IrpRecord *rec : t.live) {
        if (allocatedBy != nullptr && rec->allocatorModule != allocatedBy)
            continue;
        std::string who = rec->threaded ? "the I/O manager" : DescribeAddress(rec->allocator);
        out.push_back("IRP " + Hex(rec->irp) + " (" + rec->description + ") allocated by " + who +
                      (rec->state == IrpState::Allocated ? ", never sent" : ", never completed"));
    }
    return out;
}

void CheckNoIrpsHeldBy(PDEVICE_OBJECT device, const void *caller)
{
    auto &t = Tracker();
    std::lock_guard<std::mutex> lock(t.lock);
    for (IrpRecord *rec : t.live) {
        std::lock_guard<std::mutex> recLock(rec->lock);
        PIRP irp = rec->irp;
        if (rec->state != IrpState::Dispatched || irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount)
            continue;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        // A driver deletes its device while handling the remove request itself.
        if (stack->DeviceObject == device && stack->MajorFunction != IRP_MJ_PNP)
            BugCheck("IRP_NOT_COMPLETED_AT_DELETE",
                     "IoDeleteDevice on " + DeviceDescription(device) + " while it still holds " + rec->description +
                         " (IRP " + Hex(irp) + "), never completed",
                     caller);
    }
}

void ReleaseQuarantine()
{
    auto &t = Tracker();
    std::lock_guard<std::mutex> lock(t.lock);
    for (IrpHeader *h : t.quarantine)
        ReleaseMemory(h);
    t.quarantine.clear();
}

size_t CancelThreadedIrps(const std::function<bool(const ThreadedRequest &)> &match)
{
    std::vector<std::shared_ptr<IrpRecord>> targets;
    {
        auto &t = Tracker();
        std::lock_guard<std::mutex> lock(t.lock);
        for (IrpRecord *rec : t.live) {
            std::lock_guard<std::mutex> recLock(rec->lock);
            if (rec->threaded && rec->state != IrpState::Freed && rec->state != IrpState::Finished &&
                match(rec->request)) {
                rec->cancelRefs++;
                targets.push_back(HeaderOf(rec->irp)->record);
            }
        }
    }
    for (auto &rec : targets) {
        bool stillLive;
        {
            std::lock_guard<std::mutex> lock(rec->lock);
            stillLive = rec->state != IrpState::Freed && rec->state != IrpState::Finished;
        }
        if (stillLive)
            CancelIrp(rec->irp);
        bool retire;
        {
            std::lock_guard<std::mutex> lock(rec->lock);
            rec->cancelRefs--;
            retire = rec->cancelRefs == 0 && rec->retirePending;
            rec->retirePending = rec->retirePending && !retire;
        }
        if (retire)
            Retire(rec->irp, rec.get());
    }
    return targets.size();
}

BOOLEAN CancelIrp(PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    ThreadState &t = CurrentThread();
    int locksBefore = t.spinLocksHeld - 1;  // the cancel routine releases the cancel spin lock
    Trace("cancel " + IrpDescription(irp) + " at " + DeviceDescription(device));
    routine(device, irp);
    if (t.spinLocksHeld != locksBefore || t.irql != irql)
        BugCheck("CANCEL_SPIN_LOCK_NOT_RELEASED",
                 "cancel routine returned without releasing the cancel spin lock (IoReleaseCancelSpinLock with "
                 "Irp->CancelIrql)",
                 reinterpret_cast<const void *>(routine));
    return TRUE;
}

void CompleteThreadedIrp(PIRP irp, IrpRecord *rec);

}  // namespace winsim

using namespace winsim;

namespace {

// The system cancel spin lock.
KSPIN_LOCK g_cancelSpinLock = 0;

// After a dispatch routine returns: STATUS_PENDING needs the location marked
// pending (now or, through a completion routine, before completion passes it);
// a location the routine marked pending must not come back with another status.
void CheckPendingContract(IrpRecord *rec, PIRP irp, int location, NTSTATUS status, bool markedAtEntry,
                          const void *routine)
{
    std::lock_guard<std::mutex> lock(rec->lock);
    bool walked = rec->walkedUpTo >= location;
    bool marked = walked ? rec->pendingSeen[location] != 0
                         : (reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)[location - 1].Control & SL_PENDING_RETURNED) != 0;
    if (status == STATUS_PENDING) {
        if (marked)
            return;
        // Still at this location: no completion routine of the driver can mark
        // it later, so the mark is missing now.
        if (walked || irp->CurrentLocation == location)
            BugCheck("PENDING_NOT_MARKED",
                     "dispatch routine returned STATUS_PENDING for " + rec->description +
                         " without IoMarkIrpPending on its stack location",
                     routine);
        rec->needsMark[location] = 1;
    } else if (marked && !markedAtEntry) {
        BugCheck("MARKED_PENDING_RETURNED_OTHER",
                 "dispatch routine marked " + rec->description + " pending (IoMarkIrpPending) but returned " +
                     StatusName(status) + " instead of STATUS_PENDING",
                 routine);
    }
}

}  // namespace

extern "C" {

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    return AllocateIrp(stackSize, __builtin_return_address(0), "IoAllocateIrp");
}

VOID IoFreeIrp(PIRP irp) { FreeIrp(irp, __builtin_return_address(0)); }

USHORT IoSizeOfIrp(CCHAR stackSize) { return static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION)); }

VOID IoReuseIrp(PIRP irp, NTSTATUS status)
{
    auto rec = RecordOfIrp(irp, __builtin_return_address(0), "IoReuseIrp");
    std::lock_guard<std::mutex> lock(rec->lock);
    // Like IoFreeIrp, allowed from the moment the completion routine that
    // stops completion has handed the IRP back (it may still be returning).
    if (rec->state == IrpState::Dispatched || (rec->state == IrpState::Completing && !rec->inRoutine))
        BugCheck("IRP_REUSED_IN_USE", "IoReuseIrp on an IRP a driver still owns", __builtin_return_address(0));
    CCHAR stackCount = irp->StackCount;
    memset(irp, 0, rec->allocationBytes);
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(rec->allocationBytes);
    irp->StackCount = stackCount;
    irp->CurrentLocation = static_cast<CHAR>(stackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackCount;
    irp->IoStatus.Status = status;
    InitializeListHead(&irp->ThreadListEntry);
    rec->state = IrpState::Allocated;
    rec->walkedUpTo = 0;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    const void *caller = __builtin_return_address(0);
    auto rec = RecordOfIrp(irp, caller, "IoCallDriver");
    if (CurrentThread().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCallDriver above DISPATCH_LEVEL", caller);
    if (device == nullptr || device->DriverObject == nullptr)
        BugCheck("INVALID_DEVICE_OBJECT", "IoCallDriver to a NULL or deleted device object", caller);
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0)
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS",
                 "IoCallDriver to " + DeviceDescription(device) + " with no stack location left for it", caller);
    PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    int location = irp->CurrentLocation;
    bool markedAtEntry = (stack->Control & SL_PENDING_RETURNED) != 0;
    {
        std::lock_guard<std::mutex> lock(rec->lock);
        if (rec->state == IrpState::Completing && !rec->inRoutine)
            BugCheck("IRP_SENT_WHILE_COMPLETING", "IoCallDriver on an IRP that is being completed", caller);
        rec->state = IrpState::Dispatched;
        rec->walkedUpTo = std::min(rec->walkedUpTo, location - 1);
        rec->pendingSeen[location] = 0;
        rec->needsMark[location] = 0;
        rec->description = StackDescription(stack);
    }
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    std::string traced;
    if (TraceEnabled()) {
        traced = rec->description + " -> " + DeviceDescription(device);
        Trace(traced);
    }
    NTSTATUS status;
    {
        CallbackGuard guard("dispatch routine", reinterpret_cast<const void *>(dispatch));
        status = dispatch(device, irp);
    }
    CheckPendingContract(rec.get(), irp, location, status, markedAtEntry, reinterpret_cast<const void *>(dispatch));
    if (TraceEnabled())
        Trace(traced + " returned " + StatusName(status));
    return status;
}

VOID IofCompleteRequest(PIRP irp, CCHAR boost)
{
    const void *caller = __builtin_return_address(0);
    auto rec = RecordOfIrp(irp, caller, "IoCompleteRequest");
    NTSTATUS status = irp->IoStatus.Status;
    if (CurrentThread().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCompleteRequest above DISPATCH_LEVEL", caller);
    if (status == STATUS_PENDING)
        BugCheck("IRP_COMPLETED_WITH_PENDING", "IoCompleteRequest with IoStatus.Status STATUS_PENDING", caller);
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        BugCheck("IRP_COMPLETED_WITH_CANCEL_ROUTINE",
                 "IoCompleteRequest on " + rec->description + " while its cancel routine is still set", caller);
    {
        std::lock_guard<std::mutex> lock(rec->lock);
        switch (rec->state.load()) {
        case IrpState::Dispatched:
        case IrpState::Stopped:
            break;
        case IrpState::Completing:
            // Legitimate only as the resumption of an IRP whose completion
            // routine is about to return STATUS_MORE_PROCESSING_REQUIRED.
            if (!rec->inRoutine || rec->resumedEarly)
                BugCheck("IRP_COMPLETED_TWICE", "IoCompleteRequest on " + rec->description + ", already completing",
                         caller);
            rec->resumedEarly = true;
            break;
        case IrpState::Allocated:
            BugCheck("IRP_COMPLETED_UNSENT", "IoCompleteRequest on an IRP that was never sent to a driver", caller);
        case IrpState::Finished:
        case IrpState::Freed:
            BugCheck("IRP_COMPLETED_TWICE", "IoCompleteRequest on " + rec->description + ", already completed",
                     caller);
        }
        rec->state = IrpState::Completing;
        rec->completer = caller;
    }
    if (TraceEnabled())
        Trace(rec->description + " completed " + StatusName(status) + " Information=" +
              std::to_string(irp->IoStatus.Information) + " by " +
              (ModuleFromAddress(caller) ? ModuleFromAddress(caller)->name : std::string("winsim")));

    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        int location = irp->CurrentLocation;
        {
            std::lock_guard<std::mutex> lock(rec->lock);
            irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
            rec->pendingSeen[location] = irp->PendingReturned;
            rec->walkedUpTo = location;
            if (rec->needsMark[location] && !irp->PendingReturned)
                BugCheck("PENDING_NOT_MARKED",
                         "the driver of " + DriverOfLocation(stack) + " returned STATUS_PENDING for " +
                             rec->description + " without marking the IRP pending",
                         stack->DeviceObject && stack->DeviceObject->DriverObject
                             ? reinterpret_cast<const void *>(
                                   stack->DeviceObject->DriverObject->MajorFunction[stack->MajorFunction])
                             : nullptr);
        }
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        if (!NT_SUCCESS(irp->IoStatus.Status))
            control |= SL_ERROR_RETURNED;
        // The location is cleared as completion leaves it, as Windows does.
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = control & SL_ERROR_RETURNED;
        memset(&stack->Parameters, 0, sizeof stack->Parameters);
        stack->FileObject = nullptr;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        IoSkipCurrentIrpStackLocation(irp);

        NTSTATUS current = irp->IoStatus.Status;
        bool invoke = routine != nullptr && ((NT_SUCCESS(current) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                             (!NT_SUCCESS(current) && (control & SL_INVOKE_ON_ERROR)) ||
                                             (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                IoMarkIrpPending(irp);
            continue;
        }
        // The routine receives the device object of the driver that set it:
        // the one at the location completion has just moved to, or NULL for
        // the creator of an IRP that allocated no location of its own.
        PDEVICE_OBJECT device =
            irp->CurrentLocation == irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        {
            std::lock_guard<std::mutex> lock(rec->lock);
            rec->inRoutine = true;
        }
        NTSTATUS result;
        {
            CallbackGuard guard("completion routine", reinterpret_cast<const void *>(routine));
            result = routine(device, irp, context);
        }
        std::lock_guard<std::mutex> lock(rec->lock);
        rec->inRoutine = false;
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // The driver owns the IRP again; it may already have resumed or
            // freed it on another thread, so the IRP is not touched any more.
            if (rec->state == IrpState::Completing && !rec->resumedEarly)
                rec->state = IrpState::Stopped;
            rec->resumedEarly = false;
            return;
        }
        if (rec->resumedEarly || rec->state == IrpState::Freed)
            BugCheck("IRP_COMPLETED_TWICE",
                     "a completion routine returned " + StatusName(result) +
                         " for an IRP its driver had already completed or freed again",
                     reinterpret_cast<const void *>(routine));
    }

    if (!rec->threaded)
        BugCheck("DRIVER_IRP_COMPLETED_TO_TOP",
                 "an IRP allocated with IoAllocateIrp by " + DescribeAddress(rec->allocator) +
                     " completed past its last stack location: its completion routine must return "
                     "STATUS_MORE_PROCESSING_REQUIRED and free it",
                 caller);
    CompleteThreadedIrp(irp, rec.get());
}

VOID IoAcquireCancelSpinLock(PKIRQL irql) { *irql = KeAcquireSpinLockRaiseToDpc(&g_cancelSpinLock); }

VOID IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&g_cancelSpinLock, irql); }

BOOLEAN IoCancelIrp(PIRP irp)
{
    auto rec = RecordOfIrp(irp, __builtin_return_address(0), "IoCancelIrp");
    if (CurrentThread().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCancelIrp above DISPATCH_LEVEL", __builtin_return_address(0));
    return CancelIrp(irp);
}

}  // extern "C"
