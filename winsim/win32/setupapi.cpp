// The setup API's device-information functions: device information sets made
// from the Plug and Play manager's device tree (present and not-present
// devices) and from the device interfaces drivers register, the documented
// size protocols of their queries, and DIF_REMOVE through the Plug and Play
// manager's uninstall.
#include "handles.h"
#include "session_state.h"
#include "windows_paths.h"

#include "../kernel/device.h"
#include "../kernel/internal.h"
#include "../kernel/machine.h"
#include "../kernel/pnp.h"
#include "../registry/registry.h"
#include "../setup/inf_file.h"
#include "../setup/installer.h"

#include <setupapi.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using namespace winsim;
using namespace winsim::win32;

namespace {

// ------------------------------------------------------------------ sets

struct DeviceElement {
    std::u16string instanceId;
    pnp::DeviceNode *node = nullptr;  // nullptr: a stack built outside the device tree
    DWORD devInst = 0;
    DWORD installFlags = 0;
};

struct InterfaceElement {
    GUID guid;
    std::u16string link;  // \??\ROOT#...#{guid}
    bool active;
    size_t device;        // index into the set's devices
};

struct DeviceInfoSet {
    std::mutex lock;
    std::vector<DeviceElement> devices;
    std::vector<InterfaceElement> interfaces;
    DWORD installFlags = 0;
};

// The process's open device information sets, by handle.
class SetTable {
public:
    HDEVINFO Insert(std::shared_ptr<DeviceInfoSet> set)
    {
        auto handle = static_cast<HDEVINFO>(set.get());
        std::lock_guard<std::mutex> guard(lock_);
        sets_[handle] = std::move(set);
        return handle;
    }
    std::shared_ptr<DeviceInfoSet> Find(HDEVINFO handle)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = sets_.find(handle);
        return it == sets_.end() ? nullptr : it->second;
    }
    bool Remove(HDEVINFO handle)
    {
        std::lock_guard<std::mutex> guard(lock_);
        return sets_.erase(handle) != 0;
    }

private:
    std::mutex lock_;
    std::map<HDEVINFO, std::shared_ptr<DeviceInfoSet>> sets_;
};

SetTable &Sets()
{
    static SetTable sets;
    return sets;
}

// DevInst values: one per device instance ID for the life of the process, so
// that every set gives a device the same one, as Windows does.
DWORD DevInstOf(const std::u16string &instanceId)
{
    static std::mutex lock;
    static std::map<std::u16string, DWORD> numbers;
    std::lock_guard<std::mutex> guard(lock);
    auto [it, added] = numbers.emplace(instanceId, static_cast<DWORD>(numbers.size() + 1));
    return it->second;
}

// ------------------------------------------------------------------ names

char16_t Upcase(char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; }
char16_t Downcase(char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; }

bool SameText(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upcase(a[i]) != Upcase(b[i]))
            return false;
    return true;
}

std::u16string EnumeratorOf(const std::u16string &instanceId) { return instanceId.substr(0, instanceId.find(u'\\')); }

// \??\ROOT#RECORDING_SERIAL#0000#{guid}[\reference] names device ROOT\RECORDING_SERIAL\0000.
std::u16string InstanceIdOfLink(const std::u16string &link)
{
    size_t begin = link.find(u'\\', 1);
    size_t end = link.rfind(u"#{");
    if (begin == std::u16string::npos || end == std::u16string::npos || end <= begin)
        return {};
    std::u16string id = link.substr(begin + 1, end - begin - 1);
    for (auto &c : id)
        if (c == u'#')
            c = u'\\';
    return id;
}

// The Win32 form of an interface's symbolic link, which CreateFile accepts:
// \\?\ in place of \??\, in lower case as the setup API reports it.
std::u16string DevicePathOf(const std::u16string &link)
{
    std::u16string path = u"\\\\?\\" + link.substr(link.find(u'\\', 1) + 1);
    for (auto &c : path)
        c = Downcase(c);
    return path;
}

std::u16string FromNarrow(PCSTR s)
{
    std::u16string out;
    while (*s)
        out += static_cast<char16_t>(static_cast<unsigned char>(*s++));
    return out;
}

