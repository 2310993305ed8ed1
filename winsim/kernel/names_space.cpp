// The object namespace: named device objects and symbolic links, with \??
// and \DosDevices as aliases of \GLOBAL??, name resolution that follows links
// and keeps what is left of the path as the file name, and device interfaces.
#include "device.h"

#include <cstdio>
#include <map>

namespace winsim {
namespace {

struct Entry {
    PDEVICE_OBJECT device = nullptr;  // a device object, or
    std::u16string target;            // a symbolic link's target
    std::u16string displayName;
};

struct Namespace {
    std::mutex lock;
    std::map<std::u16string, Entry> entries;  // key: upper-cased canonical path
    std::vector<DeviceInterface> interfaces;
};

Namespace &Names()
{
    static Namespace names;
    return names;
}

char16_t Upcase(char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; }

std::u16string Key(const std::u16string &path)
{
    std::u16string k = path;
    for (auto &c : k)
        c = Upcase(c);
    return k;
}

bool StartsWithNoCase(const std::u16string &s, const std::u16string &prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (Upcase(s[i]) != Upcase(prefix[i]))
            return false;
    return true;
}

std::string GuidText(const GUID &g)
{
    char buf[64];
    snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

}  // namespace

std::u16string CanonicalPath(const std::u16string &path)
{
    for (const std::u16string prefix : {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\"})
        if (StartsWithNoCase(path, prefix))
            return u"\\GLOBAL??\\" + path.substr(prefix.size());
    return path;
}

NTSTATUS InsertDeviceName(const std::u16string &name, PDEVICE_OBJECT device)
{
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    auto [it, inserted] = n.entries.emplace(Key(CanonicalPath(name)), Entry{device, {}, name});
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void RemoveDeviceName(const std::u16string &name)
{
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    n.entries.erase(Key(CanonicalPath(name)));
}

NTSTATUS CreateLink(const std::u16string &link, const std::u16string &target)
{
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    auto [it, inserted] = n.entries.emplace(Key(CanonicalPath(link)), Entry{nullptr, target, link});
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS DeleteLink(const std::u16string &link)
{
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    auto it = n.entries.find(Key(CanonicalPath(link)));
    if (it == n.entries.end() || it->second.device != nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    n.entries.erase(it);
    return STATUS_SUCCESS;
}

bool LinkExists(const std::u16string &link)
{
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    auto it = n.entries.find(Key(CanonicalPath(link)));
    return it != n.entries.end() && it->second.device == nullptr;
}

std::vector<std::pair<std::u16string, std::u16string>> ListLinks()
{
    std::vector<std::pair<std::u16string, std::u16string>> out;
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    for (auto &[key, e] : n.entries)
        if (e.device == nullptr)
            out.emplace_back(e.displayName, e.target);
    return out;
}

NTSTATUS ResolveName(const std::u16string &path, ResolvedName *out)
{
    std::u16string current = CanonicalPath(path);
    auto &n = Names();
    std::unique_lock<std::mutex> lock(n.lock);
    for (int depth = 0; depth < 32; depth++) {
        // The longest prefix of the path, cut at a backslash, that names an object.
        size_t cut = current.size();
        const Entry *found = nullptr;
        while (cut > 0) {
            auto it = n.entries.find(Key(current.substr(0, cut)));
            if (it != n.entries.end()) {
                found = &it->second;
                break;
            }
            size_t slash = current.rfind(u'\\', cut - 1);
            if (slash == std::u16string::npos || slash == 0)
                break;
            cut = slash;
        }
        if (found == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        std::u16string rest = current.substr(cut);
        if (found->device == nullptr) {
            current = CanonicalPath(found->target + rest);
            continue;
        }
        PDEVICE_OBJECT device = found->device;
        lock.unlock();
        ReferenceDevice(device);
        out->device = device;
        out->remainder = rest;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_PATH_INVALID;
}

std::vector<DeviceInterface> ListInterfaces()
{
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    return n.interfaces;
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo)
{
    std::vector<std::u16string> links;
    {
        auto &n = Names();
        std::lock_guard<std::mutex> lock(n.lock);
        for (auto &i : n.interfaces)
            if (i.pdo == pdo) {
                if (i.enabled)
                    links.push_back(i.link);
                i.enabled = false;
                i.pdo = nullptr;
            }
    }
    for (auto &l : links)
        DeleteLink(l);
}

void ResetNamespace()
{
    auto &n = Names();
    std::lock_guard<std::mutex> lock(n.lock);
    n.entries.clear();
    n.interfaces.clear();
}

}  // namespace winsim

using namespace winsim;

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target)
{
    return CreateLink(ToU16(link), ToU16(target));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) { return DeleteLink(ToU16(link)); }

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID *guid, PUNICODE_STRING reference,
                                   PUNICODE_STRING linkName)
{
    const void *caller = __builtin_return_address(0);
    std::u16string instance;
    {
        std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
        instance = RecordOf(pdo)->instanceId;
    }
    if (instance.empty())
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    std::u16string link = u"\\??\\" + instance;
    for (size_t i = 4; i < link.size(); i++)
        if (link[i] == u'\\')
            link[i] = u'#';
    link += u"#" + Wide(GuidText(*guid));
    if (reference != nullptr && reference->Length != 0)
        link += u"\\" + ToU16(reference);
    {
        auto &n = Names();
        std::lock_guard<std::mutex> lock(n.lock);
        bool known = false;
        for (auto &i : n.interfaces)
            if (Key(i.link) == Key(link)) {
                i.pdo = pdo;
                known = true;
            }
        if (!known)
            n.interfaces.push_back(DeviceInterface{link, *guid, pdo, false});
    }
    USHORT bytes = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    auto *buffer = static_cast<PWSTR>(PoolAllocate(PagedPool, bytes + sizeof(WCHAR), 0x53727453 /* 'StrS' */, caller,
                                                   "IoRegisterDeviceInterface"));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    linkName->Buffer = buffer;
    linkName->Length = bytes;
    linkName->MaximumLength = bytes + sizeof(WCHAR);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING linkName, BOOLEAN enable)
{
    std::u16string link = ToU16(linkName);
    PDEVICE_OBJECT pdo = nullptr;
    {
        auto &n = Names();
        std::lock_guard<std::mutex> lock(n.lock);
        DeviceInterface *found = nullptr;
        for (auto &i : n.interfaces)
            if (Key(i.link) == Key(link))
                found = &i;
        if (found == nullptr || (enable && found->pdo == nullptr))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        if (found->enabled == static_cast<bool>(enable))
            return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
        found->enabled = enable;
        pdo = found->pdo;
    }
    if (!enable)
        return DeleteLink(link);
    std::u16string target;
    {
        std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
        target = RecordOf(pdo)->name;
    }
    return CreateLink(link, target);
}

}  // extern "C"
