// How transfers end other than by moving their data: cancellation, abort,
// stalls and the recovery from them, NAK, unplug and port reset; and the
// context a completion arrives in.
#include "usb_test_support.h"

#include <thread>

namespace winsim::usb::test {
namespace {

constexpr ULONG kRead = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class Lifecycle : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        config_ = Configure(pdo_);
        ASSERT_EQ(config_.status, STATUS_SUCCESS);
    }

    // A bulk read of `length` bytes, sent and left pending.
    std::unique_ptr<PendingRequest> StartRead(URB &urb, std::vector<UCHAR> &buffer)
    {
        BuildBulk(urb, config_.In(), buffer.data(), static_cast<ULONG>(buffer.size()), kRead);
        auto request = std::make_unique<PendingRequest>(pdo_, &urb);
        EXPECT_EQ(request->Send(), STATUS_PENDING);
        return request;
    }

    NTSTATUS Write(std::vector<UCHAR> data, USBD_STATUS *usbd = nullptr)
    {
        auto urb = NewUrb();
        BuildBulk(*urb, config_.Out(), data.data(), static_cast<ULONG>(data.size()), 0);
        NTSTATUS status = SubmitUrb(pdo_, urb.get());
        if (usbd != nullptr)
            *usbd = urb->UrbHeader.Status;
        return status;
    }

    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
    {
        auto urb = NewUrb();
        BuildPipeRequest(*urb, function, pipe);
        return SubmitUrb(pdo_, urb.get());
    }

    Configuration config_;
};

// A pending transfer is cancellable: IoCancelIrp completes it with
// STATUS_CANCELLED and USBD_STATUS_CANCELED, reporting what had already
// been moved (here one full packet of a longer read).
TEST_F(Lifecycle, CancelledReadReportsWhatItReceived)
{
    std::vector<UCHAR> buffer(512);
    auto urb = NewUrb();
    auto read = StartRead(*urb, buffer);
    std::vector<UCHAR> packet(64, 0x3C);
    printer_->FeedBulkIn(packet);
    while (printer_->QueuedBulkIn() != 0)
        std::this_thread::yield();
    EXPECT_TRUE(read->Cancel());
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    EXPECT_EQ(buffer[63], 0x3C);
}

// An IRP whose Cancel flag is already set when it reaches the stack is
// completed as cancelled instead of being queued.
TEST_F(Lifecycle, RequestCancelledBeforeItArrivesIsNotQueued)
{
    std::vector<UCHAR> buffer(64);
    auto urb = NewUrb();
    BuildBulk(*urb, config_.In(), buffer.data(), 64, kRead);
    PendingRequest read(pdo_, urb.get());
    EXPECT_FALSE(read.Cancel());  // no cancel routine yet
    read.Send();
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
}

// Transfers on one pipe complete in order; cancelling the first lets the
// second take the data.
TEST_F(Lifecycle, CancellingOneReadLeavesTheNextInLine)
{
    std::vector<UCHAR> first(64), second(64);
    auto u1 = NewUrb(), u2 = NewUrb();
    auto r1 = StartRead(*u1, first);
    auto r2 = StartRead(*u2, second);
    r1->Cancel();
    ASSERT_TRUE(r1->Wait());
    UCHAR data[5] = {1, 2, 3, 4, 5};
    printer_->FeedBulkIn(data);
    ASSERT_TRUE(r2->Wait());
    EXPECT_EQ(r2->Status(), STATUS_SUCCESS);
    EXPECT_EQ(u2->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(second[4], 5);
}

// _URB_HEADER, URB_FUNCTION_ABORT_PIPE: every outstanding request on the
// pipe is cancelled; pipe and endpoint state are unaffected.
TEST_F(Lifecycle, AbortCancelsPendingTransfersAndLeavesThePipeUsable)
{
    std::vector<UCHAR> a(64), b(64);
    auto ua = NewUrb(), ub = NewUrb();
    auto ra = StartRead(*ua, a);
    auto rb = StartRead(*ub, b);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, config_.In()), STATUS_SUCCESS);
    for (auto *r : {ra.get(), rb.get()}) {
        ASSERT_TRUE(r->Wait());
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(ua->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(printer_->Halted(0x82));

    UCHAR data[3] = {9, 9, 9};
    printer_->FeedBulkIn(data);
    std::vector<UCHAR> c(64);
    auto uc = NewUrb();
    BuildBulk(*uc, config_.In(), c.data(), 64, kRead);
    EXPECT_EQ(SubmitUrb(pdo_, uc.get()), STATUS_SUCCESS);
    EXPECT_EQ(uc->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
}

TEST_F(Lifecycle, AbortLeavesOtherPipesAlone)
{
    std::vector<UCHAR> buffer(64);
    auto urb = NewUrb();
    auto read = StartRead(*urb, buffer);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, config_.Out()), STATUS_SUCCESS);
    EXPECT_FALSE(read->Wait(20ms));
    read->Cancel();
}