// Narrow text of an ID; IDs are ASCII.
std::string ToNarrow(const std::u16string &s)
{
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// ------------------------------------------------------------------ building sets

size_t AddDevice(DeviceInfoSet &set, const std::u16string &instanceId, pnp::DeviceNode *node)
{
    for (size_t i = 0; i < set.devices.size(); i++)
        if (set.devices[i].instanceId == instanceId)
            return i;
    DeviceElement element;
    element.instanceId = instanceId;
    element.node = node;
    element.devInst = DevInstOf(instanceId);
    set.devices.push_back(std::move(element));
    return set.devices.size() - 1;
}

// Enumerator: an enumerator name ("ROOT", "USB"); for interface sets also a
// device instance ID.
bool MatchesEnumerator(const std::u16string &instanceId, const std::optional<std::u16string> &enumerator,
                       bool instanceIdAllowed)
{
    if (!enumerator)
        return true;
    if (instanceIdAllowed && SameText(instanceId, *enumerator))
        return true;
    return SameText(EnumeratorOf(instanceId), *enumerator);
}

void AddInterfaces(DeviceInfoSet &set, const GUID *classGuid, const std::optional<std::u16string> &enumerator,
                   DWORD flags)
{
    bool presentOnly = flags & DIGCF_PRESENT;
    for (const DeviceInterface &i : ListInterfaces()) {
        if (!(flags & DIGCF_ALLCLASSES) && i.guid != *classGuid)
            continue;
        if (presentOnly && !i.enabled)
            continue;
        pnp::DeviceNode *node = i.pdo != nullptr ? pnp::NodeOfPdo(i.pdo) : nullptr;
        std::u16string instanceId = node != nullptr ? pnp::IdentityOf(node).instanceId : InstanceIdOfLink(i.link);
        if (node == nullptr)
            node = pnp::FindNode(instanceId);
        if (presentOnly && node != nullptr && !pnp::IsPresent(node))
            continue;
        if (!MatchesEnumerator(instanceId, enumerator, true))
            continue;
        size_t device = AddDevice(set, instanceId, node);
        set.interfaces.push_back(InterfaceElement{i.guid, i.link, i.enabled, device});
    }
}

// The device tree holds no setup class for a device, so a set of one class
// (no DIGCF_ALLCLASSES) finds no device.
void AddDevices(DeviceInfoSet &set, const std::optional<std::u16string> &enumerator, DWORD flags)
{
    if (!(flags & DIGCF_ALLCLASSES))
        return;
    for (pnp::DeviceNode *node : pnp::AllNodes()) {
        if ((flags & DIGCF_PRESENT) && !pnp::IsPresent(node))
            continue;
        std::u16string instanceId = pnp::IdentityOf(node).instanceId;
        if (MatchesEnumerator(instanceId, enumerator, false))
            AddDevice(set, instanceId, node);
    }
}

HDEVINFO GetClassDevs(const GUID *classGuid, const std::optional<std::u16string> &enumerator, DWORD flags)
{
    if (classGuid == nullptr && !(flags & DIGCF_ALLCLASSES)) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    if (flags & DIGCF_DEVICEINTERFACE)
        AddInterfaces(*set, classGuid, enumerator, flags);
    else
        AddDevices(*set, enumerator, flags);
    return Sets().Insert(std::move(set));
}

// ------------------------------------------------------------------ lookups

// A set, locked for the call; ERROR_INVALID_HANDLE when there is none.
class LockedSet {
public:
    explicit LockedSet(HDEVINFO handle) : set_(Sets().Find(handle))
    {
        if (set_ == nullptr)
            Fail(ERROR_INVALID_HANDLE);
        else
            guard_ = std::unique_lock<std::mutex>(set_->lock);
    }
    explicit operator bool() const { return set_ != nullptr; }
    DeviceInfoSet *operator->() const { return set_.get(); }
    DeviceInfoSet &operator*() const { return *set_; }
    void Unlock() { guard_.unlock(); }
    void Lock() { guard_.lock(); }

private:
    std::shared_ptr<DeviceInfoSet> set_;
    std::unique_lock<std::mutex> guard_;
};

// The element an SP_DEVINFO_DATA of this set names; ERROR_INVALID_PARAMETER otherwise.
DeviceElement *ElementOf(DeviceInfoSet &set, PSP_DEVINFO_DATA data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > set.devices.size() || set.devices[data->Reserved - 1].devInst != data->DevInst) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set.devices[data->Reserved - 1];
}

InterfaceElement *InterfaceOf(DeviceInfoSet &set, PSP_DEVICE_INTERFACE_DATA data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set.interfaces.size()) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set.interfaces[data->Reserved - 1];
}

