// RtlWriteRegistryValue and RtlDeleteRegistryValue.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-rtlwriteregistryvalue
//   RelativeTo: RTL_REGISTRY_ABSOLUTE (Path is absolute), RTL_REGISTRY_SERVICES
//   (\Registry\Machine\System\CurrentControlSet\Services), RTL_REGISTRY_CONTROL (...\Control),
//   RTL_REGISTRY_WINDOWS_NT (\Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion),
//   RTL_REGISTRY_DEVICEMAP (\Registry\Machine\Hardware\DeviceMap), RTL_REGISTRY_HANDLE (Path is
//   an open key handle).
//   "If the specified key does not exist, the routine attempts to create it. For this attempt to
//   succeed, the new key must be a direct subkey of the key that is referred to by the Path
//   parameter" -- so a missing key is created one level deep only.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-rtldeleteregistryvalue
#include "registry_test.h"

namespace {

using RtlRegistry = RegistryTest;
namespace reg = winsim::registry;

struct RelativeCase {
    ULONG relativeTo;
    PCWSTR path;
    const char *expectedKey;
};

TEST_F(RtlRegistry, WritesWhereRelativeToPoints)
{
    const RelativeCase cases[] = {
        {RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\winsim", "HKLM\\SOFTWARE\\winsim"},
        {RTL_REGISTRY_SERVICES, L"winsim_service", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\winsim_service"},
        {RTL_REGISTRY_CONTROL, L"COM Name Arbiter", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"},
        {RTL_REGISTRY_WINDOWS_NT, L"winsim", "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\winsim"},
        {RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", reg::kSerialCommKey},
        {RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, L"SERIALCOMM", reg::kSerialCommKey},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expectedKey);
        wchar_t data[] = L"COM4";
        ASSERT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, L"\\Device\\winsim7", REG_SZ, data, sizeof data),
                  STATUS_SUCCESS);
        EXPECT_EQ(reg::GetString(c.expectedKey, "\\Device\\winsim7"), "COM4");
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, c.path, L"\\Device\\winsim7"), STATUS_SUCCESS);
        EXPECT_FALSE(reg::GetValue(c.expectedKey, "\\Device\\winsim7"));
    }
}

TEST_F(RtlRegistry, HandleInsteadOfAPath)
{
    KernelKey key;
    ASSERT_EQ(OpenKernelKey(key, L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM"), STATUS_SUCCESS);
    ULONG value = 3;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key.get()), L"Number", REG_DWORD, &value,
                                    sizeof value),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword(reg::kSerialCommKey, "Number"), 3u);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key.get()), L"Number"), STATUS_SUCCESS);
    EXPECT_EQ(reg::OpenKernelKeyHandleCount(), 1u) << "the routines close only the handles they open";
}

TEST_F(RtlRegistry, FailureStatuses)
{
    ULONG value = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"winsim-a\\winsim-b", L"X", REG_DWORD, &value, 4),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "only a direct subkey of an existing key is created";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, L"x", L"X", REG_DWORD, &value, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\none"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NoSuchKey", L"X"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(0x1234), L"X", REG_DWORD, &value, 4),
              STATUS_INVALID_HANDLE);
}

TEST_F(RtlRegistry, CreatesAMissingDirectSubkey)
{
    ULONG value = 1;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"winsim-map", L"X", REG_DWORD, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword("HKLM\\HARDWARE\\DEVICEMAP\\winsim-map", "X"), 1u);
}

}  // namespace