// How to recover from USB pipe errors (learn.microsoft.com, usbcon): a
// stalled endpoint fails the transfer with USBD_STATUS_STALL_PID; the pipe
// stays halted, and every later transfer fails without reaching the device,
// until URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL resets the host side
// and clears the halt on the device.
TEST_F(Lifecycle, StallHaltsThePipeUntilResetPipe)
{
    printer_->Stall(0x01);
    USBD_STATUS usbd;
    EXPECT_EQ(Write({1, 2, 3}, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Write({4}, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(printer_->ReceivedCount(), 0u);

    printer_->ClearControlLog();
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, config_.Out()), STATUS_SUCCESS);
    ControlRecord clear = printer_->ControlLog().back();
    EXPECT_EQ(clear.setup.bmRequestType, BMREQUEST_TO_ENDPOINT);
    EXPECT_EQ(clear.setup.bRequest, USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(clear.setup.wValue, USB_FEATURE_ENDPOINT_STALL);
    EXPECT_EQ(clear.setup.wIndex, 0x01);
    EXPECT_FALSE(printer_->Halted(0x01));

    EXPECT_EQ(Write({5, 6}), STATUS_SUCCESS);
    EXPECT_EQ(printer_->Received(), (std::vector<UCHAR>{5, 6}));
}

// The two halves of the reset: URB_FUNCTION_SYNC_RESET_PIPE resets only the
// host side, URB_FUNCTION_SYNC_CLEAR_STALL only clears the device's halt.
struct HalfResetCase {
    const char *name;
    USHORT function;
    bool deviceHaltedAfter;
    USBD_STATUS nextWrite;
};

class HalfReset : public Lifecycle, public testing::WithParamInterface<HalfResetCase> {};

TEST_P(HalfReset, LeavesTheOtherSideHalted)
{
    const HalfResetCase &c = GetParam();
    printer_->Stall(0x01);
    USBD_STATUS usbd;
    Write({1}, &usbd);
    ASSERT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(PipeRequest(c.function, config_.Out()), STATUS_SUCCESS);
    EXPECT_EQ(printer_->Halted(0x01), c.deviceHaltedAfter);
    Write({2}, &usbd);
    EXPECT_EQ(usbd, c.nextWrite);
}

INSTANTIATE_TEST_SUITE_P(
    Halves, HalfReset,
    testing::Values(HalfResetCase{"HostSideOnly", URB_FUNCTION_SYNC_RESET_PIPE, true, USBD_STATUS_STALL_PID},
                    HalfResetCase{"DeviceSideOnly", URB_FUNCTION_SYNC_CLEAR_STALL, false, USBD_STATUS_ENDPOINT_HALTED}),
    [](const testing::TestParamInfo<HalfResetCase> &info) { return info.param.name; });

// A transfer that is already queued when its endpoint stalls fails with it.
TEST_F(Lifecycle, StallEndsAPendingRead)
{
    std::vector<UCHAR> buffer(64);
    auto urb = NewUrb();
    auto read = StartRead(*urb, buffer);
    printer_->Stall(0x82);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
}

// An endpoint that NAKs forever never completes a transfer by itself; the
// transfer stays cancellable, and moves once the endpoint takes data again.
TEST_F(Lifecycle, NakingEndpointHoldsTransfersUntilItRecovers)
{
    printer_->SetNak(0x01, true);
    std::vector<UCHAR> data(10, 0x77);
    auto u1 = NewUrb(), u2 = NewUrb();
    BuildBulk(*u1, config_.Out(), data.data(), 10, 0);
    BuildBulk(*u2, config_.Out(), data.data(), 10, 0);
    PendingRequest cancelled(pdo_, u1.get()), resumed(pdo_, u2.get());
    EXPECT_EQ(cancelled.Send(), STATUS_PENDING);
    EXPECT_EQ(resumed.Send(), STATUS_PENDING);
    EXPECT_FALSE(cancelled.Wait(30ms));
    cancelled.Cancel();
    ASSERT_TRUE(cancelled.Wait());
    EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
    EXPECT_EQ(printer_->ReceivedCount(), 0u);

    printer_->SetNak(0x01, false);
    ASSERT_TRUE(resumed.Wait());
    EXPECT_EQ(resumed.Status(), STATUS_SUCCESS);
    EXPECT_EQ(printer_->ReceivedCount(), 10u);
}

// A device that goes away fails what it had in flight, and everything sent
// after, with USBD_STATUS_DEVICE_GONE and STATUS_DEVICE_NOT_CONNECTED.
TEST_F(Lifecycle, UnplugFailsPendingAndLaterRequests)
{
    std::vector<UCHAR> buffer(64);
    auto urb = NewUrb();
    auto read = StartRead(*urb, buffer);
    host_->Unplug(*printer_);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    USBD_STATUS usbd;
    EXPECT_EQ(Write({1}, &usbd), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(usbd, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(ResetPort(pdo_), STATUS_DEVICE_NOT_CONNECTED);
    ULONG portStatus = 0xFFFFFFFF;
    PendingRequest query(pdo_, &portStatus, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(query.Send(), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, 0u);
}

TEST_F(Lifecycle, PortStatusOfAConnectedDevice)
{
    ULONG portStatus = 0;
    PendingRequest query(pdo_, &portStatus, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(query.Send(), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

// The pipes of a configuration close with it: a transfer still queued on
// one when the device is deconfigured is cancelled.
TEST_F(Lifecycle, DeconfigureCancelsTransfersOnTheOldPipes)
{
    std::vector<UCHAR> buffer(64);
    auto urb = NewUrb();
    auto read = StartRead(*urb, buffer);
    auto deconfigure = NewUrb();
    UsbBuildSelectConfigurationRequest(deconfigure.get(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, deconfigure.get()), STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
}

// A remove-device request ends the device handle: what is still in flight
// fails as if the device were gone.
TEST_F(Lifecycle, RemovalFailsTransfersInFlight)
{
    std::vector<UCHAR> buffer(64);
    auto urb = NewUrb();
    auto read = StartRead(*urb, buffer);
    EXPECT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

// IOCTL_INTERNAL_USB_RESET_PORT: the port is reset and the configuration
// selected again; all pipe, configuration and interface handles stay
// valid. What was still in flight does not survive it.
TEST_F(Lifecycle, PortResetRestoresTheConfigurationAndKeepsHandles)
{
    std::vector<UCHAR> buffer(64);
    auto urb = NewUrb();
    auto read = StartRead(*urb, buffer);
    printer_->Stall(0x01);
    printer_->ClearControlLog();

    EXPECT_EQ(ResetPort(pdo_), STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(printer_->Halted(0x01));
    EXPECT_EQ(printer_->ConfigurationValue(), 1);
    std::vector<ControlRecord> log = printer_->ControlLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().setup.bRequest, USB_REQUEST_SET_CONFIGURATION);

    EXPECT_EQ(Write({0x42}), STATUS_SUCCESS);
    EXPECT_EQ(printer_->Received(), (std::vector<UCHAR>{0x42}));
}

// While a port reset is under way the hub refuses URBs; a reset that ends
// without running (here cancelled while queued) gives the port back.
TEST_F(Lifecycle, CancelledPortResetGivesThePortBack)
{
    printer_->SetNak(0x00, true);
    UCHAR status[4];
    auto vendor = NewUrb();
    BuildVendor(*vendor, URB_FUNCTION_VENDOR_INTERFACE, kRead, kVendorStatusRequest, 0, 0, status, sizeof status);
    PendingRequest control(pdo_, vendor.get());
    PendingRequest reset(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
    control.Send();
    EXPECT_EQ(reset.Send(), STATUS_PENDING);
    USBD_STATUS usbd;
    EXPECT_EQ(Write({1}, &usbd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbd, USBD_STATUS_INVALID_PARAMETER);
    reset.Cancel();
    ASSERT_TRUE(reset.Wait());
    EXPECT_EQ(reset.Status(), STATUS_CANCELLED);
    printer_->SetNak(0x00, false);
    ASSERT_TRUE(control.Wait());
    EXPECT_EQ(Write({2}), STATUS_SUCCESS);
}

// Completions come the way a host controller delivers them: at once in the
// caller's thread when the transfer could finish there, otherwise later from
// the controller's own thread at DISPATCH_LEVEL, with PendingReturned set.
TEST_F(Lifecycle, CompletesInlineOrFromTheControllerAtDispatchLevel)
{
    std::vector<UCHAR> data(8, 1);
    auto w = NewUrb();
    BuildBulk(*w, config_.Out(), data.data(), 8, 0);
    PendingRequest write(pdo_, w.get());
    EXPECT_EQ(write.Send(), STATUS_SUCCESS);
    EXPECT_EQ(write.completionThread, write.senderThread);
    EXPECT_EQ(write.completionIrql, PASSIVE_LEVEL);
    EXPECT_FALSE(write.pendingReturned);

    std::vector<UCHAR> buffer(64);
    auto r = NewUrb();
    auto read = StartRead(*r, buffer);
    printer_->FeedBulkIn(data);
    ASSERT_TRUE(read->Wait());
    EXPECT_NE(read->completionThread, read->senderThread);
    EXPECT_EQ(read->completionIrql, DISPATCH_LEVEL);
    EXPECT_TRUE(read->pendingReturned);
    EXPECT_EQ(r->UrbHeader.Status, USBD_STATUS_SUCCESS);
}

// With pending forced (as Driver Verifier does), every request pends, the
// ones that fail at once included, and completes from the controller.
class ForcedPending : public Lifecycle {
protected:
    HostOptions Options() override
    {
        HostOptions options;
        options.forcePending = true;
        return options;
    }
};

TEST_F(ForcedPending, EveryRequestPendsAndCompletesAtDispatchLevel)
{
    std::vector<UCHAR> data(8, 1);
    auto good = NewUrb(), bad = NewUrb();
    BuildBulk(*good, config_.Out(), data.data(), 8, 0);
    BuildBulk(*bad, reinterpret_cast<USBD_PIPE_HANDLE>(data.data()), data.data(), 8, 0);
    PendingRequest write(pdo_, good.get()), refused(pdo_, bad.get());
    EXPECT_EQ(write.Send(), STATUS_PENDING);
    EXPECT_EQ(refused.Send(), STATUS_PENDING);
    for (PendingRequest *r : {&write, &refused}) {
        ASSERT_TRUE(r->Wait());
        EXPECT_EQ(r->completionIrql, DISPATCH_LEVEL);
        EXPECT_NE(r->completionThread, r->senderThread);
        EXPECT_TRUE(r->pendingReturned);
    }
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(refused.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(printer_->ReceivedCount(), 8u);
}

// One port reset at a time: a second one while the first is still queued
// (behind a control transfer the device keeps NAKing) fails.
TEST_F(Lifecycle, SecondPortResetWhileOneIsQueuedFails)
{
    printer_->SetNak(0x00, true);
    UCHAR status[4];
    auto vendor = NewUrb();
    BuildVendor(*vendor, URB_FUNCTION_VENDOR_INTERFACE, kRead, kVendorStatusRequest, 0, 0, status, sizeof status);
    PendingRequest control(pdo_, vendor.get());
    PendingRequest first(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
    PendingRequest second(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_EQ(control.Send(), STATUS_PENDING);
    EXPECT_EQ(first.Send(), STATUS_PENDING);
    EXPECT_EQ(second.Send(), STATUS_UNSUCCESSFUL);
    printer_->SetNak(0x00, false);
    ASSERT_TRUE(control.Wait());
    ASSERT_TRUE(first.Wait());
    EXPECT_EQ(control.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace winsim::usb::test
