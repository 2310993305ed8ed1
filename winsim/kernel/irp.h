// The IRP engine's record of each request (see irp.cpp).
#pragma once

#include "internal.h"

namespace winsim {

enum class IrpState {
    Allocated,   // made, not yet sent to a driver
    Dispatched,  // in the drivers' hands
    Completing,  // IoCompleteRequest is walking up its stack locations
    Stopped,     // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
    Finished,    // final completion done by the I/O manager
    Freed,
};

struct IrpRecord {
    std::mutex lock;
    PIRP irp = nullptr;
    size_t allocationBytes = 0;
    std::atomic<IrpState> state{IrpState::Allocated};  // read without the lock to spot a freed IRP
    const void *allocator = nullptr;
    const Module *allocatorModule = nullptr;  // driver that must free it
    const void *completer = nullptr;
    std::string description = "IRP (not yet sent)";

    bool threaded = false;                    // built by the I/O manager for a caller
    ThreadedRequest request;

    // Per stack location (index = CurrentLocation, 1..StackCount).
    std::vector<uint8_t> pendingSeen;        // SL_PENDING_RETURNED when completion passed it
    std::vector<uint8_t> needsMark;          // dispatch returned STATUS_PENDING, mark still due
    int walkedUpTo = 0;                      // highest location completion has passed

    bool inRoutine = false;                  // a completion routine is running
    bool resumedEarly = false;               // IoCompleteRequest again while it ran
    int cancelRefs = 0;                      // CancelIo in progress: keep the memory
    bool retirePending = false;
};

std::shared_ptr<IrpRecord> RecordOfIrp(PIRP irp, const void *caller, const char *operation);
void FreeIrp(PIRP irp, const void *caller);
BOOLEAN CancelIrp(PIRP irp);
void ReleaseQuarantine();
// Deleting a device object that still holds a request stops the machine.
void CheckNoIrpsHeldBy(PDEVICE_OBJECT device, const void *caller);
std::vector<std::string> DescribeLiveIrps(const Module *allocatedBy);
std::string StackDescription(PIO_STACK_LOCATION stack);
std::string IoControlName(ULONG code, const char *fallback);
std::string StatusName(NTSTATUS status);

}  // namespace winsim

namespace winsim {
PIRP BuildControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb,
                         const void *caller, ThreadedRequest request);
void RegisterIoControlName(ULONG code, const std::string &name);
extern const ULONG kSystemBufferTag;
bool SetUpControlBuffers(PIRP irp, PIO_STACK_LOCATION stack, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength, ThreadedRequest *request);
}  // namespace winsim
