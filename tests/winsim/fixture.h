// A machine with device stacks made of driver code inside the test program:
// each test gives its devices the behaviour it needs to pin one rule of the
// kernel or the I/O manager.
#pragma once

#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace winsim::test {

// The behaviour of one test device: called for every request it receives.
using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
    Behaviour behaviour;
    PDEVICE_OBJECT lower = nullptr;
};

inline TestDevice *TestDeviceOf(PDEVICE_OBJECT device) { return *static_cast<TestDevice **>(device->DeviceExtension); }

inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(TestDeviceOf(device)->lower, irp);
}

class KernelTest : public testing::Test {
protected:
    void SetUp() override
    {
        machine_ = std::make_unique<harness::TestMachine>();
        driver_ = machine_->CreateDriver("testdev");
        for (auto &f : driver_->MajorFunction)
            f = Dispatch;
    }

    void TearDown() override
    {
        // Top-down, as drivers leave a stack on removal.
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
            TestDevice *td = TestDeviceOf(*it);
            if (td->lower != nullptr)
                IoDetachDevice(td->lower);
            IoDeleteDevice(*it);
        }
        devices_.clear();
        owned_.clear();
        auto findings = machine_->Shutdown();
        EXPECT_TRUE(findings.empty()) << testing::PrintToString(findings);
    }

    // A root PDO reachable as \\.\<link>.
    PDEVICE_OBJECT Pdo(const std::string &link, bool exclusive = false)
    {
        PDEVICE_OBJECT pdo = machine_->CreatePdo("ROOT\\TEST\\" + link);
        if (exclusive)
            pdo->Flags |= DO_EXCLUSIVE;
        EXPECT_EQ(machine_->CreateLink("\\??\\" + link, pdo), STATUS_SUCCESS);
        return pdo;
    }

    // A device of the test driver attached on top of `below` (or standalone).
    PDEVICE_OBJECT Device(Behaviour behaviour, PDEVICE_OBJECT below = nullptr, ULONG flags = DO_BUFFERED_IO,
                          bool exclusive = false)
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestDevice *), nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, &device),
                  STATUS_SUCCESS);
        owned_.push_back(std::make_unique<TestDevice>());
        TestDevice *td = owned_.back().get();
        td->behaviour = std::move(behaviour);
        *static_cast<TestDevice **>(device->DeviceExtension) = td;
        if (below != nullptr)
            td->lower = IoAttachDeviceToDeviceStack(device, below);
        device->Flags |= flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        devices_.push_back(device);
        return device;
    }

    // Takes a device out of its stack and deletes it now.
    void Remove(PDEVICE_OBJECT device)
    {
        TestDevice *td = TestDeviceOf(device);
        if (td->lower != nullptr)
            IoDetachDevice(td->lower);
        td->lower = nullptr;
        std::erase(devices_, device);
        IoDeleteDevice(device);
    }

    static HANDLE Open(const std::string &link, bool overlapped = false)
    {
        return CreateFileA(("\\\\.\\" + link).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    }

    harness::TestMachine &machine() { return *machine_; }

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) { return TestDeviceOf(device)->behaviour(device, irp); }

    std::unique_ptr<harness::TestMachine> machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<std::unique_ptr<TestDevice>> owned_;
};

}  // namespace winsim::test
