// The wire: moves the packets of transfers between the host's buffers and
// the device's endpoints, runs control transfers and the host-side pipe
// operations, and applies the wire model's timing.
#include "bus.h"

#include <algorithm>

namespace winsim::usb {
namespace {

void ControlTransfer(Bus &bus, Request &r)
{
    DeviceState &device = r.pdo->Device();
    std::span<const UCHAR> out;
    if (!r.in && r.length != 0)
        out = std::span<const UCHAR>(r.buffer, r.length);
    std::optional<std::vector<UCHAR>> reply = device.Control(r.setup, out);
    if (!reply) {
        bus.Finish(r, USBD_STATUS_STALL_PID);  // a control endpoint is not left halted
        return;
    }
    if (!r.in) {
        r.done = r.length;
        bus.Finish(r, USBD_STATUS_SUCCESS);
        return;
    }
    ULONG n = static_cast<ULONG>(std::min<size_t>(reply->size(), r.length));
    if (n != 0)
        memcpy(r.buffer, reply->data(), n);
    r.done = n;
    // A full-speed controller ends a short data stage with an error unless
    // the client allowed it.
    bus.Finish(r, n < r.length && !r.shortOk ? USBD_STATUS_DATA_UNDERRUN : USBD_STATUS_SUCCESS);
}

void ClearHalt(Bus &bus, Request &r)
{
    PdoContext &p = *r.pdo;
    Pipe *pipe = p.FindPipe(r.pipe);
    if (pipe == nullptr) {
        bus.Finish(r, USBD_STATUS_INVALID_PIPE_HANDLE);
        return;
    }
    if (r.clearDeviceHalt) {
        SetupPacket clear{BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL,
                          pipe->endpoint, 0};
        if (!p.Device().Control(clear, {})) {
            bus.Finish(r, USBD_STATUS_STALL_PID);
            return;
        }
    }
    if (r.resetHostSide)
        pipe->hostHalted = false;
    bus.Finish(r, USBD_STATUS_SUCCESS);
    bus.KickLocked();
}

// A port reset: the device is reset and its configuration selected again;
// requests still in flight are cancelled; every handle stays valid.
void ResetPort(Bus &bus, Request &r)
{
    PdoContext &p = *r.pdo;
    bus.FailAll(p, USBD_STATUS_CANCELED, &r);
    DeviceState &device = p.Device();
    device.Reset();
    if (p.configurationValue != 0) {
        SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, p.configurationValue, 0, 0};
        device.Control(set, {});
    }
    for (Pipe &pipe : p.pipes)
        pipe.hostHalted = false;
    bus.FinishWithStatus(r, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

void HostOnly(Bus &bus, Request &r)
{
    PdoContext &p = *r.pdo;
    switch (r.function) {
    case URB_FUNCTION_ABORT_PIPE: {
        if (p.FindPipe(r.pipe) == nullptr) {
            bus.Finish(r, USBD_STATUS_INVALID_PIPE_HANDLE);
            return;
        }
        std::vector<Request *> aborted;
        for (auto &other : p.active)
            if (!other->finished && other->kind == RequestKind::Transfer && other->pipe == r.pipe)
                aborted.push_back(other.get());
        for (Request *other : aborted)
            bus.Finish(*other, USBD_STATUS_CANCELED);
        bus.Finish(r, USBD_STATUS_SUCCESS);
        return;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE: {
        Pipe *pipe = p.FindPipe(r.pipe);
        if (pipe == nullptr) {
            bus.Finish(r, USBD_STATUS_INVALID_PIPE_HANDLE);
            return;
        }
        pipe->hostHalted = false;
        bus.Finish(r, USBD_STATUS_SUCCESS);
        bus.KickLocked();
        return;
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        r.urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(bus.FrameNow());
        bus.Finish(r, USBD_STATUS_SUCCESS);
        return;
    default:
        bus.Finish(r, USBD_STATUS_INVALID_URB_FUNCTION);
        return;
    }
}

}  // namespace

// Moves packets of a bulk or interrupt transfer, at most *budget of them.
// An OUT transfer ends when its last packet is taken; an IN transfer when
// its buffer is full or a short packet arrives. STALL and errors halt the
// pipe on the host side until reset-pipe.
bool Progress(Bus &bus, Request &r, unsigned *budget)
{
    PdoContext &p = *r.pdo;
    DeviceState &device = p.Device();
    if (!device.connected) {
        bus.Finish(r, USBD_STATUS_DEVICE_GONE);
        return true;
    }
    Pipe *pipe = p.FindPipe(r.pipe);
    if (pipe == nullptr) {
        bus.Finish(r, USBD_STATUS_INVALID_PIPE_HANDLE);
        return true;
    }
    if (pipe->hostHalted) {
        bus.Finish(r, USBD_STATUS_ENDPOINT_HALTED);
        return true;
    }
    bool moved = false;
    while (*budget > 0 && !r.finished) {
        bool stalled = false;
        if (!r.in) {
            ULONG size = std::min<ULONG>(pipe->maxPacket, r.length - r.done);
            std::span<const UCHAR> packet(r.buffer + r.done, size);
            bool taken = device.TakeOutPacket(pipe->endpoint, packet, &stalled);
            if (stalled) {
                pipe->hostHalted = true;
                bus.Finish(r, USBD_STATUS_STALL_PID);
                return true;
            }
            if (!taken)
                break;
            --*budget;
            moved = true;
            r.done += size;
            if (r.done == r.length)
                bus.Finish(r, USBD_STATUS_SUCCESS);
            continue;
        }
        std::optional<Packet> packet = device.GiveInPacket(pipe->endpoint, &stalled);
        if (stalled) {
            pipe->hostHalted = true;
            bus.Finish(r, USBD_STATUS_STALL_PID);
            return true;
        }
        if (!packet)
            break;
        --*budget;
        moved = true;
        ULONG size = static_cast<ULONG>(packet->size());
        if (size > r.length - r.done || size > pipe->maxPacket) {
            pipe->hostHalted = true;
            bus.Finish(r, USBD_STATUS_DATA_OVERRUN);
            return true;
        }
        if (size != 0)
            memcpy(r.buffer + r.done, packet->data(), size);
        r.done += size;
        if (size < pipe->maxPacket) {
            // A short packet ends the transfer; without USBD_SHORT_TRANSFER_OK
            // a full-speed controller reports it as an error and halts.
            if (r.done == r.length || r.shortOk) {
                bus.Finish(r, USBD_STATUS_SUCCESS);
            } else {
                pipe->hostHalted = true;
                bus.Finish(r, USBD_STATUS_DATA_UNDERRUN);
            }
        } else if (r.done == r.length) {
            bus.Finish(r, USBD_STATUS_SUCCESS);
        }
    }
    return moved;
}

bool Execute(Bus &bus, Request &r)
{
    PdoContext &p = *r.pdo;
    if (r.kind == RequestKind::HostOnly) {
        HostOnly(bus, r);
        return true;
    }
    if (!p.Connected()) {
        bus.Finish(r, USBD_STATUS_DEVICE_GONE);
        return true;
    }
    if (p.Device().ep0Nak && r.kind != RequestKind::ResetPort)
        return false;
    switch (r.kind) {
    case RequestKind::Control:
        ControlTransfer(bus, r);
        break;
    case RequestKind::Configure:
        bus.Finish(r, SelectConfiguration(bus, p, r.urb));
        break;
    case RequestKind::ClearHalt:
        ClearHalt(bus, r);
        break;
    case RequestKind::ResetPort:
        ResetPort(bus, r);
        break;
    default:
        break;
    }
    return true;
}

// One pass over every device's requests, in submission order. With frame
// timing it is the frame `frame`: only requests submitted before it take
// part, the bulk transfers share kFullSpeedBulkPacketsPerFrame packets, and
// each device gets one control transfer.
bool Bus::Service(int64_t frame, bool frameLimited)
{
    bool moved = false;
    unsigned budget = frameLimited ? kFullSpeedBulkPacketsPerFrame : ~0u;
    for (PdoContext *p : ports) {
        if (p == nullptr)
            continue;
        bool controlUsed = false;
        std::vector<Request *> order;
        for (auto &r : p->active)
            order.push_back(r.get());
        for (Request *r : order) {
            if (r->finished || (frameLimited && r->submitFrame >= frame) || Blocked(*p, *r))
                continue;
            switch (r->kind) {
            case RequestKind::Transfer:
                if (budget != 0)
                    moved |= Progress(*this, *r, &budget);
                break;
            case RequestKind::HostOnly:
                moved |= Execute(*this, *r);
                break;
            default:
                if (frameLimited && controlUsed)
                    break;
                if (Execute(*this, *r)) {
                    moved = true;
                    controlUsed = true;
                }
                break;
            }
        }
    }
    return moved;
}

}  // namespace winsim::usb
