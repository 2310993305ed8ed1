// IRQL, spin locks and the per-thread kernel state. A thread's IRQL is
// simulated: raising it to DISPATCH_LEVEL does not stop the host scheduler,
// but the verifier enforces every rule that depends on it.
#include "internal.h"

#include <sched.h>

#include <map>

namespace winsim {

namespace {

std::mutex g_threadsLock;
std::map<uint64_t, ThreadState *> g_threads;
std::atomic<uint64_t> g_nextThreadId{1};

struct ThreadSlot {
    ThreadState state;
    ThreadSlot() { state.id = RegisterThreadId(&state); }
    ~ThreadSlot() { UnregisterThread(&state); }
};

const char *IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "a device IRQL";
    }
}

}  // namespace

ThreadState &CurrentThread()
{
    thread_local ThreadSlot slot;
    return slot.state;
}

uint64_t RegisterThreadId(ThreadState *state)
{
    uint64_t id = g_nextThreadId++;
    std::lock_guard<std::mutex> lock(g_threadsLock);
    g_threads[id] = state;
    return id;
}

void UnregisterThread(ThreadState *state)
{
    std::lock_guard<std::mutex> lock(g_threadsLock);
    g_threads.erase(state->id);
}

ThreadState *ThreadFromId(uint64_t id)
{
    std::lock_guard<std::mutex> lock(g_threadsLock);
    auto it = g_threads.find(id);
    return it == g_threads.end() ? nullptr : it->second;
}

CallbackGuard::CallbackGuard(const char *what, const void *routine)
    : what_(what), routine_(routine), irql_(CurrentThread().irql), spinLocks_(CurrentThread().spinLocksHeld),
      module_(EnterModule(routine))
{
}

CallbackGuard::~CallbackGuard()
{
    LeaveModule(module_);
    ThreadState &t = CurrentThread();
    if (t.spinLocksHeld != spinLocks_)
        BugCheck("SPIN_LOCK_HELD_ON_RETURN",
                 std::string(what_) + " returned holding " + std::to_string(t.spinLocksHeld - spinLocks_) +
                     " spin lock(s) it acquired",
                 routine_);
    if (t.irql != irql_)
        BugCheck("IRQL_NOT_RESTORED",
                 std::string(what_) + " was entered at " + IrqlName(irql_) + " and returned at " + IrqlName(t.irql),
                 routine_);
}

}  // namespace winsim

using winsim::BugCheck;
using winsim::CurrentThread;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return CurrentThread().irql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    auto &t = CurrentThread();
    if (newIrql < t.irql)
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to a lower IRQL than the current one",
                 __builtin_return_address(0));
    *oldIrql = t.irql;
    t.irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql)
{
    auto &t = CurrentThread();
    if (newIrql > t.irql)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to a higher IRQL than the current one",
                 __builtin_return_address(0));
    t.irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

}  // extern "C"

namespace {

// The lock word holds the owning thread's id, so a recursive acquisition (a
// deadlock on Windows) and a release by another thread are caught.
void AcquireSpinLock(PKSPIN_LOCK lock, const void *caller)
{
    auto &t = CurrentThread();
    KSPIN_LOCK expected = 0;
    for (unsigned spins = 0;; spins++) {
        expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, t.id, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            break;
        if (expected == t.id)
            BugCheck("SPIN_LOCK_ALREADY_OWNED", "spin lock " + winsim::Hex(lock) + " acquired again by its owner",
                     caller);
        if (spins > 64)
            sched_yield();
    }
    t.spinLocksHeld++;
}

void ReleaseSpinLock(PKSPIN_LOCK lock, const void *caller)
{
    auto &t = CurrentThread();
    KSPIN_LOCK owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner != t.id)
        BugCheck("SPIN_LOCK_NOT_OWNED",
                 "spin lock " + winsim::Hex(lock) + (owner ? " released by a thread that does not own it" : " released while not held"),
                 caller);
    t.spinLocksHeld--;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" {

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock)
{
    auto &t = CurrentThread();
    if (t.irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "spin lock acquired above DISPATCH_LEVEL", __builtin_return_address(0));
    KIRQL old = t.irql;
    t.irql = DISPATCH_LEVEL;
    AcquireSpinLock(lock, __builtin_return_address(0));
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    ReleaseSpinLock(lock, __builtin_return_address(0));
    CurrentThread().irql = newIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    if (CurrentThread().irql != DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_DISPATCH_LEVEL", "KeAcquireSpinLockAtDpcLevel called below DISPATCH_LEVEL",
                 __builtin_return_address(0));
    AcquireSpinLock(lock, __builtin_return_address(0));
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) { ReleaseSpinLock(lock, __builtin_return_address(0)); }

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle)
{
    auto &t = CurrentThread();
    handle->OldIrql = t.irql;
    handle->LockQueue.Lock = lock;
    t.irql = DISPATCH_LEVEL;
    AcquireSpinLock(lock, __builtin_return_address(0));
}

VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle)
{
    ReleaseSpinLock(handle->LockQueue.Lock, __builtin_return_address(0));
    CurrentThread().irql = handle->OldIrql;
}

}  // extern "C"
