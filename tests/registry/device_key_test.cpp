// IoOpenDeviceRegistryKey.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-ioopendeviceregistrykey
//   PLUGPLAY_REGKEY_DEVICE opens the device's hardware key, PLUGPLAY_REGKEY_DRIVER its software
//   key; the two flags cannot be combined. STATUS_INVALID_PARAMETER "may indicate that the caller
//   specified an illegal set of DevInstKeyType flags". For a DeviceObject that is not a PDO the
//   earlier editions of the page name STATUS_INVALID_DEVICE_REQUEST ("possibly indicates that
//   DeviceObject is not a valid PDO"); winsim keeps that status so that a driver passing its own
//   FDO fails the same way every time.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/opening-a-device-s-hardware-key
//   The hardware key a driver gets is the instance key's "Device Parameters" subkey.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/registry-trees-and-keys
//   The software key is Control\Class\{class GUID}\<instance number>, the instance key's "Driver".
#include "registry_test.h"

namespace {

namespace reg = winsim::registry;

constexpr const char *kInstance = "ROOT\\WINSIM\\0000";
const std::string kInstanceKey = std::string(reg::kEnumKey) + "\\ROOT\\WINSIM\\0000";

class DeviceKey : public RegistryTest {
protected:
    DeviceKey() : pdo_(machine_.BuildStack(kInstance, {"sink"})) { EXPECT_NE(pdo_, nullptr); }

    NTSTATUS Open(PDEVICE_OBJECT device, ULONG type, KernelKey &key)
    {
        return IoOpenDeviceRegistryKey(device, type, KEY_READ, key.out());
    }

    void WriteThrough(HANDLE key, PCWSTR name, ULONG value)
    {
        UNICODE_STRING valueName = Counted(name);
        ASSERT_EQ(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT pdo_;
};

TEST_F(DeviceKey, HardwareKeyIsDeviceParametersCreatedOnDemand)
{
    EXPECT_FALSE(reg::KeyExists(kInstanceKey + "\\Device Parameters"));
    KernelKey key;
    ASSERT_EQ(Open(pdo_, PLUGPLAY_REGKEY_DEVICE, key), STATUS_SUCCESS);
    WriteThrough(key.get(), L"SerialSkipExternalNaming", 1);
    EXPECT_EQ(reg::GetDword(kInstanceKey + "\\Device Parameters", "SerialSkipExternalNaming"), 1u);
}

TEST_F(DeviceKey, SoftwareKeyIsNamedByTheDriverValue)
{
    KernelKey missing;
    EXPECT_EQ(Open(pdo_, PLUGPLAY_REGKEY_DRIVER, missing), STATUS_OBJECT_NAME_NOT_FOUND) << "no driver installed yet";

    const std::string driver = "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";
    reg::SetString(kInstanceKey, "Driver", driver);
    KernelKey key;
    ASSERT_EQ(Open(pdo_, PLUGPLAY_REGKEY_DRIVER, key), STATUS_SUCCESS);
    WriteThrough(key.get(), L"Setting", 9);
    EXPECT_EQ(reg::GetDword(std::string(reg::kClassKey) + "\\" + driver, "Setting"), 9u);
}

TEST_F(DeviceKey, HardwareProfileKeys)
{
    KernelKey key;
    ASSERT_EQ(Open(pdo_, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, key), STATUS_SUCCESS);
    WriteThrough(key.get(), L"Profiled", 1);
    EXPECT_EQ(reg::GetDword("HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\0001\\System\\CurrentControlSet\\"
                            "Enum\\ROOT\\WINSIM\\0000",
                            "Profiled"),
              1u);
}

TEST_F(DeviceKey, RefusedRequests)
{
    struct Case {
        const char *label;
        bool usePdo;
        ULONG type;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"device and driver together", true, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, STATUS_INVALID_PARAMETER},
        {"neither device nor driver", true, PLUGPLAY_REGKEY_CURRENT_HWPROFILE, STATUS_INVALID_PARAMETER},
        {"unknown flag", true, PLUGPLAY_REGKEY_DEVICE | 0x100, STATUS_INVALID_PARAMETER},
        {"a function device object", false, PLUGPLAY_REGKEY_DEVICE, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        KernelKey key;
        EXPECT_EQ(Open(c.usePdo ? pdo_ : pdo_->AttachedDevice, c.type, key), c.expected);
        EXPECT_EQ(key.get(), nullptr);
    }
}

}  // namespace
