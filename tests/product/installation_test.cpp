// The package installed on a machine and the printer plugged in: the Plug
// and Play manager enumerates the printer on the USB hub, installs the
// package's drivers for it and starts the stack; the COM port gets its name
// and keeps it across unplug and replug.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>

#include "../../winsim/registry/registry.h"

namespace winsim::test {
namespace {

using testing::ElementsAre;
using testing::StartsWith;

constexpr char kSerialComm[] = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::vector<std::string> SerialCommPorts()
{
    std::vector<std::string> ports;
    for (const registry::Value &v : registry::Values(kSerialComm))
        ports.push_back(*registry::GetString(kSerialComm, v.name));
    return ports;
}

class Installation : public testing::Test {
protected:
    void Install(bool withFilter = true)
    {
        machine_.InstallWithoutUpperFilters(!withFilter);
        auto package = machine_.InstallPackage(TARVIK_PACKAGE_INF);
        ASSERT_TRUE(package.ok) << package.error;
    }

    harness::TestMachine machine_;
};

TEST_F(Installation, PluggedPrinterBecomesANamedComPort)
{
    Install();
    auto printer = machine_.PlugPrinter();
    std::string id = harness::TestMachine::InstanceIdOf(*printer);
    EXPECT_EQ(id, "USB\\VID_1A2B&PID_3C4D\\WSP000001");
    ASSERT_EQ(machine_.DeviceState(id), "started");
    std::vector<std::string> stack = harness::DescribeStack(machine_.PdoOf(id));
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_THAT(stack[0], StartsWith("\\Driver\\tarvik_serial"));
    EXPECT_THAT(stack[1], StartsWith("\\Driver\\tarvik_usb"));
    EXPECT_EQ(printer->ConfigurationValue(), 1) << "the function driver configured the printer";
    EXPECT_THAT(SerialCommPorts(), ElementsAre("COM1"));

    HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));

    machine_.Unplug(*printer);
    EXPECT_EQ(machine_.DeviceState(id), "removed");
    EXPECT_THAT(SerialCommPorts(), ElementsAre());
    EXPECT_EQ(CreateFileA("\\\\.\\COM1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

    printer = machine_.PlugPrinter();
    EXPECT_EQ(machine_.DeviceState(id), "started");
    EXPECT_THAT(SerialCommPorts(), ElementsAre("COM1")) << "the same device keeps its name";
    EXPECT_THAT(machine_.Shutdown(), ElementsAre());
}

TEST_F(Installation, WithoutTheFilterOnlyTheFunctionDriverLoads)
{
    Install(false);
    auto printer = machine_.PlugPrinter();
    std::string id = harness::TestMachine::InstanceIdOf(*printer);
    ASSERT_EQ(machine_.DeviceState(id), "started");
    std::vector<std::string> stack = harness::DescribeStack(machine_.PdoOf(id));
    ASSERT_EQ(stack.size(), 2u);
    EXPECT_THAT(stack[0], StartsWith("\\Driver\\tarvik_usb"));
    EXPECT_THAT(SerialCommPorts(), ElementsAre());
    EXPECT_THAT(machine_.Shutdown(), ElementsAre());
}

}  // namespace
}  // namespace winsim::test