// The device tree keeps no setup class, so ClassGuid is GUID_NULL.
void FillDeviceData(const DeviceInfoSet &set, size_t index, PSP_DEVINFO_DATA data)
{
    data->ClassGuid = GUID{};
    data->DevInst = set.devices[index].devInst;
    data->Reserved = index + 1;
}

// ------------------------------------------------------------------ properties

struct Property {
    DWORD type;
    std::vector<std::u16string> strings;  // one for REG_SZ
};

std::optional<Property> PropertyOf(const DeviceElement &device, DWORD property)
{
    switch (property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS: {
        if (device.node == nullptr)
            return std::nullopt;
        pnp::DeviceIdentity identity = pnp::IdentityOf(device.node);
        auto &ids = property == SPDRP_HARDWAREID ? identity.hardwareIds : identity.compatibleIds;
        if (ids.empty())
            return std::nullopt;
        return Property{REG_MULTI_SZ, ids};
    }
    case SPDRP_ENUMERATOR_NAME:
        return Property{REG_SZ, {EnumeratorOf(device.instanceId)}};
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME: {
        PDEVICE_OBJECT pdo = device.node != nullptr ? pnp::PdoOf(device.node) : nullptr;
        if (pdo == nullptr)
            return std::nullopt;
        std::u16string name;
        {
            std::lock_guard<std::mutex> guard(DeviceDatabaseLock());
            name = RecordOf(pdo)->name;
        }
        if (name.empty())
            return std::nullopt;
        return Property{REG_SZ, {name}};
    }
    default:
        // Descriptions, class, driver and the rest come from installation,
        // which the device tree does not record.
        return std::nullopt;
    }
}

// The property's bytes in narrow or wide characters: each string with its
// terminator, and a REG_MULTI_SZ list ended by an empty string.
std::vector<BYTE> PropertyBytes(const Property &p, bool wide)
{
    std::vector<BYTE> bytes;
    auto put = [&](char16_t c) {
        if (wide) {
            bytes.push_back(static_cast<BYTE>(c & 0xFF));
            bytes.push_back(static_cast<BYTE>(c >> 8));
        } else {
            bytes.push_back(static_cast<BYTE>(c < 0x80 ? c : u'?'));
        }
    };
    for (const auto &s : p.strings) {
        for (char16_t c : s)
            put(c);
        put(0);
    }
    if (p.type == REG_MULTI_SZ)
        put(0);
    return bytes;
}

BOOL GetRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                         DWORD size, PDWORD required, bool wide)
{
    LockedSet set(handle);
    if (!set)
        return FALSE;
    DeviceElement *device = ElementOf(*set, data);
    if (device == nullptr)
        return FALSE;
    if (property >= SPDRP_MAXIMUM_PROPERTY)
        return Fail(ERROR_INVALID_REG_PROPERTY);
    if (buffer == nullptr && size != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    std::optional<Property> value = PropertyOf(*device, property);
    if (!value)
        return Fail(ERROR_INVALID_DATA);
    std::vector<BYTE> bytes = PropertyBytes(*value, wide);
    if (type != nullptr)
        *type = value->type;
    if (required != nullptr)
        *required = static_cast<DWORD>(bytes.size());
    if (size < bytes.size())
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(buffer, bytes.data(), bytes.size());
    return TRUE;
}

// ------------------------------------------------------------------ interface detail

// The documented two-call protocol: with no buffer (and size 0) the call fails
// with ERROR_INSUFFICIENT_BUFFER and reports the size; cbSize must be the
// fixed part's size; the buffer must hold the fixed part and the whole path.
template <typename Detail, typename Char>
BOOL GetInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData, Detail *detail, DWORD size,
                        PDWORD required, PSP_DEVINFO_DATA deviceData)
{
    LockedSet set(handle);
    if (!set)
        return FALSE;
    InterfaceElement *element = InterfaceOf(*set, interfaceData);
    if (element == nullptr)
        return FALSE;
    if (detail != nullptr && detail->cbSize != sizeof(Detail))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (detail == nullptr && size != 0)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (detail != nullptr && size < offsetof(Detail, DevicePath) + sizeof(Char))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (deviceData != nullptr) {
        if (deviceData->cbSize != sizeof(SP_DEVINFO_DATA))
            return Fail(ERROR_INVALID_USER_BUFFER);
        FillDeviceData(*set, element->device, deviceData);
    }
    std::u16string path = DevicePathOf(element->link);
    DWORD needed = static_cast<DWORD>(offsetof(Detail, DevicePath) + (path.size() + 1) * sizeof(Char));
    if (required != nullptr)
        *required = needed;
    if (size < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < path.size(); i++)
        detail->DevicePath[i] = static_cast<Char>(path[i]);
    detail->DevicePath[path.size()] = 0;
    return TRUE;
}

