// Pipe file objects: names, exclusive opens, and reads and writes that
// become single bulk transfers on the pipe, under both completion styles of
// the USB stack.
#include "usb_fixture.h"

#include <future>
#include <thread>

namespace tarvik::test {
namespace {

using namespace winsim::usb;

// ---------------------------------------------------------------- names

struct NameCase {
    const char *label;
    const char *name;
    int pipe;   // the pipe opened, or -1 when the name is refused
};

class PipeNames : public UsbFixture, public testing::WithParamInterface<NameCase> {
protected:
    void SetUp() override { Start(); }
};

TEST_P(PipeNames, OpenTheNamedPipeOrAreRefused)
{
    HANDLE h = Open(GetParam().name);
    PUSB_DEVICE_EXTENSION extension = Extension();
    if (GetParam().pipe < 0) {
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(extension->OpenPipeCount, 0);
        return;
    }
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    PPIPE_CONTEXT pipe = &extension->Interfaces[0].Pipes[GetParam().pipe];
    EXPECT_EQ(pipe->OpenCount, 1);
    EXPECT_EQ(extension->PipeBySlot[GetParam().pipe], pipe);
    EXPECT_EQ(extension->OpenPipeCount, 1);
}

INSTANTIATE_TEST_SUITE_P(Pipes, PipeNames,
                         testing::Values(NameCase{"WritePipe", "if0pipe0", 0}, NameCase{"ReadPipe", "if0pipe1", 1},
                                         NameCase{"LeadingZerosAndTrailer", "if00pipe01x", 1},
                                         NameCase{"BareNumbers", "0.1", 1},
                                         NameCase{"InterfaceNumberWraps", "if4294967296pipe1", 1},
                                         NameCase{"OnlyOneNumber", "pipe1", -1},
                                         NameCase{"NoSeparator", "if01", -1},
                                         NameCase{"NoPipeNumber", "if0pipe", -1},
                                         NameCase{"PipeOutOfRange", "if0pipe9", -1},
                                         NameCase{"InterfaceOutOfRange", "if1pipe0", -1}),
                         [](const testing::TestParamInfo<NameCase> &info) { return info.param.label; });

// Pipe numbers beyond the five the driver remembers for IOCTL_BULK_READ.
TEST_F(UsbFixture, PipeNumbersAboveFourOpenWithoutBeingRemembered)
{
    DeviceConfig config = PrinterConfig();
    for (UCHAR e = 3; e <= 7; e++)
        config.interfaces[0].endpoints.push_back(EndpointConfig{e, USB_ENDPOINT_TYPE_BULK, 64, 0});
    Start(false, config);
    ASSERT_EQ(Extension()->Interfaces[0].NumberOfPipes, 7u);
    PPIPE_CONTEXT slots[PIPE_SLOT_COUNT];
    memcpy(slots, Extension()->PipeBySlot, sizeof slots);
    EXPECT_NE(Open("if0pipe6"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(memcmp(slots, Extension()->PipeBySlot, sizeof slots), 0);
    EXPECT_EQ(Extension()->Interfaces[0].Pipes[6].OpenCount, 1);
}

// ---------------------------------------------------------------- exclusive opens

class Exclusive : public UsbFixture {
protected:
    void SetUp() override { Start(); }
};

TEST_F(Exclusive, APipeOrTheDeviceOpensOnceAtATime)
{
    for (const char *name : {"if0pipe1", ""}) {
        SCOPED_TRACE(name);
        HANDLE first = Open(name);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        Close(first);
        HANDLE again = Open(name);
        EXPECT_NE(again, INVALID_HANDLE_VALUE) << "a close gives the open back";
        Close(again);
    }
    EXPECT_EQ(Extension()->OpenPipeCount, 0);
    EXPECT_EQ(Extension()->DeviceOpenCount, 0);
}

TEST_F(Exclusive, TwoConcurrentOpensOfOnePipeGiveOneSuccess)
{
    for (int round = 0; round < 20; round++) {
        std::promise<void> go;
        std::shared_future<void> start = go.get_future().share();
        auto open = [&] {
            start.wait();
            return CreateFileA((path_ + "\\if0pipe0").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        };
        auto a = std::async(std::launch::async, open);
        auto b = std::async(std::launch::async, open);
        go.set_value();
        HANDLE ha = a.get(), hb = b.get();
        EXPECT_NE(ha == INVALID_HANDLE_VALUE, hb == INVALID_HANDLE_VALUE) << "round " << round;
        EXPECT_EQ(Extension()->OpenPipeCount, 1);
        for (HANDLE h : {ha, hb})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }
}

// An abort closes the pipe under its file object. Another open may then take
// the pipe; from then on the first file object neither transfers on it nor,
// at its close, gives away the newer open.
TEST_F(Exclusive, AFileObjectWhosePipeWasAbortedAndReopenedLetsGo)
{
    HANDLE first = Open("if0pipe0");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Ioctl(first, IOCTL_ABORT_PIPE).ok);
    EXPECT_TRUE(Write(first, Pattern(3)).ok) << "an aborted pipe goes on working for its file object";

    HANDLE second = Open("if0pipe0");
    ASSERT_NE(second, INVALID_HANDLE_VALUE) << "the abort closed the pipe";
    IoResult stale = Write(first, Pattern(4));
    EXPECT_FALSE(stale.ok);
    EXPECT_EQ(stale.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(Ioctl(first, IOCTL_RESET_PIPE).ok);

    Close(first);
    EXPECT_EQ(Open("if0pipe0"), INVALID_HANDLE_VALUE) << "the second open still holds the pipe";
    EXPECT_TRUE(Write(second, Pattern(5)).ok);
    EXPECT_EQ(Extension()->OpenPipeCount, 1);
    Close(second);
    EXPECT_EQ(Extension()->OpenPipeCount, 0);
}

// A driver above in the same stack opens pipes with file objects it builds
// itself (only FileName set) and may close one whose create failed: that
// close must not count as the close of a device open.
NTSTATUS SendFileRequest(PDEVICE_OBJECT device, UCHAR major, PFILE_OBJECT file)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

struct PseudoFileObject {
    explicit PseudoFileObject(const std::u16string &name) : name_(name)
    {
        memset(&file, 0, sizeof file);
        file.FileName.Buffer = reinterpret_cast<PWCH>(name_.data());
        file.FileName.Length = static_cast<USHORT>(name_.size() * sizeof(WCHAR));
        file.FileName.MaximumLength = file.FileName.Length;
    }
    std::u16string name_;
    FILE_OBJECT file;
};

TEST_F(Exclusive, FileObjectsOfADriverAboveOpenAndCloseCleanly)
{
    PDEVICE_OBJECT fdo = FunctionDevice();
    PseudoFileObject read(u"if0pipe1"), write(u"if0pipe0"), bad(u"if0pipe9");
    EXPECT_EQ(SendFileRequest(fdo, IRP_MJ_CREATE, &read.file), STATUS_SUCCESS);
    EXPECT_EQ(SendFileRequest(fdo, IRP_MJ_CREATE, &write.file), STATUS_SUCCESS);
    EXPECT_EQ(read.file.FsContext, &Extension()->Interfaces[0].Pipes[1]);
    EXPECT_EQ(SendFileRequest(fdo, IRP_MJ_CREATE, &bad.file), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.file.FsContext, nullptr);
    EXPECT_EQ(SendFileRequest(fdo, IRP_MJ_CLOSE, &bad.file), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->DeviceOpenCount, 0) << "the failed pipe open was not taken for a device open";
    EXPECT_EQ(Extension()->OpenPipeCount, 2);

    HANDLE device = Open("");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(""), INVALID_HANDLE_VALUE) << "device opens are still exclusive";
    Close(device);

    EXPECT_EQ(SendFileRequest(fdo, IRP_MJ_CLOSE, &read.file), STATUS_SUCCESS);
    EXPECT_EQ(SendFileRequest(fdo, IRP_MJ_CLOSE, &write.file), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->OpenPipeCount, 0);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD2);
}

// ---------------------------------------------------------------- transfers

class Transfers : public UsbCompletionFixture {};

TEST_P(Transfers, AWriteIsOneBulkTransferOfTheWholeBuffer)
{
    HANDLE out = Open("if0pipe0");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    for (size_t length : {size_t{1}, size_t{64}, size_t{100}, size_t{4096}}) {
        Bytes data = Pattern(length, static_cast<UCHAR>(length));
        IoResult r = Write(out, data);
        EXPECT_TRUE(r.ok) << r;
        EXPECT_EQ(r.bytes, length);
        EXPECT_EQ(printer_->TakeReceived(), data);
    }
    IoResult empty = Write(out, {});
    EXPECT_TRUE(empty.ok) << "a zero-length write goes down as a zero-length transfer";
    EXPECT_EQ(empty.bytes, 0u);
    EXPECT_EQ(IoCountSettlingAt(1), 1) << "every transfer gave its reference back";
}

TEST_P(Transfers, AReadEndsOnAShortPacket)
{
    HANDLE in = Open("if0pipe1");
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    struct Case {
        size_t fed, buffer, expected;
    };
    for (Case c : {Case{5, 64, 5}, Case{100, 128, 100}, Case{64 + 10, 512, 74}}) {
        Bytes data = Pattern(c.fed, 9);
        printer_->FeedBulkIn(data);
        Bytes buffer(c.buffer);
        IoResult r = Read(in, buffer);
        EXPECT_TRUE(r.ok) << r;
        ASSERT_EQ(r.bytes, c.expected);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
    }
}

TEST_P(Transfers, TheDeviceFileObjectDoesNotTransfer)
{
    HANDLE device = Open("");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    Bytes buffer(8);
    IoResult read = Read(device, buffer);
    IoResult write = Write(device, buffer);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(write.ok);
    EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A stall fails the transfer with no bytes; reset-pipe clears the halt.
TEST_P(Transfers, AStalledTransferFailsUntilThePipeIsReset)
{
    HANDLE out = Open("if0pipe0");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    printer_->Stall(0x01);
    IoResult stalled = Write(out, Pattern(10));
    EXPECT_FALSE(stalled.ok);
    EXPECT_EQ(stalled.error, static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(stalled.bytes, 0u);

    EXPECT_TRUE(Ioctl(out, IOCTL_RESET_PIPE).ok);
    EXPECT_FALSE(printer_->Halted(0x01));
    EXPECT_TRUE(Write(out, Pattern(10)).ok);
    EXPECT_EQ(printer_->Received(), Pattern(10));
}

// Any number of transfers may be outstanding on a pipe at once.
TEST_P(Transfers, OverlappedReadsAndWritesRunSideBySide)
{
    HANDLE in = Open("if0pipe1", true);
    HANDLE out = Open("if0pipe0", true);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    Bytes first(64), second(64);
    OVERLAPPED r1{}, r2{};
    r1.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    r2.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReadFile(in, first.data(), 64, nullptr, &r1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(ReadFile(in, second.data(), 64, nullptr, &r2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    Bytes data = Pattern(300);
    OVERLAPPED w{};
    w.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (!WriteFile(out, data.data(), 300, nullptr, &w)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_TRUE(GetOverlappedResult(out, &w, &written, TRUE));
    EXPECT_EQ(written, 300u);

    printer_->FeedBulkIn(Pattern(3, 1));
    printer_->FeedBulkIn(Pattern(4, 2));
    DWORD got1 = 0, got2 = 0;
    EXPECT_TRUE(GetOverlappedResult(in, &r1, &got1, TRUE));
    EXPECT_TRUE(GetOverlappedResult(in, &r2, &got2, TRUE));
    EXPECT_EQ(got1 + got2, 7u);
    for (HANDLE e : {r1.hEvent, r2.hEvent, w.hEvent})
        CloseHandle(e);
}

TARVIK_INSTANTIATE_COMPLETIONS(Transfers);

// ---------------------------------------------------------------- while a stop is pending

TEST_F(Exclusive, AQueryStopRefusesNewIoButNotCloses)
{
    HANDLE out = Open("if0pipe0");
    HANDLE device = Open("");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    PDEVICE_OBJECT pdo = machine_.PdoOf(id_);

    ASSERT_EQ(machine_.SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    IoResult write = Write(out, Pattern(4));
    EXPECT_FALSE(write.ok);
    EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "STATUS_DELETE_PENDING";
    EXPECT_EQ(Open("if0pipe1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Close(device);

    ASSERT_EQ(machine_.SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Write(out, Pattern(4)).ok);
    EXPECT_NE(Open(""), INVALID_HANDLE_VALUE);
    EXPECT_EQ(printer_->Received(), Pattern(4));
}

}  // namespace
}  // namespace tarvik::test
