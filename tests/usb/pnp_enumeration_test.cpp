// The hub under the Plug and Play manager: a device plugged into a port is
// reported in the hub's bus relations, gets the drivers of the package that
// matches its hardware IDs and starts; pulled out, it is surprise-removed
// and removed; plugged in again, it is the same device instance with the
// same registry keys. Source: Microsoft Learn, "Adding a PnP Device to a
// Running System" and "Handling an IRP_MN_SURPRISE_REMOVAL Request".
#include <gmock/gmock.h>

#include "usb_test_support.h"

#include "../../winsim/registry/registry.h"

namespace winsim::usb::test {
namespace {

using testing::ElementsAre;
using testing::StartsWith;

// A device the test package (sink under passthru, Ports class) matches.
DeviceConfig PortDevice(std::u16string serial)
{
    DeviceConfig config = PrinterConfig(PrinterIdentity{0xF00D, 0x0001, 0x0100});
    config.serialNumber = std::move(serial);
    return config;
}

TEST(HubEnumeration, PluggedDevicesGetTheirDriversAndKeepTheirInstanceAcrossReplug)
{
    harness::TestMachine machine;
    ASSERT_TRUE(machine.InstallPackage(WINSIM_TEST_PACKAGES "/com_port/winsim_port.inf").ok);
    auto first = machine.Plug(PortDevice(u"A1"));
    auto second = machine.Plug(PortDevice(u"B2"));
    const std::string a = "USB\\VID_F00D&PID_0001\\A1", b = "USB\\VID_F00D&PID_0001\\B2";
    EXPECT_EQ(harness::TestMachine::InstanceIdOf(*first), a);
    ASSERT_EQ(machine.DeviceState(a), "started");
    ASSERT_EQ(machine.DeviceState(b), "started");
    std::vector<std::string> stack = harness::DescribeStack(machine.PdoOf(a));
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_THAT(stack[0], StartsWith("\\Driver\\passthru"));
    EXPECT_THAT(stack[1], StartsWith("\\Driver\\sink"));
    const std::string parameters = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + a + "\\Device Parameters";
    EXPECT_EQ(registry::GetString(parameters, "PortName"), "COM1");

    PDEVICE_OBJECT oldPdo = machine.PdoOf(a);
    machine.Unplug(*first);
    EXPECT_EQ(machine.DeviceState(a), "removed");
    EXPECT_FALSE(machine.DevicePresent(a));
    EXPECT_EQ(machine.DeviceState(b), "started") << "the other port is untouched";

    first = machine.Plug(PortDevice(u"A1"));
    EXPECT_EQ(machine.DeviceState(a), "started");
    EXPECT_NE(machine.PdoOf(a), oldPdo) << "a new PDO for the same device instance";
    EXPECT_EQ(registry::GetString(parameters, "PortName"), "COM1");
    EXPECT_THAT(machine.Shutdown(), ElementsAre());
}

// Without a serial number the instance ID comes from the port, and a device
// no package matches is left without drivers.
TEST(HubEnumeration, DeviceNoPackageMatchesGetsNoDriversAndANameFromItsPort)
{
    harness::TestMachine machine;
    DeviceConfig config = PortDevice(u"");
    config.productId = 0x0002;
    auto device = machine.Plug(config, 3);
    std::string id = harness::TestMachine::InstanceIdOf(*device);
    EXPECT_THAT(id, StartsWith("USB\\VID_F00D&PID_0002\\"));
    EXPECT_EQ(machine.DeviceState(id), "failed");
    machine.Unplug(*device);
    EXPECT_FALSE(machine.DevicePresent(id));
    EXPECT_THAT(machine.Shutdown(), ElementsAre());
}

}  // namespace
}  // namespace winsim::usb::test
