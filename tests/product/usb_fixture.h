// The USB function driver alone on a machine: the package installed without
// the upper filter, the simulated printer plugged in, and the driver reached
// as an application reaches it, through its pipes interface found with the
// setup API. Handles opened through the fixture are closed before the
// machine shuts down, and the shutdown must find nothing left behind.
#pragma once

#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>
#include <setupapi.h>

#include <initguid.h>
#include "tarvik_usb_ioctl.h"
#include "vendor_block.h"
#include "tarvik_usb.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tarvik::test {

using winsim::harness::TestMachine;
using winsim::usb::DeviceConfig;
using winsim::usb::UsbDevice;
using Bytes = std::vector<UCHAR>;

// The outcome of one Win32 call: whether it succeeded, GetLastError, and
// the bytes it reported.
struct IoResult {
    bool ok;
    DWORD error;
    DWORD bytes;
};

inline std::ostream &operator<<(std::ostream &os, const IoResult &r)
{
    return os << (r.ok ? "ok" : "failed") << ", error " << r.error << ", " << r.bytes << " bytes";
}

// The symbolic link of the pipes interface of a device, as an application
// finds it: SetupDiGetClassDevs for the interface class, then the detail of
// the interface whose device has the instance ID. Empty if there is none.
inline std::string PipesInterfacePath(const std::string &instanceId)
{
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_PIPES, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    std::string path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; path.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_PIPES, i, &data);
         i++) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        char id[260] = {};
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, &device) &&
            SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr) && instanceId == id)
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

inline Bytes Pattern(size_t length, UCHAR seed = 1)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<UCHAR>(seed + i * 7);
    return bytes;
}

class UsbFixture : public testing::Test {
protected:
    // Installs the package (function driver only), plugs the printer (or the
    // given device) and finds its pipes interface. The device must start.
    void Start(bool forcePending = false, std::optional<DeviceConfig> config = std::nullopt,
               winsim::usb::WireModel wire = winsim::usb::WireModel::Instant)
    {
        PlugOnly(forcePending, std::move(config), wire);
        ASSERT_EQ(machine_.DeviceState(id_), "started");
        path_ = PipesInterfacePath(id_);
        ASSERT_FALSE(path_.empty());
    }

    // The same, without requiring the start to succeed.
    void PlugOnly(bool forcePending, std::optional<DeviceConfig> config = std::nullopt,
                  winsim::usb::WireModel wire = winsim::usb::WireModel::Instant)
    {
        winsim::usb::HostOptions options;
        options.forcePending = forcePending;
        options.wire = wire;
        machine_.SetUsbOptions(options);
        machine_.InstallWithoutUpperFilters(true);
        auto package = machine_.InstallPackage(TARVIK_PACKAGE_INF);
        ASSERT_TRUE(package.ok) << package.error;
        printer_ = config ? machine_.Plug(*config) : machine_.PlugPrinter();
        id_ = TestMachine::InstanceIdOf(*printer_);
    }

    static DeviceConfig PrinterConfig() { return winsim::usb::PrinterConfig(TestMachine::BuildPrinterIdentity()); }

    void TearDown() override
    {
        for (HANDLE h : handles_)
            CloseHandle(h);
        handles_.clear();
        EXPECT_THAT(machine_.Shutdown(), testing::ElementsAre());
    }

    // Opens a pipe ("if0pipe1") or, with an empty name, the device itself.
    HANDLE Open(const std::string &name, bool overlapped = false) { return OpenPath(path_, name, overlapped); }

    HANDLE OpenPath(const std::string &interfacePath, const std::string &name, bool overlapped = false)
    {
        std::string full = name.empty() ? interfacePath : interfacePath + "\\" + name;
        HANDLE h = CreateFileA(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            handles_.push_back(h);
        return h;
    }

    void Close(HANDLE h)
    {
        handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
        EXPECT_TRUE(CloseHandle(h));
    }

    static IoResult Result(BOOL ok, DWORD bytes) { return {ok != FALSE, ok ? 0 : GetLastError(), bytes}; }

    static IoResult Write(HANDLE h, const Bytes &data)
    {
        DWORD written = 0;
        SetLastError(0);
        BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        return Result(ok, written);
    }

    static IoResult Read(HANDLE h, Bytes &buffer)
    {
        DWORD read = 0;
        SetLastError(0);
        BOOL ok = ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr);
        return Result(ok, read);
    }

    static IoResult Ioctl(HANDLE h, DWORD code, const Bytes &in, Bytes &out)
    {
        DWORD returned = 0;
        SetLastError(0);
        BOOL ok = DeviceIoControl(h, code, in.empty() ? nullptr : const_cast<UCHAR *>(in.data()),
                                  static_cast<DWORD>(in.size()), out.empty() ? nullptr : out.data(),
                                  static_cast<DWORD>(out.size()), &returned, nullptr);
        return Result(ok, returned);
    }

    static IoResult Ioctl(HANDLE h, DWORD code)
    {
        Bytes none;
        return Ioctl(h, code, none, none);
    }

    // IOCTL_BULK_READ with the 72-byte buffer the serial driver uses.
    static IoResult BulkRead(HANDLE h, BULK_READ_RESULT *result = nullptr)
    {
        Bytes out(72);
        IoResult r = Ioctl(h, IOCTL_BULK_READ, {}, out);
        if (result != nullptr)
            memcpy(result, out.data(), sizeof *result);
        return r;
    }

    // The driver's device object and extension, for what only they show.
    PDEVICE_OBJECT FunctionDevice() { return machine_.PdoOf(id_)->AttachedDevice; }
    PUSB_DEVICE_EXTENSION Extension()
    {
        return static_cast<PUSB_DEVICE_EXTENSION>(FunctionDevice()->DeviceExtension);
    }

    // The driver's count of requests in it, once it has reached the value or
    // a second has passed. A request completes to the application just before
    // the driver drops its reference, so the count may lag for a moment.
    LONG IoCountSettlingAt(LONG value)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        LONG now;
        while ((now = __atomic_load_n(&Extension()->OutstandingIo, __ATOMIC_SEQ_CST)) != value &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return now;
    }

    // The vendor/class and descriptor control transfers the device saw.
    std::vector<winsim::usb::ControlRecord> ControlLog() { return printer_->ControlLog(); }

    TestMachine machine_;
    std::shared_ptr<UsbDevice> printer_;
    std::string id_;
    std::string path_;
    std::vector<HANDLE> handles_;
};

// Parameterized over the USB stack's completion style: inline where it can,
// or every request pending (the verifier's forced pending).
class UsbCompletionFixture : public UsbFixture, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override { Start(GetParam()); }
};

inline std::string CompletionName(const testing::TestParamInfo<bool> &info)
{
    return info.param ? "ForcedPending" : "Inline";
}

#define TARVIK_INSTANTIATE_COMPLETIONS(suite) \
    INSTANTIATE_TEST_SUITE_P(Completions, suite, testing::Values(false, true), ::tarvik::test::CompletionName)

}  // namespace tarvik::test
