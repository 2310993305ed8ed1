// Installing a driver on a device: the keys and files Windows' device setup
// leaves for the Plug and Play manager and the drivers.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/registry-trees-and-keys
//   The device's instance key under Enum holds HardwareID, CompatibleIDs, Service, ClassGUID,
//   Driver (the software key Control\Class\{guid}\NNNN) and ConfigFlags.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-addreg-directive
//   HKR is the software key in a DDInstall section, the hardware key in DDInstall.HW, the service
//   key in a service-install section; flags 0x00010000 REG_MULTI_SZ, 0x00010001 REG_DWORD,
//   0x00000001 REG_BINARY.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-ddinstall-hw-section
//   "An HKR specification in such an add-registry-section designates the device's hardware key";
//   filter drivers are installed by an UpperFilters value written there. The Plug and Play
//   manager reads UpperFilters (like Exclusive and Security) as device properties of the
//   instance key, while drivers read the other values from "Device Parameters":
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/installing-a-filter-driver
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-addservice-directive
//   ServiceBinary %12%\x.sys; the service with flag 0x2 is the device's function driver.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-copyfiles-directive
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-destinationdirs-section
//   (DIRID 12 = %SystemRoot%\System32\drivers.)
#include "setup_test.h"

namespace {

namespace reg = winsim::registry;
using winsim::setup::DeviceOptions;

constexpr const char *kInstance = "USB\\VID_F00D&PID_0001\\5&12345678&0&1";
const std::string kInstanceKey = std::string(reg::kEnumKey) + "\\" + kInstance;
const std::string kServices = reg::kServicesKey;

class DeviceInstall : public SetupTest {
protected:
    DeviceInstall() { EXPECT_TRUE(StageComPort().ok); }

