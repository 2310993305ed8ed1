// Plug and Play and power: idle power-down when the last file object closes
// and power-up at the first open, stop and removal with requests in flight,
// surprise removal, system sleep and resume, and wait-wake.
#include "usb_fixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace tarvik::test {
namespace {

using namespace winsim::usb;
using namespace std::chrono_literals;

class IdlePower : public UsbCompletionFixture {};

TEST_P(IdlePower, TheLastCloseIdlesTheDeviceAndTheFirstOpenWakesIt)
{
    PUSB_DEVICE_EXTENSION extension = Extension();
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceUnspecified) << "nothing opened yet";

    HANDLE pipe = Open("if0pipe0");
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0) << "the first open waits for D0";
    Close(pipe);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD2);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD2);

    for (int round = 0; round < 3; round++) {
        HANDLE device = Open("");
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(printer_->PowerState(), PowerDeviceD0) << "the open returned only once the device was in D0";
        pipe = Open("if0pipe1");
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        Close(device);
        EXPECT_EQ(printer_->PowerState(), PowerDeviceD0) << "a pipe is still open";
        Close(pipe);
        EXPECT_EQ(printer_->PowerState(), PowerDeviceD2) << "round " << round;
    }
    EXPECT_EQ(IoCountSettlingAt(1), 1) << "the power requests gave their references back";
}

// A create that fails leaves nothing counted.
TEST_P(IdlePower, FailedOpensLeaveTheCountsAlone)
{
    HANDLE device = Open("");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(""), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("if0pipe7"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Extension()->DeviceOpenCount, 1);
    EXPECT_EQ(Extension()->OpenPipeCount, 0);
    Close(device);
    EXPECT_EQ(Extension()->DeviceOpenCount, 0);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD2);
}

TARVIK_INSTANTIATE_COMPLETIONS(IdlePower);

class Removal : public UsbCompletionFixture {
protected:
    // Starts an overlapped read that waits for data on the bulk-in pipe.
    HANDLE PendingRead(OVERLAPPED &o, Bytes &buffer)
    {
        HANDLE in = Open("if0pipe1", true);
        EXPECT_NE(in, INVALID_HANDLE_VALUE);
        o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &o));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        return in;
    }
};

// The stop aborts the open pipes, which ends the transfers pending on them.
TEST_P(Removal, AStopEndsTransfersInFlight)
{
    OVERLAPPED o{};
    Bytes buffer(64);
    HANDLE in = PendingRead(o, buffer);
    ASSERT_EQ(machine_.StopAndRestart(id_), STATUS_SUCCESS);
    DWORD read = 0;
    EXPECT_FALSE(GetOverlappedResult(in, &o, &read, TRUE));
    EXPECT_EQ(machine_.DeviceState(id_), "started");
    CloseHandle(o.hEvent);
}

// Query-remove waits until no request is left in the driver: a bulk read
// waiting for data holds it until the data comes.
TEST_P(Removal, AQueryRemoveWaitsForAWaitingBulkRead)
{
    HANDLE device = Open("");
    ASSERT_NE(Open("if0pipe1"), INVALID_HANDLE_VALUE);
    PUSB_DEVICE_EXTENSION extension = Extension();
    auto read = std::async(std::launch::async, [&] { return BulkRead(device); });
    while (__atomic_load_n(&extension->OutstandingIo, __ATOMIC_SEQ_CST) < 2)
        std::this_thread::yield();

    auto removal = std::async(std::launch::async, [&] { return machine_.QueryRemoveAndRemove(id_); });
    EXPECT_EQ(removal.wait_for(100ms), std::future_status::timeout) << "the query-remove did not wait";
    printer_->FeedBulkIn(Pattern(6));
    EXPECT_TRUE(read.get().ok);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(machine_.DeviceState(id_), "disabled") << "removed, while the printer stays plugged in";
    EXPECT_EQ(PipesInterfacePath(id_), "") << "the interface was disabled";
}

// Unplugged with pipes open and a read in flight: the read fails, and the
// removal that follows the last close deletes the driver's device.
TEST_P(Removal, SurpriseRemovalWithOpenPipesAndATransferInFlight)
{
    OVERLAPPED o{};
    Bytes buffer(64);
    HANDLE in = PendingRead(o, buffer);
    HANDLE out = Open("if0pipe0");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    machine_.Unplug(*printer_);
    DWORD read = 0;
    EXPECT_FALSE(GetOverlappedResult(in, &o, &read, TRUE));
    EXPECT_EQ(machine_.DeviceState(id_), "surprise-removed");
    EXPECT_FALSE(Write(out, Pattern(4)).ok);
    CloseHandle(o.hEvent);
    Close(in);
    Close(out);
    EXPECT_EQ(machine_.AwaitDeviceState(id_, "removed"), "removed");
}

