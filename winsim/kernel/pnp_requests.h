// Requests the Plug and Play and power managers send to a device stack.
#pragma once

#include "internal.h"

namespace winsim::pnp {

struct StackResult {
    NTSTATUS status;
    ULONG_PTR information;  // valid when the status is a success
};

// Sends a PnP request (IRP_MJ_PNP, starting with STATUS_NOT_SUPPORTED as on
// Windows) to the top of the stack the device is in, and waits for it.
StackResult SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)> &setup = nullptr);

// Sends a system power request (IRP_MJ_POWER) to the top of the stack.
StackResult SendSystemPower(PDEVICE_OBJECT device, UCHAR minor, SYSTEM_POWER_STATE state);

// The strings of an IRP_MN_QUERY_ID answer for hardware or compatible IDs (a
// REG_MULTI_SZ list);
// frees the answer.
std::vector<std::u16string> TakeIdList(ULONG_PTR information);
// The one string of a device or instance ID answer (freed the same way).
std::u16string TakeIdString(ULONG_PTR information);
// The devices of an IRP_MN_QUERY_DEVICE_RELATIONS answer, each still holding
// the reference the bus driver took; frees the answer.
std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR information);

}  // namespace winsim::pnp