    winsim::setup::DeviceResult Install(const DeviceOptions &options = {})
    {
        return setup_.InstallDevice(kInstance, kPortHardwareIds, kPortCompatibleIds, options);
    }
};

TEST_F(DeviceInstall, InstanceKeyDescribesTheDeviceAndItsDrivers)
{
    auto result = Install();
    ASSERT_TRUE(result.matched);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.service, "sink");
    EXPECT_EQ(result.upperFilters, std::vector<std::string>{"passthru"});
    EXPECT_EQ(result.StackServices(), (std::vector<std::string>{"sink", "passthru"})) << "bottom to top";
    EXPECT_TRUE(result.exclusive);
    EXPECT_EQ(result.classGuid, "{4d36e978-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(result.installSection, "PortInstall.NT");
    EXPECT_EQ(result.matchingId, kPortHardwareIds[0]);

    EXPECT_EQ(reg::GetString(kInstanceKey, "Service"), "sink");
    EXPECT_EQ(reg::GetMultiString(kInstanceKey, "UpperFilters"), std::vector<std::string>{"passthru"});
    EXPECT_EQ(reg::GetString(kInstanceKey, "ClassGUID"), result.classGuid);
    EXPECT_EQ(reg::GetString(kInstanceKey, "Class"), "Ports");
    EXPECT_EQ(reg::GetString(kInstanceKey, "Driver"), result.classGuid + "\\0000");
    EXPECT_EQ(reg::GetMultiString(kInstanceKey, "HardwareID"), kPortHardwareIds);
    EXPECT_EQ(reg::GetMultiString(kInstanceKey, "CompatibleIDs"), kPortCompatibleIds);
    EXPECT_EQ(reg::GetDword(kInstanceKey, "ConfigFlags"), 0u);
    EXPECT_EQ(reg::GetString(kInstanceKey, "DeviceDesc"), "winsim test port");
    EXPECT_EQ(reg::GetString(kInstanceKey, "Mfg"), "winsim test devices");
    EXPECT_EQ(reg::GetDword(kInstanceKey, "Exclusive"), 1u);
    // The rest of the .HW section's values are for the driver: Device Parameters.
    EXPECT_EQ(reg::GetString(kInstanceKey + "\\Device Parameters", "Identifier"), "TESTPORT");
    EXPECT_FALSE(reg::GetValue(kInstanceKey + "\\Device Parameters", "UpperFilters"));
}

TEST_F(DeviceInstall, SoftwareKeyRecordsTheDriverPackage)
{
    auto result = Install();
    const std::string key = std::string(reg::kClassKey) + "\\" + result.driverKey;
    EXPECT_EQ(reg::GetString(key, "DriverDesc"), "winsim test port");
    EXPECT_EQ(reg::GetString(key, "ProviderName"), "winsim");
    EXPECT_EQ(reg::GetString(key, "DriverVersion"), "2.1.0.7");
    EXPECT_EQ(reg::GetString(key, "DriverDate"), "3-14-2024");
    EXPECT_EQ(reg::GetString(key, "InfPath"), "oem0.inf");
    EXPECT_EQ(reg::GetString(key, "InfSection"), "PortInstall");
    EXPECT_EQ(reg::GetString(key, "InfSectionExt"), ".NT");
    EXPECT_EQ(reg::GetString(key, "MatchingDeviceId"), "usb\\vid_f00d&pid_0001&rev_0100");
    // The DDInstall section's own AddReg lands here.
    EXPECT_EQ(reg::GetString(key, "EnumPropPages32"), "msports.dll,SerialPortPropPageProvider");
    auto subclass = reg::GetValue(key, "PortSubClass");
    ASSERT_TRUE(subclass);
    EXPECT_EQ(subclass->type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(subclass->data, std::vector<uint8_t>{0x01});
}

struct ServiceCase {
    const char *service;
    const char *imagePath;
    const char *displayName;
};

TEST_F(DeviceInstall, ServicesForTheFunctionDriverAndTheFilter)
{
    Install();
    const ServiceCase cases[] = {
        {"sink", "\\SystemRoot\\System32\\drivers\\sink.sys", "winsim test port function driver"},
        {"passthru", "\\SystemRoot\\System32\\drivers\\passthru.sys", "winsim test port upper filter"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.service);
        const std::string key = kServices + "\\" + c.service;
        auto image = reg::GetValue(key, "ImagePath");
        ASSERT_TRUE(image);
        EXPECT_EQ(image->type, static_cast<ULONG>(REG_EXPAND_SZ));
        EXPECT_EQ(reg::GetString(key, "ImagePath"), c.imagePath);
        EXPECT_EQ(reg::GetDword(key, "Type"), 1u);
        EXPECT_EQ(reg::GetDword(key, "Start"), 3u);
        EXPECT_EQ(reg::GetDword(key, "ErrorControl"), 1u);
        EXPECT_EQ(reg::GetString(key, "DisplayName"), c.displayName);
        EXPECT_EQ(reg::GetMultiString(key, "Owners"), std::vector<std::string>{"oem0.inf"});
    }
    EXPECT_EQ(reg::GetString(kServices + "\\sink", "Group"), "Extended Base");
    EXPECT_EQ(reg::GetDword(kServices + "\\passthru\\Parameters", "Buffering"), 0x40u) << "HKR is the service key";
}

TEST_F(DeviceInstall, DriverFilesAreCopiedOutOfTheStore)
{
    Install();
    EXPECT_EQ(ReadText(Windows("System32/drivers/sink.sys")), ReadText(fs::path(SETUP_TEST_PACKAGES) / "com_port/sink.sys"));
    EXPECT_TRUE(fs::exists(Windows("System32/drivers/passthru.sys")));
}

TEST_F(DeviceInstall, VariantWithoutTheFilterReplacesTheFullInstallation)
{
    auto full = Install();
    ASSERT_EQ(full.upperFilters.size(), 1u);
    DeviceOptions options;
    options.installSection = "PortInstallNoFilter";
    auto bare = Install(options);
    ASSERT_TRUE(bare.matched);
    EXPECT_EQ(bare.installSection, "PortInstallNoFilter.NT");
    EXPECT_EQ(bare.service, "sink");
    EXPECT_TRUE(bare.upperFilters.empty());
    EXPECT_FALSE(reg::GetValue(kInstanceKey, "UpperFilters")) << "the earlier driver's filter is gone";
    EXPECT_EQ(bare.driverKey, full.driverKey) << "the device keeps its software key";
    EXPECT_EQ(reg::GetString(std::string(reg::kClassKey) + "\\" + bare.driverKey, "InfSection"), "PortInstallNoFilter");
}

TEST_F(DeviceInstall, DeviceWithoutADriverIsLeftAlone)
{
    auto result = setup_.InstallDevice("USB\\VID_BEEF&PID_0002\\1", {"USB\\VID_BEEF&PID_0002"}, {"USB\\Class_FF"});
    EXPECT_FALSE(result.matched);
    EXPECT_FALSE(reg::KeyExists(std::string(reg::kEnumKey) + "\\USB\\VID_BEEF&PID_0002\\1"));
}

TEST_F(DeviceInstall, SecondDeviceOfTheClassGetsTheNextSoftwareKey)
{
    auto first = Install();
    // As the Plug and Play manager has the IDs from the bus driver: UTF-16.
    auto second = setup_.InstallDevice(u"USB\\VID_F00D&PID_0001\\6&1&0&2",
                                       {u"USB\\VID_F00D&PID_0001&REV_0100", u"USB\\VID_F00D&PID_0001"}, {});
    EXPECT_EQ(first.driverKey, first.classGuid + "\\0000");
    EXPECT_EQ(second.driverKey, first.classGuid + "\\0001");
}

// A device that comes back is not installed again: its keys name its drivers.
TEST_F(DeviceInstall, KnownDeviceKeepsItsInstalledDriver)
{
    EXPECT_FALSE(setup_.InstalledDriver(kInstance));
    auto installed = Install();
    reg::SetDword(std::string(reg::kClassKey) + "\\" + installed.driverKey, "WrittenByTheDriver", 1);
    auto known = setup_.InstalledDriver(kInstance);
    ASSERT_TRUE(known);
    EXPECT_EQ(known->StackServices(), installed.StackServices());
    EXPECT_EQ(known->portName, "COM1");
    EXPECT_EQ(known->publishedName, "oem0.inf");
    EXPECT_EQ(known->installSection, "PortInstall.NT");
    EXPECT_EQ(known->driverKey, installed.driverKey);
    EXPECT_TRUE(known->exclusive);
    EXPECT_EQ(reg::GetDword(std::string(reg::kClassKey) + "\\" + installed.driverKey, "WrittenByTheDriver"), 1u);
    setup_.RemoveDevice(kInstance);
    EXPECT_FALSE(setup_.InstalledDriver(kInstance));
}

TEST_F(DeviceInstall, RemovedDeviceLeavesNoKeys)
{
    auto result = Install();
    setup_.RemoveDevice(kInstance);
    EXPECT_FALSE(reg::KeyExists(kInstanceKey));
    EXPECT_FALSE(reg::KeyExists(std::string(reg::kClassKey) + "\\" + result.driverKey));
    EXPECT_TRUE(reg::KeyExists(kServices + "\\sink")) << "services stay until their package goes";
}

// The driver's side: a PDO with the instance ID reads what setup wrote.
TEST_F(DeviceInstall, DriverReadsItsKeysThroughIoOpenDeviceRegistryKey)
{
    auto result = Install();
    PDEVICE_OBJECT pdo = machine_.BuildStack(kInstance, {"sink"});
    ASSERT_NE(pdo, nullptr);
    for (ULONG type : {PLUGPLAY_REGKEY_DEVICE, PLUGPLAY_REGKEY_DRIVER}) {
        HANDLE key = nullptr;
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, type, KEY_READ, &key), STATUS_SUCCESS);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, type == PLUGPLAY_REGKEY_DEVICE ? L"PortName" : L"InfPath");
        UCHAR buffer[128];
        ULONG length = 0;
        ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
                  STATUS_SUCCESS);
        auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        std::u16string text(reinterpret_cast<const char16_t *>(info->Data), info->DataLength / 2 - 1);
        EXPECT_EQ(text, type == PLUGPLAY_REGKEY_DEVICE ? u"COM1" : u"oem0.inf");
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
}

}  // namespace
