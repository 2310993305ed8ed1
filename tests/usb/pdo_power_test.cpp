// Power requests to the printer's PDO: device power states, and wait-wake
// with the device's remote wake-up.
#include "usb_test_support.h"

namespace winsim::usb::test {
namespace {

// A power request from the power manager (PoRequestPowerIrp), and how it ended.
class PowerRequest {
public:
    PowerRequest(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE state)
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        EXPECT_EQ(PoRequestPowerIrp(pdo, minor, state, Done, this, &irp_), STATUS_PENDING);
    }
    ~PowerRequest() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }

    bool Wait(std::chrono::milliseconds timeout = 5s)
    {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000;
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &due) == STATUS_SUCCESS;
    }
    bool Completed() { return KeReadStateEvent(&done_) != 0; }
    void Cancel() { IoCancelIrp(irp_); }  // only while it is pending
    NTSTATUS status = STATUS_PENDING;

private:
    static VOID Done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb)
    {
        auto self = static_cast<PowerRequest *>(context);
        self->status = iosb->Status;
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    }
    KEVENT done_;
    PIRP irp_ = nullptr;
};

class PdoPower : public UsbTest {
protected:
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state)
    {
        POWER_STATE s;
        s.DeviceState = state;
        PowerRequest request(pdo_, IRP_MN_SET_POWER, s);
        request.Wait();
        return request.status;
    }

    std::unique_ptr<PowerRequest> WaitWake(SYSTEM_POWER_STATE from = PowerSystemSleeping3)
    {
        POWER_STATE s;
        s.SystemState = from;
        return std::make_unique<PowerRequest>(pdo_, IRP_MN_WAIT_WAKE, s);
    }

    USHORT DeviceStatus()
    {
        USHORT word = 0xFFFF;
        auto urb = NewUrb();
        UsbBuildGetStatusRequest(urb.get(), URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, &word, nullptr, nullptr);
        EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
        return word;
    }
};

TEST_F(PdoPower, SetPowerMovesTheDeviceBetweenStates)
{
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD0);
    EXPECT_EQ(SetDevicePower(PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD2);
    EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD0);
}

// Handling a wait/wake IRP in a bus driver (learn.microsoft.com): refused
// with STATUS_INVALID_DEVICE_STATE if the device cannot wake from the given
// system state or from its present device state; STATUS_NOT_SUPPORTED
// (IRP_MN_WAIT_WAKE) if it cannot wake at all; otherwise pended.
struct WaitWakeCase {
    const char *name;
    DEVICE_POWER_STATE deviceState;
    SYSTEM_POWER_STATE from;
    bool remoteWakeCapable;  // capabilities and configuration attributes
    NTSTATUS status;         // STATUS_PENDING: armed
};

class WaitWakeAdmission : public PdoPower, public testing::WithParamInterface<WaitWakeCase> {};

TEST_P(WaitWakeAdmission, ArmsOnlyAWakeTheDeviceCanGive)
{
    const WaitWakeCase &c = GetParam();
    if (!c.remoteWakeCapable)
        printer_->SetPowerCapabilities(DefaultPowerCapabilities(false));
    SetDevicePower(c.deviceState);
    auto request = WaitWake(c.from);
    if (c.status == STATUS_PENDING) {
        EXPECT_FALSE(request->Completed());
        EXPECT_TRUE(printer_->RemoteWakeArmed());
        request->Cancel();
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->status, STATUS_CANCELLED);
    } else {
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->status, c.status);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitWakeAdmission,
    testing::Values(WaitWakeCase{"FromWorkingState", PowerDeviceD0, PowerSystemSleeping3, true, STATUS_PENDING},
                    WaitWakeCase{"FromDeviceWakeState", PowerDeviceD2, PowerSystemSleeping1, true, STATUS_PENDING},
                    WaitWakeCase{"SystemStateBelowSystemWake", PowerDeviceD0, PowerSystemHibernate, true,
                                 STATUS_INVALID_DEVICE_STATE},
                    WaitWakeCase{"DeviceDeeperThanDeviceWake", PowerDeviceD3, PowerSystemSleeping3, true,
                                 STATUS_INVALID_DEVICE_STATE},
                    WaitWakeCase{"NoWakeSupport", PowerDeviceD0, PowerSystemSleeping3, false, STATUS_NOT_SUPPORTED}),
    [](const testing::TestParamInfo<WaitWakeCase> &info) { return info.param.name; });

// Only one wait/wake IRP may be pending for a PDO; another is refused with
// STATUS_DEVICE_BUSY.
TEST_F(PdoPower, SecondWaitWakeIsBusy)
{
    auto first = WaitWake();
    auto second = WaitWake();
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(second->status, STATUS_DEVICE_BUSY);
    EXPECT_FALSE(first->Completed());
    first->Cancel();
}

// The bus arms the device's remote wake-up (SET_FEATURE(DEVICE_REMOTE_WAKEUP))
// while a wait-wake is pending; a suspended device that signals resume
// completes it with STATUS_SUCCESS. A device in D0 is not suspended and has
// nothing to wake from.
TEST_F(PdoPower, RemoteWakeOfASuspendedDeviceCompletesTheWaitWake)
{
    auto request = WaitWake();
    ASSERT_FALSE(request->Completed());
    ControlRecord armed = printer_->ControlLog().back();
    EXPECT_EQ(armed.setup.bRequest, USB_REQUEST_SET_FEATURE);
    EXPECT_EQ(armed.setup.wValue, USB_FEATURE_REMOTE_WAKEUP);
    EXPECT_EQ(DeviceStatus() & USB_GETSTATUS_REMOTE_WAKEUP_ENABLED, USB_GETSTATUS_REMOTE_WAKEUP_ENABLED);

    EXPECT_FALSE(printer_->SignalRemoteWake());
    EXPECT_FALSE(request->Completed());

    SetDevicePower(PowerDeviceD2);
    EXPECT_TRUE(printer_->SignalRemoteWake());
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->status, STATUS_SUCCESS);
    EXPECT_FALSE(printer_->RemoteWakeArmed());
    EXPECT_FALSE(printer_->SignalRemoteWake()) << "nothing armed any more";
    SetDevicePower(PowerDeviceD0);
    EXPECT_EQ(DeviceStatus() & USB_GETSTATUS_REMOTE_WAKEUP_ENABLED, 0);
}

TEST_F(PdoPower, CancelledWaitWakeDisarmsTheDevice)
{
    auto request = WaitWake();
    request->Cancel();
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->status, STATUS_CANCELLED);
    EXPECT_FALSE(printer_->RemoteWakeArmed());
    EXPECT_EQ(DeviceStatus() & USB_GETSTATUS_REMOTE_WAKEUP_ENABLED, 0);
}

TEST_F(PdoPower, UnplugEndsAPendingWaitWake)
{
    auto request = WaitWake();
    host_->Unplug(*printer_);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->status, STATUS_NO_SUCH_DEVICE);
}

// A device whose configuration does not offer remote wake-up stalls the
// host's SET_FEATURE; the bus cannot arm it.
TEST_F(PdoPower, DeviceWithoutRemoteWakeupAttributeCannotBeArmed)
{
    DeviceConfig config = PrinterConfig(BuildIdentity());
    config.attributes = USB_CONFIG_BUS_POWERED;
    auto device = host_->Plug(config, 2);
    POWER_STATE s;
    s.SystemState = PowerSystemSleeping3;
    PowerRequest request(device->Pdo(), IRP_MN_WAIT_WAKE, s);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.status, STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace winsim::usb::test
