// Internal interfaces shared by the files of winsim's kernel library. Drivers
// never see this header; they see only the Windows API in winsim/include.
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim {

// ------------------------------------------------------------------ verifier
// Stops the machine with a report naming the rule, the driver and where. The
// caller address (normally __builtin_return_address(0) of the API entry the
// driver called) attributes the fault to a driver.
[[noreturn]] void BugCheck(const char *rule, const std::string &detail, const void *caller = nullptr);

// Exit status of a process whose simulated machine stopped on a bug check.
constexpr int kBugCheckExitCode = 70;

std::string Hex(const void *p);
std::string Narrow(const WCHAR *s, size_t chars);
std::string Narrow(const UNICODE_STRING *s);
std::u16string Wide(const std::string &s);

// ------------------------------------------------------------------ threads
// Per-thread kernel state: the simulated IRQL, spin locks held, and the
// thread's identity as KTHREAD/ETHREAD.
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    uint64_t id = 0;
};
ThreadState &CurrentThread();
ThreadState *ThreadFromId(uint64_t id);          // nullptr if the thread has gone
uint64_t RegisterThreadId(ThreadState *state);
void UnregisterThread(ThreadState *state);

struct Module;

// Checks that a callback into a driver gave back the IRQL and the spin locks
// it was entered with, and keeps the driver's image loaded while it runs.
class CallbackGuard {
public:
    explicit CallbackGuard(const char *what, const void *routine);
    ~CallbackGuard();
    CallbackGuard(const CallbackGuard &) = delete;
    CallbackGuard &operator=(const CallbackGuard &) = delete;

private:
    const char *what_;
    const void *routine_;
    KIRQL irql_;
    int spinLocks_;
    Module *module_;
};

// ------------------------------------------------------------------ modules
// A loaded driver image. Pool allocations, device objects and verifier reports
// are attributed to the module whose code made the call.
struct Module {
    std::string name;        // service name, e.g. "tarvik_usb"
    std::string path;        // host shared object
    void *handle = nullptr;  // dlopen handle
    uintptr_t base = 0;      // load address (dladdr's dli_fbase)
    uintptr_t end = 0;       // first address past its loaded segments
    // Calls into the module's code still running on some thread; its image
    // stays mapped until they have returned (see Machine::UnloadDriver).
    int callsInProgress = 0;  // guarded by the modules lock
};
const Module *ModuleFromAddress(const void *address);
// A call into the module that holds `routine` begins or ends (nullptr: no module).
Module *EnterModule(const void *routine);
void LeaveModule(Module *module);
std::string DescribeAddress(const void *address);  // "module!symbol+0x12"

// ------------------------------------------------------------------ pool
void *PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *caller, const char *site);
void PoolFree(void *p, ULONG tag, bool checkTag, const void *caller);
struct PoolLeak {
    std::string module;
    ULONG tag;
    SIZE_T bytes;
    std::string where;
};
std::vector<PoolLeak> PoolLeaksOf(const Module *module);  // nullptr: all
std::string PoolTagText(ULONG tag);  // 'Tag1'
// Memory a driver gives back must not hold a queued DPC or work item.
void CheckMemoryRelease(const void *begin, size_t bytes, const void *caller, const char *what);

// ------------------------------------------------------------------ low resources
// Decides whether an allocation at this site (the caller's call stack) fails.
bool ShouldFailAllocation(const char *site, const void *caller);

// ------------------------------------------------------------------ DPCs, workers
void DpcCheckMemory(const void *begin, size_t bytes, const void *caller);
// Runs fn on a system worker thread at PASSIVE_LEVEL.
void QueueSystemWork(std::function<void()> fn);
// While held, queued work stays queued (for tests that need an item to be
// still in the queue at a given moment).
void HoldSystemWork(bool hold);

// ------------------------------------------------------------------ devices
struct DeviceRecord;
DeviceRecord *RecordOf(PDEVICE_OBJECT device);
std::string DeviceDescription(PDEVICE_OBJECT device);  // "\Driver\sink device \Device\00000003"
std::string DeviceName(PDEVICE_OBJECT device);
bool DeviceIsExclusive(PDEVICE_OBJECT device);
bool DeviceDeletePending(PDEVICE_OBJECT device);
LONG DeviceOpenCount(PDEVICE_OBJECT device);
void DeviceOpened(PDEVICE_OBJECT device);
void DeviceClosed(PDEVICE_OBJECT device);
std::vector<PDEVICE_OBJECT> LiveDevicesOf(PDRIVER_OBJECT driver);

// ------------------------------------------------------------------ IRPs
// The I/O manager's view of a request it built for a caller (a "threaded" IRP):
// what final completion must do besides setting the I/O status block and event.
struct ThreadedRequest {
    PFILE_OBJECT fileObject = nullptr;  // handle request: referenced until completion
    void *userBuffer = nullptr;         // METHOD_BUFFERED / buffered read output
    ULONG userBufferLength = 0;
    bool copyBack = false;
    bool synchronous = false;           // the issuing thread waits for it
    void *overlapped = nullptr;         // for CancelIoEx matching
    uint64_t threadId = 0;              // issuing thread, for CancelIo
    std::function<void(PIRP)> onFinal;  // at final completion, before the caller's event (may be empty)
    std::shared_ptr<void> keepAlive;    // the caller's event object, alive until it is set
};
// Marks an IRP as built by the I/O manager for a caller.
void AttachThreadedRequest(PIRP irp, ThreadedRequest request);
// site: the allocation site name the low-resource simulation may fail, or nullptr.
PIRP AllocateIrp(CCHAR stackSize, const void *caller, const char *site);
// Cancels the live I/O-manager requests that match; returns how many matched.
size_t CancelThreadedIrps(const std::function<bool(const ThreadedRequest &)> &match);

std::string IrpDescription(PIRP irp);  // "IRP_MJ_WRITE" etc.
const char *MajorName(UCHAR major);
const char *PnpMinorName(UCHAR minor);
const char *PowerMinorName(UCHAR minor);

// Sends an IRP the I/O manager built to a device and, if it pends, waits for it.
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb);

// ------------------------------------------------------------------ names
struct ResolvedName {
    PDEVICE_OBJECT device = nullptr;  // referenced
    std::u16string remainder;         // e.g. u"\\if0pipe1", empty if none
};
NTSTATUS ResolveName(const std::u16string &path, ResolvedName *out);
NTSTATUS InsertDeviceName(const std::u16string &name, PDEVICE_OBJECT device);
void RemoveDeviceName(const std::u16string &name);
NTSTATUS CreateLink(const std::u16string &link, const std::u16string &target);
NTSTATUS DeleteLink(const std::u16string &link);
bool LinkExists(const std::u16string &link);
std::vector<std::pair<std::u16string, std::u16string>> ListLinks();
std::u16string CanonicalPath(const std::u16string &path);  // \DosDevices, \?? -> \GLOBAL??
void ResetNamespace();

struct DeviceInterface {
    std::u16string link;       // \??\ROOT#...#{guid}
    GUID guid;
    PDEVICE_OBJECT pdo;
    bool enabled;
};
std::vector<DeviceInterface> ListInterfaces();

// ------------------------------------------------------------------ tracing
// One line per IRP as it passes each device object, when tracing is on.
using TraceSink = std::function<void(const std::string &)>;
void SetTraceSink(TraceSink sink);
bool TraceEnabled();
void Trace(const std::string &line);

std::u16string ToU16(const UNICODE_STRING *s);
std::u16string ToU16(const WCHAR *s);

}  // namespace winsim
