// Access checks for user-mode callers. The simulated user is an
// administrator whose token is elevated or filtered (User Account Control):
// filtered, HKEY_LOCAL_MACHINE can be read but not written, and the access
// asked for is refused when the key is opened. A handle then allows only what
// it was opened with.
//
// https://learn.microsoft.com/en-us/windows/win32/sysinfo/registry-key-security-and-access-rights
//   KEY_READ (0x20019), KEY_WRITE (0x20006); "RegSetValueEx ... The key must have been opened
//   with the KEY_SET_VALUE access right"; "RegQueryValueEx ... KEY_QUERY_VALUE";
//   "RegEnumKeyEx ... KEY_ENUMERATE_SUB_KEYS".
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regopenkeyexa
//   "If the function fails, the return value is a nonzero error code defined in Winerror.h";
//   a token without the rights gets ERROR_ACCESS_DENIED.
// https://learn.microsoft.com/en-us/windows/security/application-security/application-control/user-account-control/how-it-works
//   (a filtered administrator token has standard-user rights: HKLM is not writable.)
#include "registry_test.h"

#include <winreg.h>

namespace {

using RegAccess = RegistryTest;
namespace reg = winsim::registry;

struct OpenCase {
    const char *label;
    HKEY root;
    const char *path;
    REGSAM access;
    LSTATUS elevated;
    LSTATUS filtered;
};

TEST_F(RegAccess, OpenChecksTheTokenAgainstTheAccessAskedFor)
{
    const OpenCase cases[] = {
        {"arbiter for read and write (the uninstaller's probe)", HKEY_LOCAL_MACHINE,
         "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", KEY_READ | KEY_WRITE, ERROR_SUCCESS,
         ERROR_ACCESS_DENIED},
        {"arbiter for reading", HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", KEY_READ,
         ERROR_SUCCESS, ERROR_SUCCESS},
        {"serial port list for reading", HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ,
         ERROR_SUCCESS, ERROR_SUCCESS},
        {"hardware map for setting values", HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", KEY_SET_VALUE, ERROR_SUCCESS,
         ERROR_ACCESS_DENIED},
        {"software for all access", HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_ALL_ACCESS, ERROR_SUCCESS,
         ERROR_ACCESS_DENIED},
        {"generic write", HKEY_LOCAL_MACHINE, "SYSTEM", GENERIC_WRITE, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
        {"maximum allowed", HKEY_LOCAL_MACHINE, "SYSTEM", MAXIMUM_ALLOWED, ERROR_SUCCESS, ERROR_SUCCESS},
        {"own hive for writing", HKEY_CURRENT_USER, "Software", KEY_WRITE, ERROR_SUCCESS, ERROR_SUCCESS},
        {"security hive", HKEY_LOCAL_MACHINE, "SAM", KEY_READ, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    };
    for (bool elevated : {true, false}) {
        reg::SetUserElevated(elevated);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.label) + (elevated ? ", elevated" : ", filtered"));
            HKEY key = nullptr;
            EXPECT_EQ(RegOpenKeyExA(c.root, c.path, 0, c.access, &key), elevated ? c.elevated : c.filtered);
            if (key != nullptr) {
                EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
            }
        }
    }
}

TEST_F(RegAccess, HandleAllowsOnlyWhatItWasOpenedWith)
{
    reg::SetDword("HKCU\\Software\\winsim", "x", 1);
    HKEY readOnly = nullptr, writeOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\winsim", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\winsim", 0, KEY_SET_VALUE, &writeOnly), ERROR_SUCCESS);
    DWORD value = 2, size = sizeof value;
    EXPECT_EQ(RegSetValueExA(readOnly, "x", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(readOnly, "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(writeOnly, "x", nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size),
              ERROR_ACCESS_DENIED);
    char name[8];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(writeOnly, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(writeOnly, "x", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4), ERROR_SUCCESS);
    EXPECT_EQ(reg::GetDword("HKCU\\Software\\winsim", "x"), 2u);
    RegCloseKey(readOnly);
    RegCloseKey(writeOnly);
}

TEST_F(RegAccess, FilteredTokenCannotChangeTheMachine)
{
    reg::SetUserElevated(false);
    HKEY key = nullptr;
    DWORD value = 1;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-new", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(reg::KeyExists("HKLM\\SOFTWARE\\winsim-new"));
    EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "x", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4),
              ERROR_ACCESS_DENIED)
        << "the predefined key carries only what the token allows";
    reg::CreateKey("HKLM\\SOFTWARE\\winsim-old");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-old"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(reg::KeyExists("HKLM\\SOFTWARE\\winsim-old"));

    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\winsim-own", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace
