// ZwOpenKey, ZwCreateKey, ZwClose, ZwSetValueKey and ZwDeleteValueKey.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwopenkey
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwcreatekey
//   Disposition: REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY; a key is created only as a
//   direct subkey of an existing key (the same rule RtlWriteRegistryValue's remarks state).
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwclose
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwsetvaluekey
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwdeletevaluekey
// Registry names are not case sensitive:
// https://learn.microsoft.com/en-us/windows/win32/sysinfo/structure-of-the-registry
// Kernel-mode callers are not access-checked (a handle's previous mode is KernelMode):
// https://learn.microsoft.com/en-us/windows-hardware/drivers/kernel/using-nt-and-zw-versions-of-the-native-system-services-routines
#include "registry_test.h"

namespace {

using ZwKeys = RegistryTest;
namespace reg = winsim::registry;

struct OpenCase {
    const char *label;
    PCWSTR path;
    NTSTATUS expected;
};

TEST_F(ZwKeys, OpenStatuses)
{
    const OpenCase cases[] = {
        {"existing key", L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control", STATUS_SUCCESS},
        {"case differs", L"\\REGISTRY\\machine\\system\\currentcontrolset\\CONTROL", STATUS_SUCCESS},
        {"missing last key", L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\NoSuchKey", STATUS_OBJECT_NAME_NOT_FOUND},
        {"missing key on the way", L"\\Registry\\Machine\\NoSuchKey\\Below", STATUS_OBJECT_NAME_NOT_FOUND},
        {"outside the registry", L"\\Device\\Serial0", STATUS_OBJECT_NAME_NOT_FOUND},
        {"relative without a root", L"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        KernelKey key;
        EXPECT_EQ(OpenKernelKey(key, c.path), c.expected);
        EXPECT_EQ(key.get() != nullptr, c.expected == STATUS_SUCCESS);
    }
}

TEST_F(ZwKeys, RelativeToARootDirectory)
{
    KernelKey root, child, bad;
    ASSERT_EQ(OpenKernelKey(root, L"\\Registry\\Machine\\SYSTEM"), STATUS_SUCCESS);
    EXPECT_EQ(OpenKernelKey(child, L"CurrentControlSet\\Services", root.get()), STATUS_SUCCESS);
    EXPECT_EQ(OpenKernelKey(bad, L"\\CurrentControlSet", root.get()), STATUS_OBJECT_PATH_SYNTAX_BAD);
    KernelKey closedRoot;
    HANDLE stale = nullptr;
    {
        KernelKey temporary;
        ASSERT_EQ(OpenKernelKey(temporary, L"\\Registry\\Machine"), STATUS_SUCCESS);
        stale = temporary.get();
    }
    EXPECT_EQ(OpenKernelKey(closedRoot, L"SYSTEM", stale), STATUS_INVALID_HANDLE);
}

TEST_F(ZwKeys, CreateReportsDispositionAndNeedsTheParent)
{
    const char *path = "\\Registry\\Machine\\SOFTWARE\\winsim-new";
    ULONG disposition = 0;
    {
        KernelKey key;
        ASSERT_EQ(CreateKernelKey(key, L"\\Registry\\Machine\\SOFTWARE\\winsim-new", &disposition), STATUS_SUCCESS);
        EXPECT_EQ(disposition, 1u /* REG_CREATED_NEW_KEY */);
        EXPECT_TRUE(reg::KeyExists(path));
    }
    {
        KernelKey key;
        ASSERT_EQ(CreateKernelKey(key, L"\\Registry\\Machine\\software\\WINSIM-NEW", &disposition), STATUS_SUCCESS);
        EXPECT_EQ(disposition, 2u /* REG_OPENED_EXISTING_KEY */);
    }
    KernelKey deep;
    EXPECT_EQ(CreateKernelKey(deep, L"\\Registry\\Machine\\SOFTWARE\\winsim-a\\winsim-b"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg::KeyExists("\\Registry\\Machine\\SOFTWARE\\winsim-a"));
}

TEST_F(ZwKeys, SetAndDeleteValues)
{
    KernelKey key;
    ASSERT_EQ(CreateKernelKey(key, L"\\Registry\\Machine\\SOFTWARE\\winsim-values"), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(L"Count");
    ULONG value = 5;
    EXPECT_EQ(ZwSetValueKey(key.get(), &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword("HKLM\\SOFTWARE\\winsim-values", "count"), 5u);
    value = 6;
    EXPECT_EQ(ZwSetValueKey(key.get(), &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    EXPECT_EQ(reg::GetDword("HKLM\\SOFTWARE\\winsim-values", "Count"), 6u);
    EXPECT_EQ(reg::Values("HKLM\\SOFTWARE\\winsim-values").size(), 1u) << "a second set replaces the value";

    UNICODE_STRING upper = Counted(L"COUNT");
    EXPECT_EQ(ZwDeleteValueKey(key.get(), &upper), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key.get(), &upper), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg::GetValue("HKLM\\SOFTWARE\\winsim-values", "Count"));
}

TEST_F(ZwKeys, KernelHandlesAreNotAccessChecked)
{
    reg::SetUserElevated(false);
    KernelKey key;
    ASSERT_EQ(OpenKernelKey(key, L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM"), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(L"\\Device\\winsim0");
    wchar_t data[] = L"COM9";
    EXPECT_EQ(ZwSetValueKey(key.get(), &name, 0, REG_SZ, data, sizeof data), STATUS_SUCCESS)
        << "opened for KEY_READ, written all the same";
    EXPECT_EQ(reg::GetString(reg::kSerialCommKey, "\\Device\\winsim0"), "COM9");
}

TEST_F(ZwKeys, CurrentControlSetIsControlSet001)
{
    KernelKey key;
    ASSERT_EQ(CreateKernelKey(key, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\winsim"), STATUS_SUCCESS);
    EXPECT_TRUE(reg::KeyExists("HKLM\\SYSTEM\\ControlSet001\\Services\\winsim"));
}

TEST_F(ZwKeys, OpenHandlesAreReportedWithTheirKey)
{
    KernelKey key;
    ASSERT_EQ(OpenKernelKey(key, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum"), STATUS_SUCCESS);
    auto open = reg::OpenKernelKeyHandles();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_NE(open[0].find("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum"), std::string::npos) << open[0];
}

TEST(ZwKeysVerifier, RegistryRoutinesRunAtPassiveLevelOnly)
{
    EXPECT_EXIT(
        {
            winsim::harness::TestMachine machine;
            reg::Boot();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KernelKey key;
            OpenKernelKey(key, L"\\Registry\\Machine\\SYSTEM");
        },
        ::testing::ExitedWithCode(70), "ZwOpenKey called above PASSIVE_LEVEL");
}

}  // namespace
