// File objects and the requests applications issue through them. A file
// object is bound to the device object its name resolved to (for a Plug and
// Play stack, the PDO); every request goes to the top of that device's stack
// as it is at that moment.
#include "file.h"

#include "device.h"
#include "irp.h"
#include "pnp.h"

#include <mutex>

namespace winsim::io {
namespace {

constexpr CSHORT kIoTypeFile = 5;

struct FileRecord {
    std::atomic<LONG> references{1};
    LONG handles = 1;
    bool synchronous = true;
    std::mutex serialize;            // one request at a time on a synchronous handle
    std::u16string fileName;         // storage of FileObject->FileName
};

std::atomic<size_t> g_openFiles{0};

FileRecord *RecordOfFile(PFILE_OBJECT file) { return static_cast<FileRecord *>(file->FileObjectExtension); }

NTSTATUS WaitFor(PKEVENT event, PIO_STATUS_BLOCK iosb, NTSTATUS status)
{
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    return iosb->Status;
}

// Sends an IRP_MJ_CLEANUP or IRP_MJ_CLOSE for the file object and waits.
void SendLifetimeRequest(PFILE_OBJECT file, UCHAR major)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = AllocateIrp(top->StackSize, nullptr, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags = IRP_SYNCHRONOUS_API | (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    irp->RequestorMode = UserMode;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    ThreadedRequest request;
    request.threadId = CurrentThread().id;
    request.synchronous = true;
    AttachThreadedRequest(irp, std::move(request));
    WaitFor(&event, &iosb, IoCallDriver(top, irp));
    DereferenceDevice(top);
}

void DeleteFileObject(PFILE_OBJECT file)
{
    SendLifetimeRequest(file, IRP_MJ_CLOSE);
    PDEVICE_OBJECT device = file->DeviceObject;
    DeviceClosed(device);
    if (DeviceOpenCount(device) == 0)
        pnp::OnLastHandleClosed(device);
    DereferenceDevice(device);
    delete RecordOfFile(file);
    memset(file, 0xDD, sizeof *file);
    delete file;
    g_openFiles--;
}

// How the buffers of a read or write reach the driver depends on the flags
// of the device at the top of the stack.
void SetUpTransferBuffers(PIRP irp, PDEVICE_OBJECT top, const Request &request, ThreadedRequest *threaded)
{
    bool isWrite = request.major == IRP_MJ_WRITE;
    void *buffer = isWrite ? request.input : request.output;
    ULONG length = isWrite ? request.inputLength : request.outputLength;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Read.Length = length;
    irp->UserBuffer = buffer;
    if (length == 0)
        return;
    if (top->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = PoolAllocate(NonPagedPoolNx, length, kSystemBufferTag, nullptr, nullptr);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (isWrite) {
            memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
        } else {
            irp->Flags |= IRP_INPUT_OPERATION;
            threaded->userBuffer = buffer;
            threaded->userBufferLength = length;
            threaded->copyBack = true;
        }
    } else if (top->Flags & DO_DIRECT_IO) {
        IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        MmProbeAndLockPages(irp->MdlAddress, UserMode, isWrite ? IoReadAccess : IoWriteAccess);
    }
}

}  // namespace

bool IsSynchronous(PFILE_OBJECT file) { return RecordOfFile(file)->synchronous; }

size_t OpenFileCount() { return g_openFiles; }

void ReferenceFile(PFILE_OBJECT file) { RecordOfFile(file)->references++; }

void DereferenceFile(PFILE_OBJECT file)
{
    if (--RecordOfFile(file)->references != 0)
        return;
    // The close request is sent at PASSIVE_LEVEL; the last reference may go in
    // a completion at DISPATCH_LEVEL.
    if (CurrentThread().irql == PASSIVE_LEVEL)
        DeleteFileObject(file);
    else
        QueueSystemWork([file] { DeleteFileObject(file); });
}

NTSTATUS Open(const std::u16string &ntPath, const OpenOptions &options, PFILE_OBJECT *out)
{
    *out = nullptr;
    ResolvedName resolved;
    NTSTATUS status = ResolveName(ntPath, &resolved);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT device = resolved.device;
    if (DeviceDeletePending(device)) {
        DereferenceDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = pnp::CheckOpenAllowed(device);
    if (!NT_SUCCESS(status)) {
        DereferenceDevice(device);
        return status;
    }
    // Exclusivity is the named device object's own flag; devices attached
    // above it cannot make it exclusive.
    if (DeviceIsExclusive(device) && DeviceOpenCount(device) != 0) {
        DereferenceDevice(device);
        return STATUS_ACCESS_DENIED;
    }
    DeviceOpened(device);

    auto *file = new FILE_OBJECT{};
    auto *rec = new FileRecord;
    rec->synchronous = !options.overlapped;
    rec->fileName = resolved.remainder;
    file->Type = kIoTypeFile;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->Flags = FO_FILE_OPEN | (options.overlapped ? 0 : FO_SYNCHRONOUS_IO);
    file->ReadAccess = (options.access & (GENERIC_READ | 1)) != 0;
    file->WriteAccess = (options.access & (GENERIC_WRITE | 2)) != 0;
    file->FileName.Buffer = rec->fileName.empty() ? nullptr : reinterpret_cast<PWSTR>(rec->fileName.data());
    file->FileName.Length = static_cast<USHORT>(rec->fileName.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    file->FileObjectExtension = rec;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    g_openFiles++;

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = AllocateIrp(top->StackSize, nullptr, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = options.access;
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->FileObject = file;
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = (options.disposition << 24) | (options.createOptions & 0x00FFFFFF);
    stack->Parameters.Create.ShareAccess = static_cast<USHORT>(options.shareAccess);
    stack->Parameters.Create.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    ThreadedRequest threaded;
    threaded.threadId = CurrentThread().id;
    threaded.synchronous = true;
    AttachThreadedRequest(irp, std::move(threaded));
    status = WaitFor(&event, &iosb, IoCallDriver(top, irp));
    DereferenceDevice(top);
    if (!NT_SUCCESS(status)) {
        // A failed create gets neither cleanup nor close.
        DeviceClosed(device);
        DereferenceDevice(device);
        delete rec;
        delete file;
        g_openFiles--;
        return status;
    }
    file->Flags |= FO_HANDLE_CREATED;
    *out = file;
    return status;
}

void CloseHandle(PFILE_OBJECT file)
{
    auto *rec = RecordOfFile(file);
    {
        std::lock_guard<std::mutex> lock(rec->serialize);
        if (--rec->handles == 0) {
            SendLifetimeRequest(file, IRP_MJ_CLEANUP);
            file->Flags |= FO_CLEANUP_COMPLETE;
        }
    }
    DereferenceFile(file);
}

Result Send(PFILE_OBJECT file, const Request &request)
{
    auto *rec = RecordOfFile(file);
    std::unique_lock<std::mutex> serialized(rec->serialize, std::defer_lock);
    if (rec->synchronous)
        serialized.lock();

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = AllocateIrp(top->StackSize, nullptr, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = request.major;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    ThreadedRequest threaded;
    threaded.threadId = CurrentThread().id;
    threaded.synchronous = rec->synchronous;
    threaded.fileObject = file;
    threaded.overlapped = request.overlappedStatus;
    threaded.keepAlive = request.overlappedEventOwner;
    if (request.major == IRP_MJ_READ || request.major == IRP_MJ_WRITE) {
        irp->Flags |= request.major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
        SetUpTransferBuffers(irp, top, request, &threaded);
    } else {
        stack->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        stack->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        SetUpControlBuffers(irp, stack, request.input, request.inputLength, request.output, request.outputLength,
                            &threaded);
    }

    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    if (rec->synchronous) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp->UserEvent = &event;
        irp->UserIosb = &iosb;
        irp->Flags |= IRP_SYNCHRONOUS_API;
    } else {
        PKEVENT signal = request.overlappedEvent ? request.overlappedEvent : &file->Event;
        KeClearEvent(signal);
        request.overlappedStatus->Status = STATUS_PENDING;
        irp->UserEvent = signal;
        irp->UserIosb = request.overlappedStatus;
    }
    // The request holds the file object until its final completion.
    ReferenceFile(file);
    threaded.onFinal = [file](PIRP) { DereferenceFile(file); };
    AttachThreadedRequest(irp, std::move(threaded));

    // The completion may drop the last reference to the file object: nothing
    // of it is read after the call.
    bool synchronous = rec->synchronous;
    NTSTATUS status = IoCallDriver(top, irp);
    DereferenceDevice(top);
    if (!synchronous) {
        if (NT_ERROR(status) || status == STATUS_PENDING)
            return Result{status, 0};
        return Result{request.overlappedStatus->Status, request.overlappedStatus->Information};
    }
    status = WaitFor(&event, &iosb, status);
    return Result{status, NT_ERROR(status) ? 0 : iosb.Information};
}

}  // namespace winsim::io
