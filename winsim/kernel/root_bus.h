// winsim's root enumerator (see root_bus.cpp).
#pragma once

#include "internal.h"

namespace winsim {

// A bare PDO on the root bus (no IDs), for stacks a test builds by hand.
PDEVICE_OBJECT CreateRootPdo(const std::u16string &instanceId);
void DeleteRootPdo(PDEVICE_OBJECT pdo);

// A root-enumerated device with IDs, as the Plug and Play manager enumerates
// it. instanceId is the whole device instance ID, e.g. ROOT\PORTS\0000.
PDEVICE_OBJECT CreateRootChild(const std::u16string &instanceId, const std::vector<std::u16string> &hardwareIds,
                               const std::vector<std::u16string> &compatibleIds);
// The device signals wake: its pending wait-wake request completes.
// Returns whether one was pending.
bool SignalRootChildWake(PDEVICE_OBJECT pdo);
// The device is gone: its PDO is deleted at the next remove request.
void MarkRootChildMissing(PDEVICE_OBJECT pdo);

}  // namespace winsim
