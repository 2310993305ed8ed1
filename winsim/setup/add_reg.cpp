// AddReg sections (see add_reg.h).
#include "add_reg.h"

#include "../registry/registry.h"

#include <algorithm>

namespace winsim::setup {
namespace {

constexpr uint32_t kBinaryValueType = 0x00000001;
constexpr uint32_t kNoClobber = 0x00000002;
constexpr uint32_t kDeleteValue = 0x00000004;
constexpr uint32_t kAppend = 0x00000008;
constexpr uint32_t kKeyOnly = 0x00000010;
constexpr uint32_t kOverwriteOnly = 0x00000020;
constexpr uint32_t kTypeMask = 0xFFFF0000 | kBinaryValueType;
constexpr uint32_t kTypeSz = 0x00000000, kTypeMultiSz = 0x00010000, kTypeExpandSz = 0x00020000,
                   kTypeBinary = 0x00000001, kTypeDword = 0x00010001, kTypeNone = 0x00020001;

const char *const kDeviceProperties[] = {"UpperFilters", "LowerFilters", "Exclusive", "Security", "DeviceType",
                                         "DeviceCharacteristics"};

struct Entry {
    std::string root, subkey, name;
    uint32_t flags = 0;
};

Entry Read(const InfFile &inf, const InfLine &line)
{
    if (line.key)
        inf.Fail(line.number, "an AddReg entry has no '='");
    Entry e{line.Field(0), line.Field(1), line.Field(2), 0};
    static const char *const roots[] = {"HKR", "HKLM", "HKCU", "HKCR", "HKU"};
    if (std::none_of(std::begin(roots), std::end(roots), [&](const char *r) { return EqualNoCase(e.root, r); }))
        inf.Fail(line.number, "'" + e.root + "' is not a registry root (HKR, HKLM, HKCU, HKCR, HKU)");
    if (!line.Field(3).empty()) {
        auto flags = InfNumber(line.Field(3));
        if (!flags)
            inf.Fail(line.number, "'" + line.Field(3) + "' is not a number of AddReg flags");
        e.flags = *flags;
    }
    return e;
}

std::vector<const InfSection *> Sections(const InfFile &inf, const InfLine &directive)
{
    std::vector<const InfSection *> sections;
    for (auto &name : directive.fields)
        if (!name.empty())
            sections.push_back(&inf.Require(name, directive.number));
    return sections;
}

std::string RootPath(const InfFile &inf, const InfLine &line, const Entry &e, const RegistryRoots &roots)
{
    if (EqualNoCase(e.root, "HKR")) {
        if (roots.hkr.empty())
            inf.Fail(line.number, "HKR has no meaning in this section");
        bool property = e.subkey.empty() && !roots.propertyKey.empty() &&
                        std::any_of(std::begin(kDeviceProperties), std::end(kDeviceProperties),
                                    [&](const char *p) { return EqualNoCase(e.name, p); });
        return property ? roots.propertyKey : roots.hkr;
    }
    return registry::NtPath(e.root);
}

std::vector<uint8_t> Bytes(const InfFile &inf, const InfLine &line)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 4; i < line.fields.size(); i++) {
        std::string text = line.fields[i];
        if (text.empty())
            continue;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
            text = text.substr(2);
        auto byte = InfNumber("0x" + text);
        if (!byte || *byte > 0xFF)
            inf.Fail(line.number, "'" + line.fields[i] + "' is not a hexadecimal byte");
        bytes.push_back(static_cast<uint8_t>(*byte));
    }
    return bytes;
}

void Apply(const InfFile &inf, const InfLine &line, const RegistryRoots &roots, const DirIds &dirids)
{
    Entry e = Read(inf, line);
    std::string key = RootPath(inf, line, e, roots);
    if (!e.subkey.empty())
        key += "\\" + e.subkey;
    if (e.flags & kDeleteValue) {
        registry::DeleteValue(key, e.name);
        return;
    }
    registry::CreateKey(key);
    if (e.flags & kKeyOnly)
        return;
    bool exists = registry::GetValue(key, e.name).has_value();
    if ((e.flags & kNoClobber) && exists)
        return;
    if ((e.flags & kOverwriteOnly) && !exists)
        return;
    uint32_t type = e.flags & kTypeMask;
    auto text = [&](size_t index) { return dirids.Expand(line.Field(index), inf, line.number); };
    switch (type) {
    case kTypeSz:
    case kTypeExpandSz:
        registry::SetString(key, e.name, text(4), type == kTypeSz ? REG_SZ : REG_EXPAND_SZ);
        break;
    case kTypeMultiSz: {
        std::vector<std::string> strings;
        if (e.flags & kAppend)
            strings = registry::GetMultiString(key, e.name).value_or(std::vector<std::string>{});
        for (size_t i = 4; i < line.fields.size(); i++) {
            std::string s = text(i);
            bool present = std::any_of(strings.begin(), strings.end(), [&](auto &x) { return EqualNoCase(x, s); });
            if (!s.empty() && !((e.flags & kAppend) && present))
                strings.push_back(s);
        }
        registry::SetMultiString(key, e.name, strings);
        break;
    }
    case kTypeDword: {
        auto value = InfNumber(line.Field(4));
        if (!value)
            inf.Fail(line.number, "'" + line.Field(4) + "' is not a REG_DWORD value");
        registry::SetDword(key, e.name, *value);
        break;
    }
    case kTypeBinary:
        registry::SetBinary(key, e.name, Bytes(inf, line));
        break;
    case kTypeNone:
        registry::SetValue(key, e.name, REG_NONE, Bytes(inf, line));
        break;
    default:
        // (type << 16) | FLG_ADDREG_BINVALUETYPE: binary data of another registry type.
        registry::SetValue(key, e.name, type >> 16, Bytes(inf, line));
        break;
    }
}

}  // namespace

void CheckAddReg(const InfFile &inf, const InfLine &directive)
{
    for (const InfSection *section : Sections(inf, directive)) {
        for (auto &line : section->lines) {
            Entry e = Read(inf, line);
            if ((e.flags & kTypeMask) == kTypeDword && !(e.flags & (kDeleteValue | kKeyOnly)) && !InfNumber(line.Field(4)))
                inf.Fail(line.number, "'" + line.Field(4) + "' is not a REG_DWORD value");
        }
    }
}

void ApplyAddReg(const InfFile &inf, const InfLine &directive, const RegistryRoots &roots, const DirIds &dirids)
{
    for (const InfSection *section : Sections(inf, directive))
        for (auto &line : section->lines)
            Apply(inf, line, roots, dirids);
}

}  // namespace winsim::setup
