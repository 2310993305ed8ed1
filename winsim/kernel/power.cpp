// Power manager routines drivers call: passing power IRPs, requesting one for
// a device stack, and recording a device's power state.
#include "device.h"
#include "irp.h"
#include "pnp.h"

namespace winsim {
namespace {

struct PowerRequest {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

// Completion of a power IRP the power manager requested: the requester's
// function is called with the outcome, then the IRP is the power manager's to free.
NTSTATUS PowerRequestComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *request = static_cast<PowerRequest *>(context);
    if (request->completion != nullptr) {
        CallbackGuard guard("power completion function", reinterpret_cast<const void *>(request->completion));
        request->completion(request->device, request->minor, request->state, request->context, &irp->IoStatus);
    }
    // A device that signalled wake while the system slept wakes the system.
    if (request->minor == IRP_MN_WAIT_WAKE && NT_SUCCESS(irp->IoStatus.Status))
        pnp::OnWake();
    delete request;
    FreeIrp(irp, nullptr);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace
}  // namespace winsim

using namespace winsim;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
        BugCheck("NOT_A_POWER_IRP", "PoCallDriver with a request that is not IRP_MJ_POWER", __builtin_return_address(0));
    return IofCallDriver(device, irp);
}

VOID PoStartNextPowerIrp(PIRP irp)
{
    // Since Windows Vista power IRPs are not serialized per device; the call
    // remains valid and does nothing.
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE completion,
                           PVOID context, PIRP *irpOut)
{
    const void *caller = __builtin_return_address(0);
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = AllocateIrp(static_cast<CCHAR>(top->StackSize + 1), caller, "PoRequestPowerIrp");
    if (irp == nullptr) {
        DereferenceDevice(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RecordOfIrp(irp, caller, "PoRequestPowerIrp")->allocatorModule = nullptr;
    // The power manager's own location, so the completion routine receives
    // the requesting device object.
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = state;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, PowerRequestComplete, new PowerRequest{device, minor, state, completion, context}, TRUE,
                           TRUE, TRUE);
    if (irpOut != nullptr)
        *irpOut = irp;
    PoCallDriver(top, irp);
    DereferenceDevice(top);
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state)
{
    POWER_STATE previous;
    std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
    auto *rec = RecordOf(device);
    previous.DeviceState = rec->powerState;
    if (type == DevicePowerState)
        rec->powerState = state.DeviceState;
    return previous;
}

}  // extern "C"
