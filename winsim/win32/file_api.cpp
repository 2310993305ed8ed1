// kernel32's file and device functions over the I/O manager.
#include "handles.h"

#include "../kernel/file.h"
#include "../kernel/internal.h"

using namespace winsim;
using namespace winsim::win32;

namespace {

constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;

// The NT name of a Win32 path. Device paths (\\.\X, \\?\X) and the DOS
// device names COM1 to COM9 map into \??; winsim has no file system, so any
// other path names nothing.
bool NtPathOf(const std::u16string &path, std::u16string *nt)
{
    if (path.rfind(u"\\\\.\\", 0) == 0 || path.rfind(u"\\\\?\\", 0) == 0) {
        *nt = u"\\??\\" + path.substr(4);
        return true;
    }
    std::u16string name = path;
    if (!name.empty() && name.back() == u':')
        name.pop_back();
    if (name.size() == 4 && (name[0] == u'C' || name[0] == u'c') && (name[1] == u'O' || name[1] == u'o') &&
        (name[2] == u'M' || name[2] == u'm') && name[3] >= u'1' && name[3] <= u'9') {
        *nt = u"\\??\\COM" + name.substr(3);
        return true;
    }
    return false;
}

HANDLE Open(const std::u16string &path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    static const ULONG kDisposition[] = {0, 2 /* FILE_CREATE */, 5 /* FILE_OVERWRITE_IF */, 1 /* FILE_OPEN */,
                                         3 /* FILE_OPEN_IF */, 4 /* FILE_OVERWRITE */};
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string nt;
    if (!NtPathOf(path, &nt)) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    io::OpenOptions options;
    options.access = access;
    options.shareAccess = share;
    options.disposition = kDisposition[disposition];
    options.overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    options.createOptions = options.overlapped ? 0 : kFileSynchronousIoNonalert;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = io::Open(nt, options, &file);
    if (!NT_SUCCESS(status)) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return Insert(HandleObject{HandleType::File, file});
}

PFILE_OBJECT FileOf(HANDLE handle)
{
    auto object = Lookup(handle);
    if (object == nullptr || object->type != HandleType::File) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object->file;
}

std::shared_ptr<KEVENT> EventOf(HANDLE handle)
{
    if (handle == nullptr)
        return nullptr;
    auto object = Lookup(handle);
    return object && object->type == HandleType::Event ? object->event : nullptr;
}

// Issues a request and reports it the Win32 way: TRUE for a success status,
// FALSE with ERROR_IO_PENDING for an overlapped request under way, FALSE with
// the mapped error otherwise.
BOOL Issue(HANDLE handle, io::Request request, LPDWORD transferred, LPOVERLAPPED overlapped)
{
    PFILE_OBJECT file = FileOf(handle);
    if (file == nullptr)
        return FALSE;
    bool synchronous = io::IsSynchronous(file);
    if (transferred != nullptr)
        *transferred = 0;
    // An overlapped handle used without an OVERLAPPED: kernel32 waits on the
    // file object, which the request signals when it completes.
    IO_STATUS_BLOCK local{};
    bool waitHere = !synchronous && overlapped == nullptr;
    if (waitHere) {
        request.overlappedStatus = &local;
    } else if (!synchronous) {
        request.overlappedStatus = reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
        request.overlappedEventOwner = EventOf(overlapped->hEvent);
        request.overlappedEvent = static_cast<PKEVENT>(request.overlappedEventOwner.get());
    }
    io::Result result = io::Send(file, request);
    if (waitHere && result.status == STATUS_PENDING) {
        KeWaitForSingleObject(&file->Event, UserRequest, UserMode, FALSE, nullptr);
        result = io::Result{local.Status, NT_ERROR(local.Status) ? 0 : local.Information};
    }
    if (result.status == STATUS_PENDING)
        return Fail(ERROR_IO_PENDING);
    if (transferred != nullptr && !NT_ERROR(result.status))
        *transferred = static_cast<DWORD>(result.information);
    if (!NT_SUCCESS(result.status))
        return FailWithStatus(result.status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

std::u16string FromNarrow(LPCSTR s)
{
    std::u16string out;
    while (s != nullptr && *s)
        out += static_cast<char16_t>(static_cast<unsigned char>(*s++));
    return out;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templateFile)
{
    if (name == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return Open(FromNarrow(name), access, share, disposition, flags);
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templateFile)
{
    if (name == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return Open(ToU16(name), access, share, disposition, flags);
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    io::Request request;
    request.major = IRP_MJ_READ;
    request.output = buffer;
    request.outputLength = length;
    return Issue(handle, request, read, overlapped);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped)
{
    io::Request request;
    request.major = IRP_MJ_WRITE;
    request.input = const_cast<LPVOID>(buffer);
    request.inputLength = length;
    return Issue(handle, request, written, overlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                            DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    io::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    request.input = input;
    request.inputLength = inputLength;
    request.output = output;
    request.outputLength = outputLength;
    return Issue(handle, request, returned, overlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait)
{
    PFILE_OBJECT file = FileOf(handle);
    if (file == nullptr)
        return FALSE;
    if (static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)) == STATUS_PENDING) {
        if (!wait)
            return Fail(ERROR_IO_INCOMPLETE);
        std::shared_ptr<KEVENT> owner = EventOf(overlapped->hEvent);
        PKEVENT event = owner ? owner.get() : &file->Event;
        while (static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)) == STATUS_PENDING)
            KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, nullptr);
    }
    NTSTATUS status = static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (!NT_SUCCESS(status))
        return FailWithStatus(status);
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE handle)
{
    PFILE_OBJECT file = FileOf(handle);
    if (file == nullptr)
        return FALSE;
    uint64_t self = CurrentThread().id;
    CancelThreadedIrps([&](const ThreadedRequest &r) { return r.fileObject == file && r.threadId == self; });
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped)
{
    PFILE_OBJECT file = FileOf(handle);
    if (file == nullptr)
        return FALSE;
    size_t n = CancelThreadedIrps([&](const ThreadedRequest &r) {
        return r.fileObject == file && (overlapped == nullptr || r.overlapped == overlapped);
    });
    return n != 0 ? TRUE : Fail(ERROR_NOT_FOUND);
}

BOOL WINAPI CancelSynchronousIo(HANDLE thread)
{
    uint64_t id;
    if (thread == GetCurrentThread()) {
        id = CurrentThread().id;
    } else {
        auto object = Lookup(thread);
        if (object == nullptr || object->type != HandleType::Thread)
            return Fail(ERROR_INVALID_HANDLE);
        id = object->threadId;
    }
    size_t n = CancelThreadedIrps([&](const ThreadedRequest &r) { return r.synchronous && r.threadId == id; });
    return n != 0 ? TRUE : Fail(ERROR_NOT_FOUND);
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    // The pseudo handles of the current process and thread: closing them has no effect.
    if (handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)) ||
        handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)))
        return TRUE;
    auto object = Remove(handle);
    if (object == nullptr)
        return FALSE;
    if (object->type == HandleType::File)
        io::CloseHandle(object->file);
    return TRUE;
}

}  // extern "C"
