// Conformance of the I/O manager as applications meet it: name resolution,
// exclusive devices, synchronous-handle serialization, requests after a
// driver left the stack, buffered copy-back, cancellation from Win32, status
// to error mapping, cleanup and close. Sources: Microsoft Learn, "Object
// Names" / "Symbolic Links" / "Device Interface Classes" (names), "Exclusive
// Access" in "Specifying Device Characteristics" (only the named device
// object), "Synchronous and Asynchronous I/O" (FO_SYNCHRONOUS_IO serializes),
// "Buffer Descriptions for I/O Control Codes", "CancelIo", "CancelIoEx",
// "CancelSynchronousIo", "IRP_MJ_CLEANUP", "IRP_MJ_CLOSE", "CreateFileA".
#include "fixture.h"

#include <atomic>
#include <thread>

namespace winsim::test {
namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

using IoManager = KernelTest;

// The bottom of every test stack: remembers file names and counts requests.
struct Recorder {
    std::atomic<int> creates{0}, cleanups{0}, closes{0}, writes{0};
    std::u16string lastFileName;
    NTSTATUS operator()(PDEVICE_OBJECT, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            creates++;
            lastFileName.assign(reinterpret_cast<const char16_t *>(stack->FileObject->FileName.Buffer),
                                stack->FileObject->FileName.Length / 2);
            break;
        case IRP_MJ_CLEANUP: cleanups++; break;
        case IRP_MJ_CLOSE: closes++; break;
        case IRP_MJ_WRITE: writes++; return CompleteIrp(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
        }
        return CompleteIrp(irp, STATUS_SUCCESS);
    }
};

TEST_F(IoManager, NamesResolveThroughLinksAndKeepTheRestAsFileName)
{
    Recorder rec;
    PDEVICE_OBJECT pdo = Pdo("DEV0");
    Device(std::ref(rec), pdo);

    HANDLE h = Open("DEV0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(rec.lastFileName, u"");
    CloseHandle(h);

    // Case does not matter, and \DosDevices is \?? again.
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\AliasOfDev0");
    RtlInitUnicodeString(&target, L"\\??\\DEV0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    h = CreateFileA("\\\\.\\aliasofdev0\\if0pipe1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(rec.lastFileName, u"\\if0pipe1");
    CloseHandle(h);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);

    struct { const char *path; DWORD error; } unknown[] = {
        {"\\\\.\\AliasOfDev0", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\NOSUCHDEVICE", ERROR_FILE_NOT_FOUND},
        {"COM7", ERROR_FILE_NOT_FOUND},
        {"C:\\file.txt", ERROR_FILE_NOT_FOUND},
        {"", ERROR_FILE_NOT_FOUND},
    };
    for (auto &u : unknown) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA(u.path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
            << u.path;
        EXPECT_EQ(GetLastError(), u.error) << u.path;
    }
    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\.\\DEV0", GENERIC_READ, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(IoManager, DeviceInterfacePathsReachThePdoWithATrailingFileName)
{
    static const GUID kGuid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    Recorder rec;
    PDEVICE_OBJECT pdo = machine().CreatePdo("USB\\VID_1234&PID_5678\\SERIAL1");
    Device(std::ref(rec), pdo);
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &link), STATUS_SUCCESS);
    std::u16string name(reinterpret_cast<char16_t *>(link.Buffer), link.Length / 2);
    EXPECT_EQ(name, u"\\??\\USB#VID_1234&PID_5678#SERIAL1#{12345678-1234-5678-0102-030405060708}");
    std::string win32 = "\\\\?\\";
    for (char16_t c : name.substr(4))
        win32 += static_cast<char>(c);
    EXPECT_EQ(CreateFileA(win32.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
        << "a registered interface is not reachable until enabled";
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    HANDLE h = CreateFileA((win32 + "\\if0pipe0").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(rec.lastFileName, u"\\if0pipe0");
    CloseHandle(h);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(CreateFileA(win32.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    RtlFreeUnicodeString(&link);
}

TEST_F(IoManager, ExclusiveOnlyOnTheNamedDeviceObject)
{
    Recorder a, b;
    // An exclusive FDO over a non-exclusive PDO: no effect.
    Device(std::ref(a), Pdo("SHARED"), DO_BUFFERED_IO, /*exclusive=*/true);
    HANDLE h1 = Open("SHARED"), h2 = Open("SHARED");
    EXPECT_NE(h1, INVALID_HANDLE_VALUE);
    EXPECT_NE(h2, INVALID_HANDLE_VALUE);
    CloseHandle(h1);
    CloseHandle(h2);

    // An exclusive PDO: one open at a time, and free again after close.
    Device(std::ref(b), Pdo("EXCL", /*exclusive=*/true));
    h1 = Open("EXCL");
    ASSERT_NE(h1, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(Open("EXCL"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(b.creates, 1) << "the refused open never reaches the driver";
    CloseHandle(h1);
    h1 = Open("EXCL");
    EXPECT_NE(h1, INVALID_HANDLE_VALUE);
    CloseHandle(h1);
}

// A second thread's request on a synchronous handle waits until the first
// completes; on an overlapped handle both reach the driver.
TEST_F(IoManager, SynchronousHandleSerializesRequests)
{
    static KEVENT releaseRead;
    KeInitializeEvent(&releaseRead, NotificationEvent, FALSE);
    std::atomic<int> inDriver{0}, maxInDriver{0};
    PDEVICE_OBJECT pdo = Pdo("SERIALIZE");
    Device(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_READ && stack->MajorFunction != IRP_MJ_WRITE)
                return CompleteIrp(irp, STATUS_SUCCESS);
            int now = ++inDriver;
            maxInDriver = std::max(maxInDriver.load(), now);
            if (stack->MajorFunction == IRP_MJ_READ)
                KeWaitForSingleObject(&releaseRead, Executive, KernelMode, FALSE, nullptr);
            --inDriver;
            return CompleteIrp(irp, STATUS_SUCCESS, 0);
        },
        pdo);
    for (bool overlapped : {false, true}) {
        KeClearEvent(&releaseRead);
        maxInDriver = 0;
        HANDLE h = Open("SERIALIZE", overlapped);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        char buffer[4];
        std::thread reader([&] {
            OVERLAPPED ov{};
            DWORD n;
            ReadFile(h, buffer, sizeof buffer, &n, overlapped ? &ov : nullptr);
        });
        while (inDriver == 0)
            std::this_thread::yield();
        std::thread writer([&] {
            OVERLAPPED ov{};
            DWORD n;
            WriteFile(h, buffer, sizeof buffer, &n, overlapped ? &ov : nullptr);
        });
        // Give the writer every chance to overtake the blocked reader.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&releaseRead, IO_NO_INCREMENT, FALSE);
        reader.join();
        writer.join();
        EXPECT_EQ(maxInDriver, overlapped ? 2 : 1) << (overlapped ? "overlapped" : "synchronous");
        CloseHandle(h);
    }
}

// Once a driver has detached, requests on an open handle reach whatever
// remains of the stack below it.
TEST_F(IoManager, RequestsAfterDetachReachTheRemainingStack)
{
    Recorder bottom;
    std::atomic<int> filterWrites{0};
    PDEVICE_OBJECT pdo = Pdo("DETACH");
    PDEVICE_OBJECT fdo = Device(std::ref(bottom), pdo);
    PDEVICE_OBJECT filter = Device(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE)
                filterWrites++;
            return PassDown(device, irp);
        },
        fdo);
    HANDLE h = Open("DETACH");
    char data[8] = {};
    DWORD n;
    ASSERT_TRUE(WriteFile(h, data, sizeof data, &n, nullptr));
    EXPECT_EQ(filterWrites, 1);
    Remove(filter);
    ASSERT_TRUE(WriteFile(h, data, sizeof data, &n, nullptr));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(filterWrites, 1);
    EXPECT_EQ(bottom.writes, 2);
    CloseHandle(h);
    EXPECT_EQ(bottom.cleanups, 1);
    EXPECT_EQ(bottom.closes, 1);
}

struct CopyCase {
    const char *name;
    NTSTATUS status;
    BOOL result;
    DWORD error;
    DWORD returned;
    const char *buffer;
};

void PrintTo(const CopyCase &c, std::ostream *os) { *os << c.name; }

class BufferedCopyBack : public KernelTest, public testing::WithParamInterface<CopyCase> {};

// METHOD_BUFFERED: the I/O manager copies Information bytes of the system
// buffer back, unless the status is an error; Win32 succeeds on success
// statuses only.
TEST_P(BufferedCopyBack, CopiesInformationBytesUnlessError)
{
    const CopyCase &c = GetParam();
    Device(
        [&](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
                return CompleteIrp(irp, STATUS_SUCCESS);
            memcpy(irp->AssociatedIrp.SystemBuffer, "ABCDEFGH", 8);
            return CompleteIrp(irp, c.status, 3);
        },
        Pdo("COPY"));
    HANDLE h = Open("COPY");
    char in[4] = "in", out[9] = "........";
    DWORD returned = 1234;
    SetLastError(0);
    EXPECT_EQ(DeviceIoControl(h, kBuffered, in, sizeof in, out, 8, &returned, nullptr), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(returned, c.returned);
    EXPECT_STREQ(out, c.buffer);
    CloseHandle(h);
}

const CopyCase kCopyCases[] = {
    {"Success", STATUS_SUCCESS, TRUE, 0, 3, "ABC....."},
    {"TimeoutIsASuccess", STATUS_TIMEOUT, TRUE, 0, 3, "ABC....."},
    {"WarningCopiesButFails", STATUS_BUFFER_OVERFLOW, FALSE, ERROR_MORE_DATA, 3, "ABC....."},
    {"ErrorCopiesNothing", STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER, 0, "........"},
    {"Cancelled", STATUS_CANCELLED, FALSE, ERROR_OPERATION_ABORTED, 0, "........"},
    {"DeviceGone", STATUS_DEVICE_NOT_CONNECTED, FALSE, ERROR_DEVICE_NOT_CONNECTED, 0, "........"},
};
INSTANTIATE_TEST_SUITE_P(Statuses, BufferedCopyBack, testing::ValuesIn(kCopyCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A device that holds reads until they are cancelled.
struct Holder {
    static void Cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        CompleteIrp(irp, STATUS_CANCELLED);
    }
    std::atomic<int> held{0};
    NTSTATUS operator()(PDEVICE_OBJECT, PIRP irp)
    {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
            return CompleteIrp(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, Cancel);
        held++;
        return STATUS_PENDING;
    }
};

TEST_F(IoManager, CancelIoCancelsOnlyTheCallingThreadsRequests)
{
    Holder holder;
    Device(std::ref(holder), Pdo("HOLD"));
    HANDLE h = Open("HOLD", true);
    char a[4], b[4];
    OVERLAPPED mine{}, theirs{};
    mine.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    theirs.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n;
    EXPECT_FALSE(ReadFile(h, a, 4, &n, &mine));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    std::thread([&] { ReadFile(h, b, 4, &n, &theirs); }).join();
    ASSERT_EQ(holder.held, 2);

    EXPECT_TRUE(CancelIo(h));
    EXPECT_EQ(WaitForSingleObject(mine.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(GetOverlappedResult(h, &mine, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(h, &theirs, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    // CancelIoEx reaches any thread's request, and reports when none matched.
    EXPECT_TRUE(CancelIoEx(h, &theirs));
    EXPECT_FALSE(GetOverlappedResult(h, &theirs, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(CancelIoEx(h, &theirs));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(mine.hEvent);
    CloseHandle(theirs.hEvent);
    CloseHandle(h);
}

TEST_F(IoManager, CancelSynchronousIoEndsABlockedRead)
{
    Holder holder;
    Device(std::ref(holder), Pdo("SYNCHOLD"));
    HANDLE h = Open("SYNCHOLD");
    std::atomic<DWORD> readerId{0};
    BOOL ok = TRUE;
    DWORD error = 0;
    std::thread reader([&] {
        readerId = GetCurrentThreadId();
        char buffer[4];
        DWORD n;
        ok = ReadFile(h, buffer, 4, &n, nullptr);
        error = GetLastError();
    });
    while (holder.held == 0)
        std::this_thread::yield();
    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, readerId);
    EXPECT_TRUE(CancelSynchronousIo(thread));
    reader.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(CancelSynchronousIo(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(thread);
    CloseHandle(h);
}

// Cleanup goes down when the last handle closes; close only when no request
// holds the file object any more.
TEST_F(IoManager, CloseWaitsForTheLastRequestOnTheFileObject)
{
    Recorder counts;
    static PIRP held;
    static KEVENT heldEvent;
    KeInitializeEvent(&heldEvent, NotificationEvent, FALSE);
    Device(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
                IoMarkIrpPending(irp);
                held = irp;
                KeSetEvent(&heldEvent, IO_NO_INCREMENT, FALSE);
                return STATUS_PENDING;
            }
            return counts(device, irp);
        },
        Pdo("LIFETIME"));
    HANDLE h = Open("LIFETIME", true);
    OVERLAPPED ov{};
    char buffer[4];
    DWORD n;
    ReadFile(h, buffer, 4, &n, &ov);
    KeWaitForSingleObject(&heldEvent, Executive, KernelMode, FALSE, nullptr);
    CloseHandle(h);
    EXPECT_EQ(counts.cleanups, 1);
    EXPECT_EQ(counts.closes, 0);
    // Completed at PASSIVE_LEVEL, the last reference sends the close at once.
    CompleteIrp(held, STATUS_SUCCESS);
    EXPECT_EQ(counts.closes, 1);
}

}  // namespace
}  // namespace winsim::test
