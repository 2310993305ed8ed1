// System worker threads and I/O work items. A queued work item holds a
// reference on its device object until its routine has returned, so the
// device's memory outlives a deletion that races with the work item.
#include "internal.h"
#include "machine.h"

#include <condition_variable>
#include <deque>
#include <new>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    std::atomic<bool> queued;
    const void *owner;  // caller of IoAllocateWorkItem
};

namespace winsim {
namespace {

// A pool that grows: a work routine may block for a long time (a receive loop),
// and the system's delayed queue has many threads, so a new item never waits
// behind a blocked one.
struct WorkerPool {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> queue;
    std::vector<std::thread> threads;
    int idle = 0;
    int busy = 0;
    bool stop = false;
    bool held = false;  // workers take nothing from the queue (tests)
};

WorkerPool *g_workers = nullptr;

constexpr ULONG kWorkItemTag = 0x6B576F49;  // 'IoWk'

void WorkerThread(WorkerPool *pool)
{
    std::unique_lock<std::mutex> lock(pool->lock);
    for (;;) {
        pool->idle++;
        pool->changed.wait(lock, [&] { return pool->stop || (!pool->held && !pool->queue.empty()); });
        pool->idle--;
        if (pool->stop && (pool->held || pool->queue.empty()))
            return;
        auto work = std::move(pool->queue.front());
        pool->queue.pop_front();
        pool->busy++;
        lock.unlock();
        work();
        lock.lock();
        pool->busy--;
        pool->changed.notify_all();
    }
}

}  // namespace

void StartWorkerPool() { g_workers = new WorkerPool; }

void StopWorkerPool()
{
    if (g_workers == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(g_workers->lock);
        g_workers->stop = true;
        g_workers->changed.notify_all();
    }
    for (auto &t : g_workers->threads)
        t.join();
    delete g_workers;
    g_workers = nullptr;
}

void HoldSystemWork(bool hold)
{
    std::lock_guard<std::mutex> lock(g_workers->lock);
    g_workers->held = hold;
    g_workers->changed.notify_all();
}

void FlushSystemWork()
{
    if (g_workers == nullptr)
        return;
    std::unique_lock<std::mutex> lock(g_workers->lock);
    g_workers->changed.wait(lock, [] { return g_workers->queue.empty() && g_workers->busy == 0; });
}

void QueueSystemWork(std::function<void()> fn)
{
    std::lock_guard<std::mutex> lock(g_workers->lock);
    g_workers->queue.push_back(std::move(fn));
    if (g_workers->idle < static_cast<int>(g_workers->queue.size()))
        g_workers->threads.emplace_back(WorkerThread, g_workers);
    g_workers->changed.notify_one();
}

}  // namespace winsim

using namespace winsim;

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device)
{
    const void *caller = __builtin_return_address(0);
    if (ShouldFailAllocation("IoAllocateWorkItem", caller))
        return nullptr;
    // Work items come from pool so that one a driver never frees is a leak of
    // that driver.
    void *memory = PoolAllocate(NonPagedPoolNx, sizeof(_IO_WORKITEM), kWorkItemTag, caller, nullptr);
    auto *item = new (memory) _IO_WORKITEM;
    item->DeviceObject = device;
    item->queued = false;
    item->owner = caller;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM item)
{
    if (item->queued)
        BugCheck("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem on a work item that is still queued",
                 __builtin_return_address(0));
    item->~_IO_WORKITEM();
    PoolFree(item, kWorkItemTag, true, __builtin_return_address(0));
}

ULONG IoSizeofWorkItem(void) { return sizeof(_IO_WORKITEM); }

VOID IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context)
{
    if (CurrentThread().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoQueueWorkItem above DISPATCH_LEVEL", __builtin_return_address(0));
    if (item->queued.exchange(true))
        BugCheck("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem on a work item that is already queued",
                 __builtin_return_address(0));
    ObReferenceObject(item->DeviceObject);
    QueueSystemWork([item, routine, context] {
        // As on Windows, the item is not touched once its routine has been
        // called: the routine, or a thread it signals, may free or requeue it.
        PDEVICE_OBJECT device = item->DeviceObject;
        item->queued = false;
        {
            CallbackGuard guard("work item routine", reinterpret_cast<const void *>(routine));
            routine(device, context);
        }
        ObDereferenceObject(device);
    });
}

}  // extern "C"
