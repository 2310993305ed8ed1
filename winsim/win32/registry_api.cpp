// advapi32's registry functions (the "A" set) over winsim's registry, with
// the access checks a user-mode caller meets: a key is opened only with the
// access the simulated user's token allows, and every later call on the
// handle needs the right it was opened with.
#include <winreg.h>

#include "../registry/access.h"
#include "../registry/ansi_code_page.h"
#include "../registry/key_handles.h"
#include "../registry/key_tree.h"

#include <cstring>

using namespace winsim;
using namespace winsim::registry;

namespace {

struct OpenedKey {
    KeyRef key;
    ACCESS_MASK granted = 0;
};

// The NT paths of the predefined keys, indexed by HKEY value - 0x80000000.
const char16_t *PredefinedPath(HKEY hkey)
{
    switch (static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(hkey))) {
    case 0x80000000: return u"\\Registry\\Machine\\SOFTWARE\\Classes";
    case 0x80000001: return kCurrentUserPath.data();
    case 0x80000002: return u"\\Registry\\Machine";
    case 0x80000003: return u"\\Registry\\User";
    case 0x80000005: return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";
    default: return nullptr;
    }
}

bool IsPredefined(HKEY hkey)
{
    auto value = reinterpret_cast<ULONG_PTR>(hkey);
    return value >= 0xFFFFFFFF80000000ull && value <= 0xFFFFFFFF80000060ull;
}

LSTATUS ErrorOf(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_SYNTAX_BAD: return ERROR_BAD_PATHNAME;
    case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_NAME;
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_NO_MORE_ENTRIES: return ERROR_NO_MORE_ITEMS;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case kStatusKeyDeleted: return ERROR_KEY_DELETED;
    case kStatusCannotDelete: return ERROR_ACCESS_DENIED;
    default: return static_cast<LSTATUS>(RtlNtStatusToDosError(status));
    }
}

// The key behind hkey and the access the caller holds on it. A predefined
// key stands for its root, opened with all the access the user may have.
LSTATUS Resolve(HKEY hkey, OpenedKey *out)
{
    if (IsPredefined(hkey)) {
        const char16_t *path = PredefinedPath(hkey);
        if (path == nullptr)
            return ERROR_INVALID_HANDLE;
        NTSTATUS status = TheStore().Open(nullptr, path, &out->key);
        out->granted = UserMaximumAccess(path);
        return ErrorOf(status);
    }
    KeyHandle handle;
    NTSTATUS status = ReferenceKeyHandle(hkey, CallerMode::User, &handle);
    out->key = handle.key;
    out->granted = handle.granted;
    return ErrorOf(status);
}

LSTATUS ResolveFor(HKEY hkey, ACCESS_MASK needed, OpenedKey *out)
{
    LSTATUS error = Resolve(hkey, out);
    if (error == ERROR_SUCCESS && (out->granted & needed) != needed)
        return ERROR_ACCESS_DENIED;
    return error;
}

std::u16string Name(LPCSTR text) { return text == nullptr ? std::u16string() : AnsiToUtf16(text); }

HKEY NewHandle(const KeyRef &key, ACCESS_MASK granted)
{
    return static_cast<HKEY>(InsertKeyHandle(KeyHandle{key, granted, CallerMode::User, nullptr}));
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Value data as an "A" caller sees it: string types in the ANSI code page.
std::vector<uint8_t> AnsiData(const StoredValue &value)
{
    if (!IsStringType(value.type))
        return value.data;
    std::u16string wide;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2)
        wide += static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
    std::string ansi = Utf16ToAnsi(wide);
    return {ansi.begin(), ansi.end()};
}

// Copies data the way RegQueryValueExA does: the size alone when there is no
// buffer, ERROR_MORE_DATA with the size needed when it does not fit, and a
// terminator added to an unterminated string when there is room for one.
LSTATUS ReturnData(const std::vector<uint8_t> &data, DWORD type, LPBYTE buffer, LPDWORD size)
{
    auto needed = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        if (size != nullptr)
            *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed != 0)
        memcpy(buffer, data.data(), needed);
    if (IsStringType(type) && needed < *size && (needed == 0 || data.back() != 0))
        buffer[needed] = 0;
    *size = needed;
    return ERROR_SUCCESS;
}

