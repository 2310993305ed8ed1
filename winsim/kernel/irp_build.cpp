// Requests the I/O manager builds for a caller ("threaded" IRPs) and their
// final completion: buffered output copied back, the caller's I/O status
// block and event set, buffers and MDLs released, the IRP freed.
#include "irp.h"
#include "machine.h"

namespace winsim {

extern const ULONG kSystemBufferTag = 0x42536F49;  // 'IoSB'

// Builds the buffers of a device-control request according to the method
// bits of its control code.
bool SetUpControlBuffers(PIRP irp, PIO_STACK_LOCATION stack, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength, ThreadedRequest *request)
{
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG length = inputLength > outputLength ? inputLength : outputLength;
        if (length != 0) {
            irp->AssociatedIrp.SystemBuffer = PoolAllocate(NonPagedPoolNx, length, kSystemBufferTag, nullptr, nullptr);
            if (input != nullptr && inputLength != 0)
                memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (output != nullptr && outputLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                request->userBuffer = output;
                request->userBufferLength = outputLength;
                request->copyBack = true;
            }
        }
        irp->UserBuffer = output;
        return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (input != nullptr && inputLength != 0) {
            irp->AssociatedIrp.SystemBuffer = PoolAllocate(NonPagedPoolNx, inputLength, kSystemBufferTag, nullptr, nullptr);
            memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (output != nullptr && outputLength != 0) {
            if (IoAllocateMdl(output, outputLength, FALSE, FALSE, irp) == nullptr)
                return false;
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
            irp->MdlAddress->MdlFlags |= MDL_PAGES_LOCKED;
        }
        irp->UserBuffer = output;
        return true;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        return true;
    }
}

namespace {

void ReleaseBuffers(PIRP irp)
{
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr)
        PoolFree(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, true, nullptr);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

}  // namespace

PIRP BuildControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb,
                         const void *caller, ThreadedRequest request)
{
    if (ShouldFailAllocation("IoBuildDeviceIoControlRequest", caller))
        return nullptr;
    PIRP irp = AllocateIrp(device->StackSize, caller, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    if (!SetUpControlBuffers(irp, stack, input, inputLength, output, outputLength, &request)) {
        ReleaseBuffers(irp);
        FreeIrp(irp, caller);
        return nullptr;
    }
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    AttachThreadedRequest(irp, std::move(request));
    return irp;
}

void CompleteThreadedIrp(PIRP irp, IrpRecord *rec)
{
    NTSTATUS status = irp->IoStatus.Status;
    ThreadedRequest &request = rec->request;
    if (request.copyBack && !NT_ERROR(status)) {
        if (irp->IoStatus.Information > request.userBufferLength)
            BugCheck("INFORMATION_TOO_LARGE",
                     rec->description + " completed with Information " + std::to_string(irp->IoStatus.Information) +
                         ", larger than its " + std::to_string(request.userBufferLength) + "-byte output buffer",
                     rec->completer);
        memcpy(request.userBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    ReleaseBuffers(irp);
    // The file object is let go of before the caller learns the outcome, as
    // on Windows, where this runs in the caller's thread before it resumes:
    // a close right after the request is not left to a late final reference.
    // When the event to set is the file object's own, that must wait.
    auto onFinal = std::move(request.onFinal);
    bool ownEvent = request.fileObject != nullptr && irp->UserEvent == &request.fileObject->Event;
    if (onFinal && !ownEvent)
        onFinal(irp);
    // A request that failed without pending reports its status through the
    // return value of IoCallDriver only: the caller's event stays clear.
    if (!NT_ERROR(status) || irp->PendingReturned) {
        // The status goes last: a caller polling it (GetOverlappedResult)
        // finds the byte count already there.
        if (irp->UserIosb != nullptr) {
            irp->UserIosb->Information = irp->IoStatus.Information;
            __atomic_store_n(&irp->UserIosb->Status, status, __ATOMIC_RELEASE);
        }
        if (irp->UserEvent != nullptr)
            KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    request.keepAlive.reset();
    if (onFinal && ownEvent)
        onFinal(irp);
    {
        std::lock_guard<std::mutex> lock(rec->lock);
        rec->state = IrpState::Finished;
    }
    FreeIrp(irp, nullptr);
}

NTSTATUS WaitForEvent(PKEVENT event);

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        WaitForEvent(event);
        status = iosb->Status;
    }
    return status;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    ThreadedRequest request;
    request.threadId = CurrentThread().id;
    return BuildControlRequest(code, device, input, inputLength, output, outputLength, internal, event, iosb,
                               __builtin_return_address(0), std::move(request));
}

PIRP IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    const void *caller = __builtin_return_address(0);
    if (ShouldFailAllocation("IoBuildSynchronousFsdRequest", caller))
        return nullptr;
    PIRP irp = AllocateIrp(device->StackSize, caller, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(major);
    ThreadedRequest request;
    request.threadId = CurrentThread().id;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = length;
        if (offset != nullptr)
            stack->Parameters.Read.ByteOffset = *offset;
        if (device->Flags & DO_BUFFERED_IO) {
            irp->AssociatedIrp.SystemBuffer = PoolAllocate(NonPagedPoolNx, length ? length : 1, 0x42536F49, nullptr, nullptr);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (major == IRP_MJ_WRITE)
                memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
            else {
                irp->Flags |= IRP_INPUT_OPERATION;
                request.userBuffer = buffer;
                request.userBufferLength = length;
                request.copyBack = true;
            }
        } else if (device->Flags & DO_DIRECT_IO) {
            IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
        } else {
            irp->UserBuffer = buffer;
        }
    }
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    AttachThreadedRequest(irp, std::move(request));
    return irp;
}

BOOLEAN IoIsOperationSynchronous(PIRP irp) { return (irp->Flags & IRP_SYNCHRONOUS_API) != 0; }

}  // extern "C"
