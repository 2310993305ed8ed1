// Dispatcher objects and waits: events, mutexes and semaphores live in the
// caller's memory with their Windows layout; a thread waiting on one sleeps on
// the dispatcher's condition variable until the object is signalled or the
// time-out passes.
#include "internal.h"
#include "machine.h"

#include <condition_variable>
#include <thread>

namespace winsim {
namespace {

enum ObjectType : UCHAR {
    kEventNotification = 0,
    kEventSynchronization = 1,
    kMutant = 2,
    kSemaphore = 5,
};

std::mutex g_dispatcherLock;
std::condition_variable g_signalled;

// Windows time-outs: negative is relative, positive absolute system time,
// zero a poll. Returns the host deadline.
std::chrono::steady_clock::time_point Deadline(const LARGE_INTEGER *timeout)
{
    auto now = std::chrono::steady_clock::now();
    if (timeout->QuadPart < 0)
        return now + std::chrono::nanoseconds(-timeout->QuadPart * 100);
    LARGE_INTEGER systemNow;
    KeQuerySystemTime(&systemNow);
    LONGLONG delta = timeout->QuadPart - systemNow.QuadPart;
    return now + std::chrono::nanoseconds(delta > 0 ? delta * 100 : 0);
}

bool IsSignalled(DISPATCHER_HEADER *h, uint64_t thread)
{
    if (h->Type == kMutant) {
        auto *m = reinterpret_cast<KMUTEX *>(h);
        return h->SignalState > 0 || m->OwnerThread == reinterpret_cast<PKTHREAD>(thread);
    }
    return h->SignalState > 0;
}

// A satisfied wait has side effects: synchronization events reset, mutexes
// gain an owner, semaphores count down.
void Acquire(DISPATCHER_HEADER *h, uint64_t thread)
{
    switch (h->Type) {
    case kEventSynchronization:
        h->SignalState = 0;
        break;
    case kMutant: {
        auto *m = reinterpret_cast<KMUTEX *>(h);
        h->SignalState--;
        m->OwnerThread = reinterpret_cast<PKTHREAD>(thread);
        break;
    }
    case kSemaphore:
        h->SignalState--;
        break;
    default:
        break;
    }
}

void CheckWaitIrql(const LARGE_INTEGER *timeout, const void *caller)
{
    KIRQL irql = CurrentThread().irql;
    bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > APC_LEVEL && !(irql == DISPATCH_LEVEL && zeroTimeout))
        BugCheck("IRQL_NOT_LESS_OR_EQUAL",
                 "wait with a non-zero time-out at DISPATCH_LEVEL or above (only a zero time-out is allowed there)",
                 caller);
}

NTSTATUS Wait(DISPATCHER_HEADER *h, const LARGE_INTEGER *timeout)
{
    uint64_t self = CurrentThread().id;
    std::unique_lock<std::mutex> lock(g_dispatcherLock);
    if (timeout == nullptr) {
        g_signalled.wait(lock, [&] { return IsSignalled(h, self); });
    } else {
        auto deadline = Deadline(timeout);
        if (!g_signalled.wait_until(lock, deadline, [&] { return IsSignalled(h, self); }))
            return STATUS_TIMEOUT;
    }
    Acquire(h, self);
    return STATUS_SUCCESS;
}

void SignalLocked()
{
    g_signalled.notify_all();
}

}  // namespace

// Notification for the I/O manager's own waits (see CallAndWait).
NTSTATUS WaitForEvent(PKEVENT event) { return Wait(&event->Header, nullptr); }

}  // namespace winsim

using namespace winsim;

extern "C" {

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    memset(event, 0, sizeof *event);
    event->Header.Type = type == NotificationEvent ? kEventNotification : kEventSynchronization;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.SignalState = state ? 1 : 0;
    InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait)
{
    if (CurrentThread().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent above DISPATCH_LEVEL", __builtin_return_address(0));
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    SignalLocked();
    return previous;
}

VOID KeClearEvent(PRKEVENT event)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT event)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    return event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX mutex, ULONG level)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    memset(mutex, 0, sizeof *mutex);
    mutex->Header.Type = kMutant;
    mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    mutex->Header.SignalState = 1;
    InitializeListHead(&mutex->Header.WaitListHead);
    mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    if (mutex->OwnerThread != reinterpret_cast<PKTHREAD>(CurrentThread().id))
        BugCheck("THREAD_NOT_MUTEX_OWNER", "KeReleaseMutex by a thread that does not own mutex " + Hex(mutex),
                 __builtin_return_address(0));
    LONG previous = mutex->Header.SignalState;
    if (++mutex->Header.SignalState == 1) {
        mutex->OwnerThread = nullptr;
        SignalLocked();
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    return mutex->Header.SignalState;
}

VOID KeInitializeSemaphore(PKSEMAPHORE semaphore, LONG count, LONG limit)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    memset(semaphore, 0, sizeof *semaphore);
    semaphore->Header.Type = kSemaphore;
    semaphore->Header.SignalState = count;
    semaphore->Limit = limit;
    InitializeListHead(&semaphore->Header.WaitListHead);
}

LONG KeReleaseSemaphore(PKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait)
{
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    LONG previous = semaphore->Header.SignalState;
    if (adjustment < 0 || previous + adjustment > semaphore->Limit)
        BugCheck("SEMAPHORE_LIMIT_EXCEEDED", "KeReleaseSemaphore beyond the semaphore's limit",
                 __builtin_return_address(0));
    semaphore->Header.SignalState += adjustment;
    SignalLocked();
    return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout)
{
    CheckWaitIrql(timeout, __builtin_return_address(0));
    auto *header = static_cast<DISPATCHER_HEADER *>(object);
    if (header->Type != kEventNotification && header->Type != kEventSynchronization && header->Type != kMutant &&
        header->Type != kSemaphore)
        BugCheck("INVALID_WAIT_OBJECT", "KeWaitForSingleObject on " + Hex(object) + ", which is not a dispatcher object",
                 __builtin_return_address(0));
    return Wait(header, timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval)
{
    CheckWaitIrql(interval, __builtin_return_address(0));
    std::this_thread::sleep_until(Deadline(interval));
    return STATUS_SUCCESS;
}

PKTHREAD KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(CurrentThread().id); }
PETHREAD PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(CurrentThread().id); }

VOID KeQueryTickCount(PLARGE_INTEGER count)
{
    auto elapsed = std::chrono::steady_clock::now() - Machine::Current().BootTime();
    LONGLONG units = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
    count->QuadPart = units / Machine::Current().Config().timeIncrement;
}

ULONG KeQueryTimeIncrement(void) { return Machine::Current().Config().timeIncrement; }

VOID KeQuerySystemTime(PLARGE_INTEGER time)
{
    // 100-ns intervals since 1601-01-01, as Windows keeps system time.
    constexpr LONGLONG kEpochDelta = 116444736000000000LL;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    time->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 + kEpochDelta;
}

ULONGLONG KeQueryInterruptTime(void)
{
    auto elapsed = std::chrono::steady_clock::now() - Machine::Current().BootTime();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

}  // extern "C"
