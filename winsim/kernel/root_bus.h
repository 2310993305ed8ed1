// winsim's root enumerator (see root_bus.cpp).
#pragma once

#include "internal.h"

namespace winsim {

// A new PDO on the root bus with the given device instance ID
// (e.g. u"ROOT\\WINSIM\\0000"), ready for drivers to attach to.
PDEVICE_OBJECT CreateRootPdo(const std::u16string &instanceId);
void DeleteRootPdo(PDEVICE_OBJECT pdo);

}  // namespace winsim
