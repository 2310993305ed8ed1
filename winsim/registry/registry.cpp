// The registry's C++ interface (see registry.h).
#include "registry.h"

#include "access.h"
#include "key_handles.h"
#include "key_tree.h"
#include "text.h"

namespace winsim::registry {
namespace {

struct RootName {
    const char *longName;
    const char *shortName;
    std::u16string_view ntPath;
};

const RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", u"\\Registry\\Machine"},
    {"HKEY_USERS", "HKU", u"\\Registry\\User"},
    {"HKEY_CURRENT_USER", "HKCU", kCurrentUserPath},
    {"HKEY_CLASSES_ROOT", "HKCR", u"\\Registry\\Machine\\SOFTWARE\\Classes"},
    {"HKEY_CURRENT_CONFIG", "HKCC", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
};

std::u16string NtPathW(const std::string &path)
{
    std::u16string wide = Utf8ToUtf16(path);
    if (wide.size() >= 9 && EqualNoCase(std::u16string_view(wide).substr(0, 9), u"\\Registry") &&
        (wide.size() == 9 || wide[9] == u'\\'))
        return wide;
    size_t end = wide.find(u'\\');
    std::u16string_view root = std::u16string_view(wide).substr(0, end);
    for (auto &r : kRoots) {
        if (EqualNoCase(root, Utf8ToUtf16(r.longName)) || EqualNoCase(root, Utf8ToUtf16(r.shortName)))
            return std::u16string(r.ntPath) + (end == std::u16string::npos ? u"" : wide.substr(end));
    }
    return {};
}

KeyRef OpenPath(const std::string &path)
{
    std::u16string nt = NtPathW(path);
    KeyRef key;
    if (nt.empty() || !NT_SUCCESS(TheStore().Open(nullptr, nt, &key)))
        return nullptr;
    return key;
}

KeyRef CreatePath(const std::string &path)
{
    std::u16string nt = NtPathW(path);
    KeyRef key;
    if (nt.empty() || !NT_SUCCESS(TheStore().Create(nullptr, nt, true, &key, nullptr)))
        return nullptr;
    return key;
}

}  // namespace

std::string NtPath(const std::string &path) { return Utf16ToUtf8(NtPathW(path)); }

bool KeyExists(const std::string &path) { return OpenPath(path) != nullptr; }

bool CreateKey(const std::string &path) { return CreatePath(path) != nullptr; }

bool DeleteKey(const std::string &path)
{
    KeyRef key = OpenPath(path);
    return key != nullptr && NT_SUCCESS(TheStore().DeleteTree(key));
}

std::vector<std::string> SubkeyNames(const std::string &path)
{
    std::vector<std::string> names;
    KeyRef key = OpenPath(path);
    if (key == nullptr)
        return names;
    std::u16string name;
    for (ULONG i = 0; NT_SUCCESS(TheStore().EnumerateKey(key, i, &name, nullptr)); i++)
        names.push_back(Utf16ToUtf8(name));
    return names;
}

std::vector<Value> Values(const std::string &path)
{
    std::vector<Value> values;
    KeyRef key = OpenPath(path);
    if (key == nullptr)
        return values;
    StoredValue v;
    for (ULONG i = 0; NT_SUCCESS(TheStore().EnumerateValue(key, i, &v)); i++)
        values.push_back(Value{Utf16ToUtf8(v.name), v.type, v.data});
    return values;
}

std::optional<Value> GetValue(const std::string &path, const std::string &name)
{
    KeyRef key = OpenPath(path);
    StoredValue v;
    if (key == nullptr || !NT_SUCCESS(TheStore().QueryValue(key, Utf8ToUtf16(name), &v)))
        return std::nullopt;
    return Value{Utf16ToUtf8(v.name), v.type, v.data};
}

std::optional<std::string> GetString(const std::string &path, const std::string &name)
{
    auto v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ))
        return std::nullopt;
    return Utf16ToUtf8(StringFromData(v->data));
}

std::optional<std::vector<std::string>> GetMultiString(const std::string &path, const std::string &name)
{
    auto v = GetValue(path, name);
    if (!v || v->type != REG_MULTI_SZ)
        return std::nullopt;
    std::vector<std::string> out;
    for (auto &s : MultiStringFromData(v->data))
        out.push_back(Utf16ToUtf8(s));
    return out;
}

std::optional<uint32_t> GetDword(const std::string &path, const std::string &name)
{
    auto v = GetValue(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4)
        return std::nullopt;
    return v->data[0] | v->data[1] << 8 | v->data[2] << 16 | static_cast<uint32_t>(v->data[3]) << 24;
}

bool SetValue(const std::string &path, const std::string &name, ULONG type, const std::vector<uint8_t> &data)
{
    KeyRef key = CreatePath(path);
    return key != nullptr && NT_SUCCESS(TheStore().SetValue(key, Utf8ToUtf16(name), type, data.data(), data.size()));
}

bool SetString(const std::string &path, const std::string &name, const std::string &text, ULONG type)
{
    return SetValue(path, name, type, StringData(Utf8ToUtf16(text)));
}

bool SetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &strings)
{
    std::vector<std::u16string> wide;
    for (auto &s : strings)
        wide.push_back(Utf8ToUtf16(s));
    return SetValue(path, name, REG_MULTI_SZ, MultiStringData(wide));
}

bool SetDword(const std::string &path, const std::string &name, uint32_t value)
{
    return SetValue(path, name, REG_DWORD,
                    {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                     static_cast<uint8_t>(value >> 24)});
}

bool SetBinary(const std::string &path, const std::string &name, const std::vector<uint8_t> &bytes)
{
    return SetValue(path, name, REG_BINARY, bytes);
}

bool DeleteValue(const std::string &path, const std::string &name)
{
    KeyRef key = OpenPath(path);
    return key != nullptr && NT_SUCCESS(TheStore().DeleteValue(key, Utf8ToUtf16(name)));
}

std::string Dump(const std::string &path)
{
    KeyRef key = OpenPath(path);
    return key == nullptr ? "(no key " + path + ")\n" : TheStore().Dump(key);
}

size_t OpenUserKeyHandleCount() { return OpenKeyHandleCount(CallerMode::User); }

size_t OpenKernelKeyHandleCount() { return OpenKeyHandleCount(CallerMode::Kernel); }

std::vector<std::string> OpenKernelKeyHandles(const Module *owner) { return DescribeKernelKeyHandles(owner); }

}  // namespace winsim::registry
