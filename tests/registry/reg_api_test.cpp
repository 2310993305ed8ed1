// The registry functions applications call (the "A" set), on the registry
// the kernel writes.
//
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regqueryvalueexa
//   "If lpData is NULL, and lpcbData is non-NULL, the function returns ERROR_SUCCESS and stores
//   the size of the data, in bytes, in the variable pointed to by lpcbData." "If the buffer
//   specified by lpData parameter is not large enough to hold the data, the function returns
//   ERROR_MORE_DATA and stores the required buffer size in the variable pointed to by lpcbData."
//   "If the lpValueName registry value does not exist, the function returns ERROR_FILE_NOT_FOUND."
//   "The lpcbData parameter can be NULL only if lpData is NULL." "If the data has the REG_SZ,
//   REG_MULTI_SZ or REG_EXPAND_SZ type, and the ANSI version of this function is used ..., this
//   function converts the stored Unicode string to an ANSI string before copying it".
//   The sizes an "A" caller sees are those of the ANSI data, and a string stored without its
//   terminator gets one when the buffer has room: Wine's advapi32 tests, which pass on Windows.
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regopenkeyexa
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regcreatekeyexa
//   ("The function creates all missing keys in the specified path.")
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regenumvaluea
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regenumkeyexa
//   (ERROR_NO_MORE_ITEMS past the last entry; lpcchName counts characters, the terminator
//   included on input and excluded on output; ERROR_MORE_DATA when the name does not fit.)
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regsetvalueexa
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regdeletekeya
//   ("The subkey to be deleted must not have subkeys"; Windows refuses with ERROR_ACCESS_DENIED.)
// https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regclosekey
#include "registry_test.h"

#include <winreg.h>

#include <cstring>

namespace {

using RegApi = RegistryTest;
namespace reg = winsim::registry;

// An HKEY closed at the end of the scope.
class UserKey {
public:
    ~UserKey()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    PHKEY out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

const std::string kTestKey = "HKLM\\SOFTWARE\\winsim-api";

TEST_F(RegApi, QueryValueSizesAndStatuses)
{
    reg::SetValue(kTestKey, "Name", REG_SZ, WideData(u"COM3"));
    UserKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api", 0, KEY_READ, key.out()), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 5u) << "the ANSI size, not the 10 bytes stored";

    char small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);

    char exact[5];
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key.get(), "name", nullptr, nullptr, reinterpret_cast<LPBYTE>(exact), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(exact, "COM3");