// ------------------------------------------------------------------ instance IDs, install parameters

template <typename Char>
BOOL GetInstanceId(HDEVINFO handle, PSP_DEVINFO_DATA data, Char *buffer, DWORD size, PDWORD required)
{
    LockedSet set(handle);
    if (!set)
        return FALSE;
    DeviceElement *device = ElementOf(*set, data);
    if (device == nullptr)
        return FALSE;
    DWORD needed = static_cast<DWORD>(device->instanceId.size() + 1);
    if (required != nullptr)
        *required = needed;
    if (size < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (buffer == nullptr)
        return Fail(ERROR_INVALID_USER_BUFFER);
    std::u16string id = sizeof(Char) == 1 ? FromNarrow(ToNarrow(device->instanceId).c_str()) : device->instanceId;
    for (size_t i = 0; i < id.size(); i++)
        buffer[i] = static_cast<Char>(id[i]);
    buffer[id.size()] = 0;
    return TRUE;
}

template <typename Params>
BOOL GetInstallParams(HDEVINFO handle, PSP_DEVINFO_DATA data, Params *params)
{
    LockedSet set(handle);
    if (!set)
        return FALSE;
    DWORD flags = set->installFlags;
    if (data != nullptr) {
        DeviceElement *device = ElementOf(*set, data);
        if (device == nullptr)
            return FALSE;
        flags = device->installFlags;
    }
    if (params == nullptr || params->cbSize != sizeof(Params))
        return Fail(ERROR_INVALID_USER_BUFFER);
    *params = Params{};
    params->cbSize = sizeof(Params);
    params->Flags = flags;
    return TRUE;
}

// DIF_REMOVE: the Plug and Play manager removes the device's stack, and the
// device's keys go (a device that is not present has only its keys to lose).
// A device whose removal is vetoed is removed at the next restart, and the
// set and the device say so with DI_NEEDREBOOT; its keys stay until then.
// The element stays in the set. A 32-bit program on 64-bit Windows may not
// remove devices at all.
BOOL RemoveDevice(LockedSet &set, PSP_DEVINFO_DATA data)
{
    if (Session::Current().config.wow64)
        return Fail(ERROR_IN_WOW64);
    if (data == nullptr)
        return Fail(ERROR_NO_DEVICE_SELECTED);
    DeviceElement *device = ElementOf(*set, data);
    if (device == nullptr)
        return FALSE;
    if (device->node == nullptr)
        return Fail(ERROR_NO_SUCH_DEVINST);
    pnp::DeviceNode *node = device->node;
    size_t index = data->Reserved - 1;
    set.Unlock();  // removal runs drivers; other calls on the set may go on meanwhile
    pnp::UninstallResult result = pnp::Uninstall(node);
    set.Lock();
    if (result.needsRestart) {
        set->devices[index].installFlags |= DI_NEEDREBOOT;
        set->installFlags |= DI_NEEDREBOOT;
    } else if (Machine *machine = Machine::CurrentOrNull()) {
        machine->Setup().RemoveDevice(ToNarrow(set->devices[index].instanceId));
    }
    return TRUE;
}

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, hexadecimal digits in either case.
bool ParseGuid(const std::string &text, GUID *guid)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    std::string digits;
    for (size_t i = 1; i < 37; i++) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash != (text[i] == '-') || (!dash && !isxdigit(static_cast<unsigned char>(text[i]))))
            return false;
        if (!dash)
            digits += text[i];
    }
    auto hex = [&](size_t at, size_t count) { return std::stoull(digits.substr(at, count), nullptr, 16); };
    guid->Data1 = static_cast<ULONG>(hex(0, 8));
    guid->Data2 = static_cast<USHORT>(hex(8, 4));
    guid->Data3 = static_cast<USHORT>(hex(12, 4));
    for (size_t i = 0; i < 8; i++)
        guid->Data4[i] = static_cast<UCHAR>(hex(16 + 2 * i, 2));
    return true;
}

