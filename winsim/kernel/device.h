// Device objects as the I/O manager tracks them.
#pragma once

#include "internal.h"

namespace winsim {

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;                     // empty when unnamed
    size_t allocationBytes = 0;
    LONG references = 1;                     // existence plus ObReferenceObject
    bool deleted = false;
    PDEVICE_OBJECT attachedTo = nullptr;     // the device directly below
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    std::u16string instanceId;               // PDOs: the device instance ID
    void *node = nullptr;                    // PDOs: the Plug and Play manager's device node
};

std::mutex &DeviceDatabaseLock();
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
// Gives a device object an instance ID, which makes it a PDO that device
// interfaces can be registered on.
void SetDeviceInstanceId(PDEVICE_OBJECT pdo, const std::u16string &instanceId);
void DisableInterfacesOf(PDEVICE_OBJECT pdo);

}  // namespace winsim