    EXPECT_EQ(RegQueryValueExA(key.get(), "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(exact), nullptr),
              ERROR_INVALID_PARAMETER);
}

struct Conversion {
    const char *label;
    std::u16string stored;      // without terminator
    bool storedTerminated;
    std::string expected;       // what an "A" caller reads, terminator included
};

TEST_F(RegApi, StringDataReachesAnsiCallersInTheAnsiCodePage)
{
    const Conversion cases[] = {
        {"ASCII", u"COM3", true, std::string("COM3\0", 5)},
        {"Latin-1 and euro", u"Caf\u00e9 \u20ac", true, std::string("Caf\xe9 \x80\0", 7)},
        {"not in code page 1252", u"\u0101\u4e00", true, std::string("??\0", 3)},
        {"stored without terminator", u"COM3", false, std::string("COM3\0", 5)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        auto data = WideData(c.stored);
        if (!c.storedTerminated)
            data.resize(data.size() - 2);
        reg::SetValue(kTestKey, "Text", REG_SZ, data);
        char buffer[32];
        memset(buffer, 'x', sizeof buffer);
        DWORD size = sizeof buffer;
        UserKey key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api", 0, KEY_QUERY_VALUE, key.out()),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size),
                  ERROR_SUCCESS);
        size_t reported = c.storedTerminated ? c.expected.size() : c.expected.size() - 1;
        EXPECT_EQ(size, reported);
        EXPECT_EQ(std::string(buffer, c.expected.size()), c.expected);
    }
}

TEST_F(RegApi, MultiStringsAndBinaryData)
{
    reg::SetMultiString(kTestKey, "Filters", {"upper", "lower"});
    reg::SetBinary(kTestKey, "Bits", {0x05, 0x00, 0x80});
    UserKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api", 0, KEY_READ, key.out()), ERROR_SUCCESS);
    char buffer[32];
    DWORD size = sizeof buffer, type = 0;
    ASSERT_EQ(RegQueryValueExA(key.get(), "Filters", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::string(buffer, size), std::string("upper\0lower\0\0", 13));
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key.get(), "Bits", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), std::string("\x05\x00\x80", 3)) << "binary data is not converted";
}

TEST_F(RegApi, SetValueStoresUnicodeForTheKernel)
{
    UserKey key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api\\a\\b", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY)) << "all missing keys are created";
    const char text[] = "Caf\xe9";
    ASSERT_EQ(RegSetValueExA(key.get(), "Text", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text),
              ERROR_SUCCESS);
    auto stored = reg::GetValue(kTestKey + "\\a\\b", "Text");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->data, WideData(u"Caf\u00e9"));
    DWORD number = 0x12345678;
    ASSERT_EQ(RegSetValueExA(key.get(), "Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(reg::GetDword(kTestKey + "\\a\\b", "Number"), 0x12345678u);
    EXPECT_EQ(RegSetValueExA(key.get(), "Null", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);

    UserKey again;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api\\A\\B", 0, nullptr, 0, KEY_READ, nullptr,
                              again.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
}

TEST_F(RegApi, EnumerationOrderAndBounds)
{
    for (const char *name : {"beta", "Alpha", "gamma"})
        reg::CreateKey(kTestKey + "\\" + name);
    for (const char *name : {"z", "a", "m"})
        reg::SetDword(kTestKey, name, 1);
    UserKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api", 0, KEY_READ, key.out()), ERROR_SUCCESS);

    std::vector<std::string> keys;
    char name[16];
    DWORD chars = sizeof name;
    for (DWORD i = 0; RegEnumKeyExA(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         i++, chars = sizeof name) {
        EXPECT_EQ(chars, strlen(name));
        keys.push_back(name);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "beta", "gamma"})) << "subkeys come sorted, ignoring case";
    chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 3, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    chars = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    std::vector<std::string> values;
    chars = sizeof name;
    DWORD type = 0;
    for (DWORD i = 0; RegEnumValueA(key.get(), i, name, &chars, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS;
         i++, chars = sizeof name)
        values.push_back(name);
    EXPECT_EQ(values, (std::vector<std::string>{"z", "a", "m"})) << "values come in the order they were created";
    chars = sizeof name;
    EXPECT_EQ(RegEnumValueA(key.get(), 3, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    BYTE data[2];
    DWORD size = sizeof data;
    chars = sizeof name;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &chars, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
}

TEST_F(RegApi, SerialPortsTheKernelNamedAreListed)
{
    wchar_t port[] = L"COM3";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\??\\ROOT#PORTS#0000#{86e0d1e0}", REG_SZ,
                                    port, sizeof port),
              STATUS_SUCCESS);
    UserKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, key.out()),
              ERROR_SUCCESS);
    char name[64], data[16];
    DWORD chars = sizeof name, size = sizeof data, type = 0;
    ASSERT_EQ(RegEnumValueA(key.get(), 0, name, &chars, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "\\??\\ROOT#PORTS#0000#{86e0d1e0}");
    EXPECT_STREQ(data, "COM3");
    EXPECT_EQ(size, 5u);
}

TEST_F(RegApi, DeleteValuesAndKeys)
{
    reg::SetDword(kTestKey + "\\child\\grandchild", "x", 1);
    reg::SetDword(kTestKey, "v", 1);
    UserKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api", 0, KEY_ALL_ACCESS, key.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key.get(), "V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key.get(), "v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(key.get(), "child"), ERROR_ACCESS_DENIED) << "a key with subkeys stays";
    EXPECT_EQ(RegDeleteKeyA(key.get(), "child\\grandchild"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key.get(), "child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key.get(), "child"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(reg::KeyExists(kTestKey + "\\child"));
}

TEST_F(RegApi, HandlesOfADeletedKey)
{
    reg::CreateKey(kTestKey + "\\doomed");
    UserKey doomed;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api\\doomed", 0, KEY_ALL_ACCESS, doomed.out()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\winsim-api\\doomed"), ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(doomed.get(), "x", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4),
              ERROR_KEY_DELETED);
}

TEST_F(RegApi, OpenAndCloseStatuses)
{
    UserKey missing, badPath;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKey", 0, KEY_READ, missing.out()),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing.get(), nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, badPath.out()), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x4321), "SOFTWARE", 0, KEY_READ, missing.out()),
              ERROR_INVALID_HANDLE);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS) << "closing a predefined key does nothing";
}

}  // namespace
