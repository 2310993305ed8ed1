// Deferred procedure calls: one DPC thread runs queued DPCs in order at
// DISPATCH_LEVEL. A DPC is queued at most once: KeInsertQueueDpc on a queued
// DPC returns FALSE.
#include "internal.h"
#include "machine.h"

#include <condition_variable>
#include <deque>
#include <thread>

namespace winsim {
namespace {

struct DpcQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<PKDPC> queue;
    PKDPC running = nullptr;
    bool stop = false;
    std::thread thread;
};

DpcQueue *g_dpc = nullptr;

// Marks a queued DPC in its DpcData field, as Windows does.
void *const kQueuedMarker = reinterpret_cast<void *>(0xD9C0D9C0);

void DpcThread(DpcQueue *q)
{
    CurrentThread().irql = PASSIVE_LEVEL;
    std::unique_lock<std::mutex> lock(q->lock);
    for (;;) {
        q->changed.wait(lock, [&] { return q->stop || !q->queue.empty(); });
        if (q->queue.empty())
            return;
        PKDPC dpc = q->queue.front();
        q->queue.pop_front();
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        q->running = dpc;
        lock.unlock();
        CurrentThread().irql = DISPATCH_LEVEL;
        {
            CallbackGuard guard("DPC routine", reinterpret_cast<const void *>(routine));
            routine(dpc, context, a1, a2);
        }
        CurrentThread().irql = PASSIVE_LEVEL;
        lock.lock();
        q->running = nullptr;
        q->changed.notify_all();
    }
}

}  // namespace

void StartDpcThread()
{
    g_dpc = new DpcQueue;
    g_dpc->thread = std::thread(DpcThread, g_dpc);
}

void StopDpcThread()
{
    if (g_dpc == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(g_dpc->lock);
        g_dpc->stop = true;
        g_dpc->changed.notify_all();
    }
    g_dpc->thread.join();
    delete g_dpc;
    g_dpc = nullptr;
}

void DpcCheckMemory(const void *begin, size_t bytes, const void *caller)
{
    if (g_dpc == nullptr)
        return;
    auto inside = [&](const void *p) {
        return p >= begin && static_cast<const char *>(p) < static_cast<const char *>(begin) + bytes;
    };
    std::lock_guard<std::mutex> lock(g_dpc->lock);
    for (PKDPC dpc : g_dpc->queue)
        if (inside(dpc))
            BugCheck("DPC_IN_FREED_MEMORY", "memory released while it holds the queued DPC " + Hex(dpc), caller);
    if (g_dpc->running != nullptr && inside(g_dpc->running) && std::this_thread::get_id() != g_dpc->thread.get_id())
        BugCheck("DPC_IN_FREED_MEMORY", "memory released while its DPC " + Hex(g_dpc->running) + " is running",
                 caller);
}

}  // namespace winsim

using namespace winsim;

extern "C" {

VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context)
{
    memset(dpc, 0, sizeof *dpc);
    dpc->Type = 19;  // DpcObject
    dpc->Importance = 1;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID a1, PVOID a2)
{
    if (CurrentThread().irql > HIGH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeInsertQueueDpc at an invalid IRQL", __builtin_return_address(0));
    if (g_dpc == nullptr)
        BugCheck("NO_MACHINE", "KeInsertQueueDpc with no machine running", __builtin_return_address(0));
    std::lock_guard<std::mutex> lock(g_dpc->lock);
    if (dpc->DpcData != nullptr)
        return FALSE;
    dpc->DpcData = kQueuedMarker;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    g_dpc->queue.push_back(dpc);
    g_dpc->changed.notify_all();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc)
{
    std::lock_guard<std::mutex> lock(g_dpc->lock);
    for (auto it = g_dpc->queue.begin(); it != g_dpc->queue.end(); ++it) {
        if (*it == dpc) {
            g_dpc->queue.erase(it);
            dpc->DpcData = nullptr;
            return TRUE;
        }
    }
    return FALSE;
}

VOID KeFlushQueuedDpcs(void)
{
    if (CurrentThread().irql != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeFlushQueuedDpcs above PASSIVE_LEVEL", __builtin_return_address(0));
    std::unique_lock<std::mutex> lock(g_dpc->lock);
    g_dpc->changed.wait(lock, [] { return g_dpc->queue.empty() && g_dpc->running == nullptr; });
}

}  // extern "C"
