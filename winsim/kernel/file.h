// The I/O manager's handle-facing side: file objects opened on devices and the
// requests issued through them (what NtCreateFile, NtReadFile, NtWriteFile and
// NtDeviceIoControlFile do). The Win32 layer is built on it.
#pragma once

#include "internal.h"

namespace winsim::io {

struct OpenOptions {
    ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
    ULONG shareAccess = 0;
    ULONG disposition = 1;  // FILE_OPEN
    ULONG createOptions = 0;
    bool overlapped = false;
};

// Opens a file object on the device an NT path names (\??\COM3, \Device\X,
// an interface path with a trailing file name). The caller owns one handle.
NTSTATUS Open(const std::u16string &ntPath, const OpenOptions &options, PFILE_OBJECT *file);

// The last handle is gone: cleanup goes down now, close once no request holds
// the file object any more.
void CloseHandle(PFILE_OBJECT file);

struct Request {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    ULONG ioControlCode = 0;
    void *input = nullptr;    // write data, or control input
    ULONG inputLength = 0;
    void *output = nullptr;   // read buffer, or control output
    ULONG outputLength = 0;
    // Overlapped handles: where the final status goes and what is signalled.
    PIO_STATUS_BLOCK overlappedStatus = nullptr;
    PKEVENT overlappedEvent = nullptr;
    std::shared_ptr<void> overlappedEventOwner;  // keeps the event alive until it is set
};

struct Result {
    NTSTATUS status;           // STATUS_PENDING: an overlapped request is under way
    ULONG_PTR information;
};

// Issues a request on a file object. On a synchronous handle the request is
// serialized with the handle's other requests and waited for.
Result Send(PFILE_OBJECT file, const Request &request);

bool IsSynchronous(PFILE_OBJECT file);
void ReferenceFile(PFILE_OBJECT file);
void DereferenceFile(PFILE_OBJECT file);
size_t OpenFileCount();

}  // namespace winsim::io
