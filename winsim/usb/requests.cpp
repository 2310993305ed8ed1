// The life of a request in the bus driver: run at once and completed in the
// caller's thread when the wire allows, or queued (pending, cancellable) for
// the controller thread; finished with a USBD status that is written into
// the URB next to the NTSTATUS Windows reports for it; completed exactly
// once, whether by the controller or by its cancel routine.
#include "bus.h"

namespace winsim::usb {

// The NTSTATUS the USB stack completes a request with, by USBD status (as
// the port driver maps them): success, the errors that have an NTSTATUS of
// their own, and STATUS_UNSUCCESSFUL for every other error.
NTSTATUS NtStatusFromUsbd(USBD_STATUS usbd)
{
    switch (usbd) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
    // The hub checks the descriptor of a select-configuration itself and
    // refuses a malformed one as an invalid parameter.
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
        return STATUS_INVALID_PARAMETER;
    default:
        return USBD_ERROR(usbd) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
}

namespace {

// The result of a request, written where its sender will read it: the URB's
// USBD status and byte count. A port reset that ends, however it ends, lets
// the next one in.
void SetResult(Request &r, USBD_STATUS usbd, NTSTATUS status)
{
    r.finished = true;
    r.usbd = usbd;
    r.status = status;
    if (r.urb != nullptr) {
        r.urb->UrbHeader.Status = usbd;
        if (r.lengthField != nullptr)
            *r.lengthField = r.done;
    }
    if (r.holdsPortReset) {
        r.holdsPortReset = false;
        r.pdo->resetting = false;
    }
}

// Cancel routine of every queued request. Runs with the cancel spin lock,
// which it gives back first; the request is still in its PDO's list (the
// controller leaves a request alone once it cannot take the cancel routine
// back) and may already have a result, which then stands.
void CancelRequest(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto request = static_cast<Request *>(irp->Tail.Overlay.DriverContext[0]);
    PdoContext &p = *request->pdo;
    std::unique_ptr<Request> owned;
    {
        std::lock_guard<std::mutex> lock(p.bus->Lock());
        for (auto it = p.active.begin(); it != p.active.end(); ++it) {
            if (it->get() == request) {
                owned = std::move(*it);
                p.active.erase(it);
                break;
            }
        }
        if (!owned)
            BugCheck("USB_BUS_DRIVER", "cancel routine ran for a request the USB stack no longer holds");
        if (!owned->finished)
            SetResult(*owned, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        p.bus->KickLocked();  // requests behind it may move now
    }
    irp->IoStatus.Status = owned->status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

void Bus::FinishWithStatus(Request &request, USBD_STATUS usbd, NTSTATUS status)
{
    if (request.finished)
        return;
    SetResult(request, usbd, status);
    Retire(request);
}

void Bus::Finish(Request &request, USBD_STATUS usbd) { FinishWithStatus(request, usbd, NtStatusFromUsbd(usbd)); }

// A finished request leaves its PDO's list for the completion list, unless
// its cancel routine has been claimed, which then completes it.
void Bus::Retire(Request &request)
{
    PdoContext &p = *request.pdo;
    for (auto it = p.active.begin(); it != p.active.end(); ++it) {
        if (it->get() != &request)
            continue;
        if (IoSetCancelRoutine(request.irp, nullptr) == nullptr)
            return;
        Completion c{request.irp, request.status, std::move(*it)};
        p.active.erase(it);
        completions_.push_back(std::move(c));
        KickLocked();
        return;
    }
    // Not queued: it runs inline in its dispatch routine, which completes it.
}

void Bus::FailAll(PdoContext &p, USBD_STATUS usbd, const Request *except)
{
    std::vector<Request *> victims;
    for (auto &r : p.active)
        if (!r->finished && r.get() != except)
            victims.push_back(r.get());
    for (Request *r : victims)
        Finish(*r, usbd);
}

// Whether an earlier request on the same endpoint (the pipe of a transfer,
// the default pipe of everything else that uses the bus) is still in the way.
bool Bus::Blocked(const PdoContext &p, const Request &request) const
{
    bool onPipe = request.kind == RequestKind::Transfer;
    for (auto &r : p.active) {
        if (r.get() == &request)
            return false;
        if (r->finished)
            continue;
        if (onPipe ? (r->kind == RequestKind::Transfer && r->pipe == request.pipe)
                   : (r->kind != RequestKind::Transfer && r->kind != RequestKind::HostOnly))
            return true;
    }
    return false;
}

// Runs a request that is not queued yet as far as the wire allows now.
// Returns whether it finished.
bool Bus::RunInline(Request &request)
{
    if (request.finished)
        return true;
    PdoContext &p = *request.pdo;
    if (request.kind == RequestKind::HostOnly) {
        Execute(*this, request);
        return request.finished;
    }
    if (wire != WireModel::Instant || request.kind == RequestKind::ResetPort || Blocked(p, request))
        return false;
    if (request.kind == RequestKind::Transfer) {
        unsigned unlimited = ~0u;
        Progress(*this, request, &unlimited);
    } else {
        Execute(*this, request);
    }
    return request.finished;
}

void Bus::Enqueue(std::unique_ptr<Request> request)
{
    Request *r = request.get();
    PIRP irp = r->irp;
    IoMarkIrpPending(irp);
    if (r->urb != nullptr && !r->finished)
        r->urb->UrbHeader.Status = USBD_STATUS_PENDING;
    irp->Tail.Overlay.DriverContext[0] = r;
    r->pdo->active.push_back(std::move(request));
    IoSetCancelRoutine(irp, CancelRequest);
    if (r->finished) {
        // A result known at once, held back by forced pending.
        r->finished = false;
        FinishWithStatus(*r, r->usbd, r->status);
    } else if (irp->Cancel) {
        Finish(*r, USBD_STATUS_CANCELED);
    }
    KickLocked();
}

// Takes a request from a dispatch routine: completes it in the caller's
// thread when it can finish now (and pending is not forced), else queues it.
NTSTATUS Bus::Submit(std::unique_ptr<Request> request, std::unique_lock<std::mutex> lock)
{
    request->submitFrame = FrameNow();
    if (!forcePending && RunInline(*request)) {
        lock.unlock();
        PIRP irp = request->irp;
        NTSTATUS status = request->status;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    Enqueue(std::move(request));
    return STATUS_PENDING;
}

}  // namespace winsim::usb
