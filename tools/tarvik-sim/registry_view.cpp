// Reading the COM port's registry entries (see registry_view.h).
#include "registry_view.h"

#include <windows.h>
#include <winreg.h>

namespace tarvik::sim {
namespace {

// An open registry key, closed when it goes.
class Key {
public:
    Key(HKEY root, const std::string &path)
    {
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~Key()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::string StringData(const BYTE *data, DWORD size)
{
    std::string s(reinterpret_cast<const char *>(data), size);
    while (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

}  // namespace

std::vector<SerialCommEntry> SerialCommPorts()
{
    std::vector<SerialCommEntry> ports;
    Key key(HKEY_LOCAL_MACHINE, kSerialCommKey);
    if (key.get() == nullptr)
        return ports;
    for (DWORD index = 0;; index++) {
        char name[256];
        BYTE data[256];
        DWORD nameLength = sizeof name, dataSize = sizeof data, type = 0;
        if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        if (type == REG_SZ)
            ports.push_back({std::string(name, nameLength), StringData(data, dataSize)});
    }
    return ports;
}

std::string DeviceParametersKey(const std::string &instanceId)
{
    return "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters";
}

std::string DevicePortName(const std::string &instanceId)
{
    Key key(HKEY_LOCAL_MACHINE, DeviceParametersKey(instanceId));
    if (key.get() == nullptr)
        return "";
    BYTE data[256];
    DWORD size = sizeof data, type = 0;
    if (RegQueryValueExA(key.get(), "PortName", nullptr, &type, data, &size) != ERROR_SUCCESS || type != REG_SZ)
        return "";
    return StringData(data, size);
}

}  // namespace tarvik::sim
