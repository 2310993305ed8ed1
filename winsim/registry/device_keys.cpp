// IoOpenDeviceRegistryKey: the hardware key (Enum\<instance>\Device
// Parameters) and the software key (Control\Class\{guid}\NNNN, named by the
// instance key's "Driver" value) of a device, for its PDO only.
#include "kernel_calls.h"
#include "registry.h"
#include "text.h"

#include "../kernel/device.h"
#include "../kernel/lowres.h"

using namespace winsim;
using namespace winsim::registry;

namespace {

const std::u16string kProfileRoot =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet";

NTSTATUS KeyPath(const std::u16string &instanceId, ULONG type, std::u16string *path)
{
    bool profile = (type & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
    std::u16string instanceKey = Utf8ToUtf16(kEnumKey) + u"\\" + instanceId;
    if (type & PLUGPLAY_REGKEY_DEVICE) {
        *path = profile ? kProfileRoot + u"\\Enum\\" + instanceId : instanceKey + u"\\Device Parameters";
        return STATUS_SUCCESS;
    }
    KeyRef instance;
    StoredValue driver;
    NTSTATUS status = TheStore().Open(nullptr, instanceKey, &instance);
    if (NT_SUCCESS(status))
        status = TheStore().QueryValue(instance, u"Driver", &driver);
    if (!NT_SUCCESS(status))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string driverKey = StringFromData(driver.data);
    *path = profile ? kProfileRoot + u"\\Control\\Class\\" + driverKey
                    : Utf8ToUtf16(kClassKey) + u"\\" + driverKey;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG keyType, ACCESS_MASK desiredAccess,
                                            PHANDLE deviceRegKey)
{
    const void *caller = __builtin_return_address(0);
    RequirePassiveLevel("IoOpenDeviceRegistryKey", caller);
    RequirePointer(deviceObject, "IoOpenDeviceRegistryKey", "DeviceObject", caller);
    RequirePointer(deviceRegKey, "IoOpenDeviceRegistryKey", "DeviceRegKey", caller);
    *deviceRegKey = nullptr;
    constexpr ULONG kKnown = PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
    bool device = keyType & PLUGPLAY_REGKEY_DEVICE, driver = keyType & PLUGPLAY_REGKEY_DRIVER;
    if ((keyType & ~kKnown) != 0 || device == driver)
        return STATUS_INVALID_PARAMETER;
    std::u16string instanceId;
    {
        std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
        instanceId = RecordOf(deviceObject)->instanceId;
    }
    if (instanceId.empty())
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    if (ShouldFailAllocation("IoOpenDeviceRegistryKey", caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string path;
    NTSTATUS status = KeyPath(instanceId, keyType, &path);
    if (!NT_SUCCESS(status))
        return status;
    KeyRef key;
    status = TheStore().Create(nullptr, path, true, &key, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    *deviceRegKey = InsertKernelHandle(key, desiredAccess, caller);
    return STATUS_SUCCESS;
}