// Copies a name into a character buffer sized in characters (terminator
// included on the way in, excluded on the way out).
LSTATUS ReturnName(const std::string &name, LPSTR buffer, LPDWORD chars)
{
    if (name.size() + 1 > *chars)
        return ERROR_MORE_DATA;
    memcpy(buffer, name.c_str(), name.size() + 1);
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenedKey base;
    if (LSTATUS error = Resolve(hKey, &base))
        return error;
    KeyRef key;
    if (LSTATUS error = ErrorOf(TheStore().Open(base.key, Name(lpSubKey), &key)))
        return error;
    ACCESS_MASK granted;
    if (LSTATUS error = ErrorOf(CheckUserAccess(TheStore().PathOf(key), samDesired, &granted)))
        return error;
    *phkResult = NewHandle(key, granted);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition)
{
    constexpr DWORD kValidOptions =
        REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;
    if (phkResult == nullptr || lpSubKey == nullptr || (dwOptions & ~kValidOptions) != 0)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenedKey base;
    if (LSTATUS error = Resolve(hKey, &base))
        return error;
    std::u16string subKey = Name(lpSubKey);
    KeyRef key;
    NTSTATUS status = TheStore().Open(base.key, subKey, &key);
    bool created = false;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // Creating a key needs KEY_CREATE_SUB_KEY where it is created.
        std::u16string path = TheStore().PathOf(base.key) + u"\\" + subKey;
        if ((UserMaximumAccess(path) & KEY_CREATE_SUB_KEY) == 0)
            return ERROR_ACCESS_DENIED;
        status = TheStore().Create(base.key, subKey, true, &key, &created);
    }
    if (LSTATUS error = ErrorOf(status))
        return error;
    ACCESS_MASK granted;
    if (LSTATUS error = ErrorOf(CheckUserAccess(TheStore().PathOf(key), samDesired, &granted)))
        return error;
    *phkResult = NewHandle(key, granted);
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    if ((lpData != nullptr && lpcbData == nullptr) || lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    OpenedKey opened;
    if (LSTATUS error = ResolveFor(hKey, KEY_QUERY_VALUE, &opened))
        return error;
    StoredValue value;
    if (LSTATUS error = ErrorOf(TheStore().QueryValue(opened.key, Name(lpValueName), &value)))
        return error;
    if (lpType != nullptr)
        *lpType = value.type;
    return ReturnData(AnsiData(value), value.type, lpData, lpcbData);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    OpenedKey opened;
    if (LSTATUS error = ResolveFor(hKey, KEY_QUERY_VALUE, &opened))
        return error;
    StoredValue value;
    if (LSTATUS error = ErrorOf(TheStore().EnumerateValue(opened.key, dwIndex, &value)))
        return error;
    if (LSTATUS error = ReturnName(Utf16ToAnsi(value.name), lpValueName, lpcchValueName))
        return error;
    if (lpType != nullptr)
        *lpType = value.type;
    return ReturnData(AnsiData(value), value.type, lpData, lpcbData);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    OpenedKey opened;
    if (LSTATUS error = ResolveFor(hKey, KEY_ENUMERATE_SUB_KEYS, &opened))
        return error;
    std::u16string name;
    int64_t lastWrite = 0;
    if (LSTATUS error = ErrorOf(TheStore().EnumerateKey(opened.key, dwIndex, &name, &lastWrite)))
        return error;
    if (LSTATUS error = ReturnName(Utf16ToAnsi(name), lpName, lpcchName))
        return error;
    if (lpClass != nullptr && lpcchClass != nullptr) {
        if (*lpcchClass == 0)
            return ERROR_MORE_DATA;
        lpClass[0] = 0;  // keys carry no class name
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(lastWrite);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(lastWrite) >> 32);
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData)
{
    if (lpData == nullptr && cbData != 0)
        return ERROR_NOACCESS;
    OpenedKey opened;
    if (LSTATUS error = ResolveFor(hKey, KEY_SET_VALUE, &opened))
        return error;
    std::vector<uint8_t> data(lpData, lpData + cbData);
    if (IsStringType(dwType)) {
        std::u16string wide = AnsiToUtf16(std::string_view(reinterpret_cast<const char *>(lpData), cbData));
        data.clear();
        for (char16_t c : wide) {
            data.push_back(static_cast<uint8_t>(c & 0xFF));
            data.push_back(static_cast<uint8_t>(c >> 8));
        }
    }
    return ErrorOf(TheStore().SetValue(opened.key, Name(lpValueName), dwType, data.data(), data.size()));
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    OpenedKey opened;
    if (LSTATUS error = ResolveFor(hKey, KEY_SET_VALUE, &opened))
        return error;
    return ErrorOf(TheStore().DeleteValue(opened.key, Name(lpValueName)));
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    OpenedKey base;
    if (LSTATUS error = Resolve(hKey, &base))
        return error;
    KeyRef key;
    if (LSTATUS error = ErrorOf(TheStore().Open(base.key, Name(lpSubKey), &key)))
        return error;
    ACCESS_MASK granted;
    if (LSTATUS error = ErrorOf(CheckUserAccess(TheStore().PathOf(key), DELETE, &granted)))
        return error;
    return ErrorOf(TheStore().DeleteKey(key));
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey))
        return ERROR_SUCCESS;
    return ErrorOf(CloseKeyHandle(hKey, CallerMode::User));
}

}  // extern "C"
