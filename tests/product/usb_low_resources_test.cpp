// The function driver's life on a machine where allocations fail: every
// allocation site the driver reaches (pool, IRPs, URBs from the USBD
// library, power requests), once per distinct call stack, over installation,
// start, opens, transfers, control requests, stop and restart, sleep and
// resume, and removal. Each run is a fresh machine; the runs go on until one
// reaches no site that has not failed before. No run may crash, hang, leak
// or leave anything behind.
#include "low_resources.h"
#include "usb_fixture.h"

namespace tarvik::test {
namespace {


// Runs the scenario on a fresh machine; whatever fails along the way is
// allowed to fail, as long as it fails cleanly.
void RunScenario()
{
    TestMachine machine;
    machine.InstallWithoutUpperFilters(true);
    ASSERT_TRUE(machine.InstallPackage(TARVIK_PACKAGE_INF).ok);
    auto printer = machine.PlugPrinter();
    std::string id = TestMachine::InstanceIdOf(*printer);

    for (int pass = 0; pass < 2 && machine.DeviceState(id) == "started"; pass++) {
        std::string path = PipesInterfacePath(id);
        auto open = [&](const std::string &name) {
            std::string full = name.empty() ? path : path + "\\" + name;
            return CreateFileA(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        };
        HANDLE in = open("if0pipe1");
        HANDLE out = open("if0pipe0");
        HANDLE device = open("");
        DWORD bytes = 0;
        Bytes data = Pattern(100);
        Bytes buffer(128);
        if (out != INVALID_HANDLE_VALUE)
            WriteFile(out, data.data(), 100, &bytes, nullptr);
        if (in != INVALID_HANDLE_VALUE) {
            printer->FeedBulkIn(Pattern(5));
            ReadFile(in, buffer.data(), 64, &bytes, nullptr);
        }
        if (device != INVALID_HANDLE_VALUE) {
            Bytes block = VendorBlock(URB_FUNCTION_VENDOR_INTERFACE, winsim::usb::kVendorStatusRequest);
            Bytes reply(72);
            DeviceIoControl(device, IOCTL_VENDOR_REQUEST_IN, block.data(), 16, reply.data(), 4, &bytes, nullptr);
            Bytes send = VendorBlock(URB_FUNCTION_VENDOR_DEVICE, 3, 0, 0, 0, Pattern(4));
            DeviceIoControl(device, IOCTL_VENDOR_REQUEST_OUT, send.data(), 20, nullptr, 0, &bytes, nullptr);
            UCHAR descriptor[4] = {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 0};
            DeviceIoControl(device, IOCTL_GET_USB_DESCRIPTOR, descriptor, 4, reply.data(), 18, &bytes, nullptr);
            UCHAR recipient[4] = {};
            DeviceIoControl(device, IOCTL_GET_USB_STATUS, recipient, 4, reply.data(), 2, &bytes, nullptr);
            DeviceIoControl(device, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, reply.data(), 72, &bytes, nullptr);
            printer->FeedBulkIn(Pattern(7));
            DeviceIoControl(device, IOCTL_BULK_READ, nullptr, 0, reply.data(), 72, &bytes, nullptr);
            DeviceIoControl(device, IOCTL_RESET_DEVICE_PORT, nullptr, 0, nullptr, 0, &bytes, nullptr);
        }
        if (in != INVALID_HANDLE_VALUE) {
            DeviceIoControl(in, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0, &bytes, nullptr);
            DeviceIoControl(in, IOCTL_ABORT_PIPE, nullptr, 0, nullptr, 0, &bytes, nullptr);
        }
        machine.Sleep(PowerSystemSleeping3);
        machine.Resume();
        for (HANDLE h : {in, out, device})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        if (pass == 0)
            machine.StopAndRestart(id);
    }
    if (machine.DeviceState(id) == "started")
        machine.QueryRemoveAndRemove(id);
    EXPECT_THAT(machine.Shutdown(), testing::ElementsAre());
}

TEST(UsbLowResources, EveryAllocationSiteFailsOnceWithoutHarm)
{
    winsim::test::SystematicRun run = winsim::test::FailEverySiteOnce(RunScenario, 200, "tarvik_usb");
    EXPECT_LT(run.runs, 200) << "still failing new sites";
    EXPECT_GE(run.report.sitesFailed, 20u) << "too few sites reached to prove anything";
}

}  // namespace
}  // namespace tarvik::test