// The [Version] section's class: ClassGuid, or the GUID of the class Class
// names among the machine's setup classes (GUID_NULL when it has none).
BOOL GetInfClass(PCSTR infName, LPGUID classGuid, PSTR className, DWORD classNameSize, PDWORD requiredSize)
{
    if (infName == nullptr || classGuid == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string name = infName;
    if (name.find_first_of("\\/") == std::string::npos)
        name = WindowsFolder() + "\\INF\\" + name;
    std::optional<std::filesystem::path> host = HostPathOf(name);
    std::error_code error;
    if (!host || !std::filesystem::is_regular_file(*host, error))
        return Fail(ERROR_FILE_NOT_FOUND);
    std::optional<std::string> guidText, classText;
    try {
        setup::InfFile inf = setup::InfFile::Load(*host);
        const setup::InfLine *signature = inf.FindKey("Version", "Signature");
        if (signature == nullptr)
            return Fail(ERROR_WRONG_INF_STYLE);
        if (const setup::InfLine *line = inf.FindKey("Version", "ClassGuid"))
            guidText = line->Field(0);
        if (const setup::InfLine *line = inf.FindKey("Version", "Class"))
            classText = line->Field(0);
    } catch (const std::exception &) {
        return Fail(ERROR_WRONG_INF_STYLE);
    }
    if (!guidText && !classText)
        return Fail(ERROR_NO_ASSOCIATED_CLASS);
    GUID guid{};
    if (guidText && !ParseGuid(*guidText, &guid))
        return Fail(ERROR_INVALID_CLASS);
    std::string text = classText.value_or("");
    if (requiredSize != nullptr)
        *requiredSize = static_cast<DWORD>(text.size() + 1);
    if (className == nullptr || classNameSize < text.size() + 1)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(className, text.c_str(), text.size() + 1);
    *classGuid = guid;
    return TRUE;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    std::optional<std::u16string> enumerator;
    if (Enumerator != nullptr)
        enumerator = FromNarrow(Enumerator);
    return GetClassDevs(ClassGuid, enumerator, Flags);
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    std::optional<std::u16string> enumerator;
    if (Enumerator != nullptr)
        enumerator = ToU16(Enumerator);
    return GetClassDevs(ClassGuid, enumerator, Flags);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    return Sets().Remove(DeviceInfoSet) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    LockedSet set(DeviceInfoSet);
    if (!set)
        return FALSE;
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (MemberIndex >= set->devices.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    FillDeviceData(*set, MemberIndex, DeviceInfoData);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    LockedSet set(DeviceInfoSet);
    if (!set)
        return FALSE;
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    std::optional<size_t> device;
    if (DeviceInfoData != nullptr) {
        DeviceElement *element = ElementOf(*set, DeviceInfoData);
        if (element == nullptr)
            return FALSE;
        device = static_cast<size_t>(element - set->devices.data());
    }
    DWORD index = 0;
    for (size_t i = 0; i < set->interfaces.size(); i++) {
        const InterfaceElement &element = set->interfaces[i];
        if (element.guid != *InterfaceClassGuid || (device && element.device != *device))
            continue;
        if (index++ != MemberIndex)
            continue;
        DeviceInterfaceData->InterfaceClassGuid = element.guid;
        DeviceInterfaceData->Flags = element.active ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;
        return TRUE;
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    return GetInterfaceDetail<SP_DEVICE_INTERFACE_DETAIL_DATA_A, CHAR>(
        DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize, RequiredSize,
        DeviceInfoData);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    return GetInterfaceDetail<SP_DEVICE_INTERFACE_DETAIL_DATA_W, WCHAR>(
        DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize, RequiredSize,
        DeviceInfoData);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    return GetRegistryProperty(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                               PropertyBufferSize, RequiredSize, false);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    return GetRegistryProperty(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                               PropertyBufferSize, RequiredSize, true);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    return GetInstanceId(DeviceInfoSet, DeviceInfoData, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    return GetInstanceId(DeviceInfoSet, DeviceInfoData, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams)
{
    return GetInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams)
{
    return GetInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
}

BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName, DWORD ClassNameSize,
                                PDWORD RequiredSize)
{
    return GetInfClass(InfName, ClassGuid, ClassName, ClassNameSize, RequiredSize);
}

// Only DIF_REMOVE is carried out; the other functions are left to their
// default handling, which winsim does not simulate.
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    LockedSet set(DeviceInfoSet);
    if (!set)
        return FALSE;
    if (InstallFunction != DIF_REMOVE)
        return Fail(ERROR_DI_DO_DEFAULT);
    return RemoveDevice(set, DeviceInfoData);
}

}  // extern "C"
