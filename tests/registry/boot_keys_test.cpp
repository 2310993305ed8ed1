// The registry of a freshly booted machine: the keys Windows has after boot
// that the product and the simulator rely on, and a fresh registry for every
// machine.
//
// HARDWARE\DEVICEMAP\SERIALCOMM and the COM Name Arbiter's ComDB bitmap:
// https://learn.microsoft.com/en-us/windows-hardware/drivers/serports/serial-device-stacks-for-serial-ports
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/msports/nf-msports-comdbopen
// (ComDB is REG_BINARY, one bit per COM number, COMDB_MIN_PORTS_ARBITRATED = 256 ports).
// CurrentControlSet is a link to the control set in use (HKLM\SYSTEM\Select\Current = 1):
// https://learn.microsoft.com/en-us/troubleshoot/windows-client/performance/currentcontrolset-key
// The version values under Windows NT\CurrentVersion:
// https://learn.microsoft.com/en-us/windows/win32/sysinfo/operating-system-version
#include "registry_test.h"

#include <optional>

namespace {

using BootKeys = RegistryTest;
namespace reg = winsim::registry;

TEST_F(BootKeys, KeysAWindowsMachineHasAfterBoot)
{
    for (const char *key : {reg::kSerialCommKey, reg::kComNameArbiterKey, reg::kEnumKey, reg::kServicesKey,
                            reg::kClassKey, "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                            "HKLM\\SYSTEM\\Select", "HKCU\\Software", "HKCR", "HKCC"})
        EXPECT_TRUE(reg::KeyExists(key)) << key;
    EXPECT_TRUE(reg::Values(reg::kSerialCommKey).empty()) << "no serial port is named before a driver names one";
    auto comdb = reg::GetValue(reg::kComNameArbiterKey, "ComDB");
    ASSERT_TRUE(comdb);
    EXPECT_EQ(comdb->type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(comdb->data, std::vector<uint8_t>(32, 0)) << "256 COM numbers, none in use";
    EXPECT_EQ(reg::GetString(std::string(reg::kClassKey) + "\\{4D36E978-E325-11CE-BFC1-08002BE10318}", "Class"),
              "Ports");
}

TEST_F(BootKeys, CurrentControlSetIsTheSelectedSet)
{
    EXPECT_EQ(reg::GetDword("HKLM\\SYSTEM\\Select", "Current"), 1u);
    reg::SetString("HKLM\\SYSTEM\\ControlSet001\\Services\\winsim", "ImagePath", "x.sys");
    EXPECT_EQ(reg::GetString("HKLM\\SYSTEM\\CurrentControlSet\\Services\\winsim", "ImagePath"), "x.sys");
}

struct VersionCase {
    ULONG major, minor;
    const char *currentVersion;
    std::optional<uint32_t> majorNumber;
};

TEST(BootVersions, CurrentVersionFollowsTheSimulatedRelease)
{
    const VersionCase cases[] = {
        {6, 1, "6.1", std::nullopt},
        {6, 2, "6.2", std::nullopt},
        {10, 0, "6.3", 10u},  // Windows 10 keeps "6.3" and adds the number values
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.currentVersion);
        reg::Boot({c.major, c.minor, 9200, "C:\\Windows"});
        const std::string key = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
        EXPECT_EQ(reg::GetString(key, "CurrentVersion"), c.currentVersion);
        EXPECT_EQ(reg::GetDword(key, "CurrentMajorVersionNumber"), c.majorNumber);
        EXPECT_EQ(reg::GetString(key, "SystemRoot"), "C:\\Windows");
    }
}

TEST(BootFresh, EveryMachineStartsFromTheBootKeys)
{
    {
        winsim::harness::TestMachine first;
        reg::Boot();
        reg::SetString(reg::kSerialCommKey, "\\Device\\winsim0", "COM3");
        reg::SetUserElevated(false);
    }
    winsim::harness::TestMachine second;
    reg::Boot();
    EXPECT_TRUE(reg::Values(reg::kSerialCommKey).empty());
    EXPECT_TRUE(reg::UserElevated());
}

TEST_F(BootKeys, DumpListsKeysAndValues)
{
    reg::SetMultiString("HKLM\\SOFTWARE\\winsim", "Filters", {"a", "b"});
    reg::SetDword("HKLM\\SOFTWARE\\winsim\\Sub", "Flag", 1);
    EXPECT_EQ(reg::Dump("HKLM\\SOFTWARE\\winsim"),
              "\\REGISTRY\\MACHINE\\SOFTWARE\\winsim\n"
              "    \"Filters\" = REG_MULTI_SZ \"a\" \"b\"\n"
              "\\REGISTRY\\MACHINE\\SOFTWARE\\winsim\\Sub\n"
              "    \"Flag\" = REG_DWORD 0x00000001 (1)\n");
}

}  // namespace