TEST_P(Removal, CancelledQueriesLeaveTheDeviceWorking)
{
    HANDLE out = Open("if0pipe0");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_EQ(machine_.CancelledQueryRemove(id_), STATUS_SUCCESS);
    EXPECT_TRUE(Write(out, Pattern(4)).ok);
    EXPECT_EQ(machine_.CancelledQueryStop(id_), STATUS_SUCCESS);
    EXPECT_TRUE(Write(out, Pattern(4)).ok);
    EXPECT_FALSE(Extension()->RemovePending);
    EXPECT_FALSE(Extension()->StopPending);
}

TEST_P(Removal, DisableAndEnable)
{
    ASSERT_EQ(machine_.Disable(id_), STATUS_SUCCESS);
    EXPECT_EQ(machine_.DeviceState(id_), "disabled");
    EXPECT_EQ(printer_->ConfigurationValue(), 0) << "the removal deconfigured the device";
    ASSERT_EQ(machine_.Enable(id_), STATUS_SUCCESS);
    EXPECT_EQ(machine_.DeviceState(id_), "started");
    path_ = PipesInterfacePath(id_);
    HANDLE out = Open("if0pipe0");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(out, Pattern(4)).ok);
}

TARVIK_INSTANTIATE_COMPLETIONS(Removal);

// ---------------------------------------------------------------- system power

class SystemPower : public UsbFixture {
protected:
    // Sends a wait-wake request to the device's stack, as its power policy
    // owner would, and reports how it ended.
    std::future<NTSTATUS> RequestWaitWake()
    {
        auto done = std::make_shared<std::promise<NTSTATUS>>();
        std::future<NTSTATUS> ended = done->get_future();
        PDEVICE_OBJECT pdo = machine_.PdoOf(id_);
        waitWake_ = std::thread([pdo, done] {
            POWER_STATE state;
            state.SystemState = PowerSystemSleeping3;
            auto *slot = new std::shared_ptr<std::promise<NTSTATUS>>(done);
            NTSTATUS status = PoRequestPowerIrp(
                pdo, IRP_MN_WAIT_WAKE, state,
                [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
                    auto *p = static_cast<std::shared_ptr<std::promise<NTSTATUS>> *>(context);
                    (*p)->set_value(io->Status);
                    delete p;
                },
                slot, nullptr);
            if (status != STATUS_PENDING) {
                done->set_value(status);
                delete slot;
            }
        });
        return ended;
    }

    void TearDown() override
    {
        if (waitWake_.joinable())
            waitWake_.join();
        UsbFixture::TearDown();
    }

    std::thread waitWake_;
};

// With no wake armed a sleep state sends the device to D3 before the system
// request goes on; the return to S0 brings it back to D0.
TEST_F(SystemPower, SleepSendsTheDeviceToD3AndResumeToD0)
{
    Start();
    HANDLE out = Open("if0pipe0");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ASSERT_EQ(machine_.Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD3);
    EXPECT_EQ(Extension()->DevicePowerState, PowerDeviceD3);
    machine_.Resume();
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD0);
    EXPECT_TRUE(Write(out, Pattern(4)).ok);
    EXPECT_EQ(Extension()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(IoCountSettlingAt(1), 1);
}

// A wait-wake request while the device is in D0 is refused, but the idle
// state has become the device's wake state all the same.
TEST_F(SystemPower, WaitWakeInD0IsRefusedButSetsTheIdleState)
{
    DeviceConfig config = PrinterConfig();
    config.power.deviceWake = PowerDeviceD1;
    config.power.wakeFromD1 = true;
    Start(false, config);
    HANDLE out = Open("if0pipe0");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    std::future<NTSTATUS> wake = RequestWaitWake();
    EXPECT_EQ(wake.get(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Extension()->IdlePowerState, PowerDeviceD1);
    Close(out);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD1);
}

// Idle in D2, the device holds a wait-wake request below; the system sleeps
// with the device in its wake state, and the device's remote wake brings the
// system back.
TEST_F(SystemPower, ARemoteWakeWakesTheSleepingSystem)
{
    Start();
    Close(Open("if0pipe0"));
    ASSERT_EQ(printer_->PowerState(), PowerDeviceD2);
    std::future<NTSTATUS> wake = RequestWaitWake();
    while (!printer_->RemoteWakeArmed())
        std::this_thread::yield();
    EXPECT_TRUE(Extension()->WaitWakeArmed);

    ASSERT_EQ(machine_.Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD2) << "armed for wake, the device sleeps in its S3 state";
    EXPECT_TRUE(printer_->SignalRemoteWake());
    EXPECT_EQ(wake.get(), STATUS_SUCCESS);
    waitWake_.join();   // by now the power manager has asked for the system to resume
    machine_.FlushPnp();
    EXPECT_EQ(machine_.SystemPowerState(), PowerSystemWorking);
    EXPECT_FALSE(Extension()->WaitWakeArmed);
}

}  // namespace
}  // namespace tarvik::test
