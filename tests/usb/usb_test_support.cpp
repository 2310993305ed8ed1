// The USB tests' shared fixture and client-driver helpers (see usb_test_support.h).
#include "usb_test_support.h"

namespace winsim::usb::test {

PendingRequest::PendingRequest(PDEVICE_OBJECT target, PVOID argument1, ULONG code) : target_(target)
{
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument1;
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp_, Done, this, TRUE, TRUE, TRUE);
}

PendingRequest::~PendingRequest()
{
    if (sent_)
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp_);
}

NTSTATUS PendingRequest::Done(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto self = static_cast<PendingRequest *>(context);
    self->completionIrql = KeGetCurrentIrql();
    self->completionThread = KeGetCurrentThread();
    self->pendingReturned = irp->PendingReturned;
    self->completedAt = std::chrono::steady_clock::now();
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PendingRequest::Send()
{
    sent_ = true;
    senderThread = KeGetCurrentThread();
    return IoCallDriver(target_, irp_);
}

bool PendingRequest::Wait(std::chrono::milliseconds timeout)
{
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000;
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &due) == STATUS_SUCCESS;
}

bool PendingRequest::Completed() const { return KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }

namespace {

NTSTATUS SendInternal(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PURB urb) { return SendInternal(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

NTSTATUS ResetPort(PDEVICE_OBJECT pdo) { return SendInternal(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr); }

std::vector<UCHAR> ReadConfigurationDescriptor(PDEVICE_OBJECT pdo)
{
    std::vector<UCHAR> buffer(1024);
    auto urb = NewUrb();
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr,
                                 static_cast<ULONG>(buffer.size()), nullptr);
    if (!NT_SUCCESS(SubmitUrb(pdo, urb.get())))
        return {};
    buffer.resize(urb->UrbControlDescriptorRequest.TransferBufferLength);
    return buffer;
}

Configuration Configure(PDEVICE_OBJECT pdo)
{
    Configuration result;
    std::vector<UCHAR> descriptor = ReadConfigurationDescriptor(pdo);
    if (descriptor.empty())
        return result;
    auto c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(c->bNumInterfaces + 1);
    size_t found = 0;
    for (LONG i = 0; i < c->bNumInterfaces; i++) {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(c, c, i, -1, -1, -1, -1);
        if (d == nullptr)
            break;
        list[found++].InterfaceDescriptor = d;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(c, list.data());
    if (urb == nullptr)
        return result;
    result.status = SubmitUrb(pdo, urb);
    result.handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (size_t i = 0; i < found; i++)
        for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; p++)
            result.pipes.push_back(list[i].Interface->Pipes[p]);
    ExFreePool(urb);
    return result;
}

void BuildBulk(URB &urb, USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, ULONG flags, PMDL mdl)
{
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           mdl ? nullptr : buffer, mdl, length, flags, nullptr);
}

void BuildVendor(URB &urb, USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, void *buffer,
                 ULONG length)
{
    UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request,
                          value, index, buffer, nullptr, length, nullptr);
}

void BuildPipeRequest(URB &urb, USHORT function, USBD_PIPE_HANDLE pipe)
{
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
}

PnpAnswer SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setUp)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = minor;
    if (setUp)
        setUp(stack);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    ObDereferenceObject(top);
    return PnpAnswer{status, NT_ERROR(status) ? 0 : iosb.Information};
}

std::vector<std::u16string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, NTSTATUS *status)
{
    PnpAnswer answer =
        SendPnp(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    if (status != nullptr)
        *status = answer.status;
    std::vector<std::u16string> ids;
    auto text = reinterpret_cast<const char16_t *>(answer.information);
    if (!NT_SUCCESS(answer.status) || text == nullptr)
        return ids;
    bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    if (!multi)
        ids.emplace_back(text);
    else
        for (const char16_t *p = text; *p != 0; p += ids.back().size() + 1)
            ids.emplace_back(p);
    ExFreePool(reinterpret_cast<PVOID>(answer.information));
    return ids;
}

void UsbTest::SetUp()
{
    machine_ = std::make_unique<harness::TestMachine>();
    host_ = std::make_unique<UsbHost>(Options());
    printer_ = host_->Plug(PrinterConfig(BuildIdentity()));
    pdo_ = printer_->Pdo();
}

void UsbTest::TearDown()
{
    host_.reset();
    printer_.reset();
    std::vector<std::string> leftovers = machine_->Shutdown();
    for (auto &l : leftovers)
        ADD_FAILURE() << "left behind: " << l;
    machine_.reset();
}

}  // namespace winsim::usb::test
