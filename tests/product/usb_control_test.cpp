// The driver's private device-control requests as an application sends
// them: buffer checks, descriptors, vendor and class control transfers, USB
// status, pipe and port resets, and the 68-byte bulk-in read with the abort
// that another thread (or the close of a port) sends to end it.
#include "usb_fixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace tarvik::test {
namespace {

using namespace winsim::usb;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr DWORD kUnassignedFunction7 = CTL_CODE(FILE_DEVICE_UNKNOWN, 7, METHOD_BUFFERED, FILE_ANY_ACCESS);

class Control : public UsbFixture {
protected:
    void SetUp() override
    {
        Start(forcePending_);
        device_ = Open("");
        out_ = Open("if0pipe0");
        in_ = Open("if0pipe1");
        ASSERT_NE(device_, INVALID_HANDLE_VALUE);
        ASSERT_NE(out_, INVALID_HANDLE_VALUE);
        ASSERT_NE(in_, INVALID_HANDLE_VALUE);
        printer_->ClearControlLog();
    }

    // The one control transfer the device saw since SetUp.
    ControlRecord LastControl()
    {
        std::vector<ControlRecord> log = ControlLog();
        EXPECT_FALSE(log.empty());
        return log.empty() ? ControlRecord{} : log.back();
    }

    // Waits until a request other than the base reference is inside the driver.
    void AwaitRequestInDriver(PUSB_DEVICE_EXTENSION extension)
    {
        while (__atomic_load_n(&extension->OutstandingIo, __ATOMIC_SEQ_CST) < 2)
            std::this_thread::yield();
    }

    bool forcePending_ = false;

public:  // the case tables of the tests name the handles by member pointer
    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE out_ = INVALID_HANDLE_VALUE;
    HANDLE in_ = INVALID_HANDLE_VALUE;
};

// Requests whose buffers do not fit are refused with STATUS_INVALID_PARAMETER
// before anything reaches the device.
TEST_F(Control, BuffersThatDoNotFitAreRefused)
{
    struct Case {
        const char *what;
        HANDLE Control::*handle;
        DWORD code;
        size_t in, out;
    };
    Bytes notVendor = VendorBlock(URB_FUNCTION_SELECT_CONFIGURATION, 1);
    const Case cases[] = {
        {"config descriptor one byte short", &Control::device_, IOCTL_GET_CONFIG_DESCRIPTOR, 0, 31},
        {"config descriptor without a buffer", &Control::device_, IOCTL_GET_CONFIG_DESCRIPTOR, 0, 0},
        {"vendor in with 15 bytes", &Control::device_, IOCTL_VENDOR_REQUEST_IN, 15, 4},
        {"vendor out with 15 bytes", &Control::device_, IOCTL_VENDOR_REQUEST_OUT, 15, 0},
        {"usb descriptor with 3 bytes", &Control::device_, IOCTL_GET_USB_DESCRIPTOR, 3, 18},
        {"usb descriptor with 5 bytes", &Control::device_, IOCTL_GET_USB_DESCRIPTOR, 5, 18},
        {"device ready into 2 bytes", &Control::device_, IOCTL_GET_DEVICE_READY, 0, 2},
        {"device ready into 8 bytes", &Control::device_, IOCTL_GET_DEVICE_READY, 0, 8},
        {"usb status into 4 bytes", &Control::device_, IOCTL_GET_USB_STATUS, 4, 4},
        {"usb status from 2 bytes", &Control::device_, IOCTL_GET_USB_STATUS, 2, 2},
        {"bulk read into 67 bytes", &Control::device_, IOCTL_BULK_READ, 0, 67},
        {"reset pipe on the device", &Control::device_, IOCTL_RESET_PIPE, 0, 0},
        {"abort pipe on the device", &Control::device_, IOCTL_ABORT_PIPE, 0, 0},
        {"unassigned function 7", &Control::device_, kUnassignedFunction7, 0, 0},
        {"unknown code on a pipe", &Control::out_, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x30, METHOD_BUFFERED, 0), 4, 4},
    };
    for (const Case &c : cases) {
        Bytes in(c.in, 0), out(c.out, 0);
        IoResult r = Ioctl(this->*c.handle, c.code, in, out);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
    }
    Bytes out(8);
    IoResult r = Ioctl(device_, IOCTL_VENDOR_REQUEST_IN, notVendor, out);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "only vendor and class functions";
    EXPECT_TRUE(ControlLog().empty());
}

TEST_F(Control, ConfigDescriptorIsTheOneHeldSinceStartUp)
{
    Bytes expected = BuildConfigurationDescriptor(PrinterConfig());
    Bytes out(expected.size() + 10, 0xEE);
    IoResult r = Ioctl(device_, IOCTL_GET_CONFIG_DESCRIPTOR, {}, out);
    ASSERT_TRUE(r.ok) << r;
    EXPECT_EQ(r.bytes, expected.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + expected.size()), expected);
    EXPECT_TRUE(ControlLog().empty()) << "answered from the driver's copy";

    Bytes exact(expected.size());
    EXPECT_TRUE(Ioctl(device_, IOCTL_GET_CONFIG_DESCRIPTOR, {}, exact).ok);
}

// The vendor status request of the serial driver: 16-byte block, 4 bytes
// back, the direction from the control code.
TEST_F(Control, VendorRequestInReadsWhatTheDeviceAnswers)
{
    printer_->SetStatusBytes({0x08, 1, 2, 3});
    Bytes block = VendorBlock(URB_FUNCTION_VENDOR_INTERFACE, kVendorStatusRequest);
    Bytes out(8, 0xEE);
    IoResult r = Ioctl(device_, IOCTL_VENDOR_REQUEST_IN, block, out);
    ASSERT_TRUE(r.ok) << r;
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x08, 1, 2, 3}));
    ControlRecord seen = LastControl();
    EXPECT_EQ(seen.setup.bmRequestType, 0xC1) << "device-to-host, vendor, interface";
    EXPECT_EQ(seen.setup.bRequest, kVendorStatusRequest);
    EXPECT_EQ(seen.setup.wLength, 8) << "the device is asked for the output length";

    // A request the device does not know is stalled: a failure, no data.
    Bytes unknown = VendorBlock(URB_FUNCTION_VENDOR_DEVICE, 0x42);
    IoResult stalled = Ioctl(device_, IOCTL_VENDOR_REQUEST_IN, unknown, out);
    EXPECT_FALSE(stalled.ok);
}

TEST_F(Control, VendorRequestOutSendsTheBytesAfterTheBlock)
{
    printer_->SetControlHandler([](const SetupPacket &, std::span<const UCHAR>) { return ControlReply{}; });
    Bytes none(0);
    IoResult bare = Ioctl(device_, IOCTL_VENDOR_REQUEST_OUT, VendorBlock(URB_FUNCTION_CLASS_INTERFACE, 9, 0x0102, 3),
                          none);
    ASSERT_TRUE(bare.ok) << bare;
    EXPECT_EQ(bare.bytes, 0u);
    ControlRecord seen = LastControl();
    EXPECT_EQ(seen.setup.bmRequestType, 0x21) << "host-to-device, class, interface";
    EXPECT_EQ(seen.setup.wValue, 0x0102);
    EXPECT_EQ(seen.setup.wIndex, 3);
    EXPECT_EQ(seen.setup.wLength, 0) << "no data stage";

    Bytes data = Pattern(5);
    Bytes out(5);
    IoResult sent = Ioctl(device_, IOCTL_VENDOR_REQUEST_OUT,
                          VendorBlock(URB_FUNCTION_VENDOR_DEVICE, 7, 0, 0, USBD_SHORT_TRANSFER_OK, data), out);
    ASSERT_TRUE(sent.ok) << sent;
    EXPECT_EQ(sent.bytes, 5u);
    EXPECT_EQ(LastControl().data, data);
    EXPECT_EQ(LastControl().setup.bmRequestType, 0x40);

    // Reported as sent, but never more than the caller's output buffer holds.
    IoResult noOutput = Ioctl(device_, IOCTL_VENDOR_REQUEST_OUT,
                              VendorBlock(URB_FUNCTION_VENDOR_DEVICE, 7, 0, 0, 0, data), none);
    EXPECT_TRUE(noOutput.ok);
    EXPECT_EQ(noOutput.bytes, 0u);
}

// The language ID only travels with string descriptors.
TEST_F(Control, UsbDescriptorTakesTheLanguageOnlyForStrings)
{
    Bytes out(18);
    IoResult device = Ioctl(device_, IOCTL_GET_USB_DESCRIPTOR, {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0x09, 0x04}, out);
    ASSERT_TRUE(device.ok) << device;
    EXPECT_EQ(device.bytes, 18u);
    EXPECT_EQ(out, BuildDeviceDescriptor(PrinterConfig()));
    EXPECT_EQ(LastControl().setup.wValue, USB_DEVICE_DESCRIPTOR_TYPE << 8);
    EXPECT_EQ(LastControl().setup.wIndex, 0);

    Bytes text(64);
    IoResult string = Ioctl(device_, IOCTL_GET_USB_DESCRIPTOR, {USB_STRING_DESCRIPTOR_TYPE, 1, 0x09, 0x04}, text);
    ASSERT_TRUE(string.ok) << string;
    EXPECT_EQ(LastControl().setup.wValue, (USB_STRING_DESCRIPTOR_TYPE << 8) | 1);
    EXPECT_EQ(LastControl().setup.wIndex, 0x0409);
    EXPECT_EQ(string.bytes, text[0]);
}

TEST_F(Control, UsbStatusChoosesTheRecipient)
{
    const UCHAR recipients[][2] = {{0, 0x80}, {1, 0x81}, {2, 0x82}, {7, 0x83}};
    for (const auto &rc : recipients) {
        Bytes out(2, 0xEE);
        IoResult r = Ioctl(device_, IOCTL_GET_USB_STATUS, {rc[0], 0, 0, 0}, out);
        ControlRecord seen = LastControl();
        EXPECT_EQ(seen.setup.bRequest, USB_REQUEST_GET_STATUS);
        EXPECT_EQ(seen.setup.bmRequestType, rc[1]) << "recipient " << int(rc[0]);
        EXPECT_EQ(seen.setup.wLength, 2);
        if (rc[0] == 0) {
            EXPECT_TRUE(r.ok) << r;
            EXPECT_EQ(r.bytes, 2u);
        }
    }
}

TEST_F(Control, DeviceReadyAndPortReset)
{
    Bytes ready(4, 0xEE);
    IoResult r = Ioctl(device_, IOCTL_GET_DEVICE_READY, {}, ready);
    ASSERT_TRUE(r.ok) << r;
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(ready, (Bytes{1, 0, 0, 0}));

    EXPECT_TRUE(Ioctl(device_, IOCTL_RESET_DEVICE_PORT).ok);
    EXPECT_TRUE(Write(out_, Pattern(8)).ok) << "the pipes work after the port reset";
}

// Abort ends the transfers pending on the pipe and closes it.
TEST_F(Control, AbortPipeEndsPendingTransfersAndClosesThePipe)
{
    HANDLE in = Open("if0pipe1", true);
    EXPECT_EQ(in, INVALID_HANDLE_VALUE) << "already open";
    Close(in_);
    in = Open("if0pipe1", true);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    Bytes buffer(64);
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReadFile(in, buffer.data(), 64, nullptr, &o));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    DWORD returned = 0;
    OVERLAPPED a{};
    a.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(in, IOCTL_ABORT_PIPE, nullptr, 0, nullptr, 0, &returned, &a);
    EXPECT_TRUE(ok || GetOverlappedResult(in, &a, &returned, TRUE));
    DWORD read = 0;
    EXPECT_FALSE(GetOverlappedResult(in, &o, &read, TRUE));
    EXPECT_EQ(Extension()->Interfaces[0].Pipes[1].OpenCount, 0);
    EXPECT_EQ(Extension()->OpenPipeCount, 1) << "only the write pipe is still open";
    HANDLE again = Open("if0pipe1");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(o.hEvent);
    CloseHandle(a.hEvent);
}

// IOCTL_BULK_READ needs a pipe opened under number 1 since the device was
// configured; a stop forgets it.
TEST_F(Control, BulkReadNeedsAnOpenedReadPipe)
{
    Close(in_);
    printer_->FeedBulkIn(Pattern(3));
    EXPECT_TRUE(BulkRead(device_).ok) << "the pipe last opened under number 1 is still known";

    Close(device_);
    Close(out_);
    ASSERT_EQ(machine_.StopAndRestart(id_), STATUS_SUCCESS);
    device_ = Open("");
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    IoResult r = BulkRead(device_);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_BAD_COMMAND)) << "STATUS_INVALID_DEVICE_STATE";
}

// Every code is refused while a stop is pending.
TEST_F(Control, EveryCodeIsRefusedWhileAStopIsPending)
{
    PDEVICE_OBJECT pdo = machine_.PdoOf(id_);
    ASSERT_EQ(machine_.SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    for (DWORD code : {IOCTL_GET_CONFIG_DESCRIPTOR, IOCTL_RESET_DEVICE_PORT, IOCTL_RESET_PIPE, IOCTL_VENDOR_REQUEST_IN,
                       IOCTL_VENDOR_REQUEST_OUT, IOCTL_GET_USB_DESCRIPTOR, IOCTL_GET_DEVICE_READY,
                       IOCTL_GET_USB_STATUS, IOCTL_ABORT_PIPE, IOCTL_BULK_READ, IOCTL_BULK_ABORT_READ}) {
        Bytes in(16), out(72);
        IoResult r = Ioctl(in_, code, in, out);
        EXPECT_FALSE(r.ok) << std::hex << code;
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << std::hex << code;
    }
    ASSERT_EQ(machine_.SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
}

// ---------------------------------------------------------------- the bulk-in read

class BulkReads : public Control, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        forcePending_ = GetParam();
        Control::SetUp();
    }
};

TEST_P(BulkReads, ARecordHoldsOnePacket)
{
    Bytes data = Pattern(10);
    printer_->FeedBulkIn(data);
    Bytes out(72, 0xEE);
    IoResult r = Ioctl(device_, IOCTL_BULK_READ, {}, out);
    ASSERT_TRUE(r.ok) << r;
    EXPECT_EQ(r.bytes, sizeof(BULK_READ_RESULT));
    BULK_READ_RESULT result;
    memcpy(&result, out.data(), sizeof result);
    EXPECT_EQ(result.Length, 10u);
    EXPECT_EQ(Bytes(result.Data, result.Data + 10), data);
    EXPECT_EQ(Bytes(result.Data + 10, result.Data + 64), Bytes(54, 0));

    printer_->FeedBulkIn(Pattern(100));
    EXPECT_TRUE(BulkRead(device_, &result).ok);
    EXPECT_EQ(result.Length, 64u) << "at most one 64-byte packet per request";
    EXPECT_TRUE(BulkRead(device_, &result).ok);
    EXPECT_EQ(result.Length, 36u);
}

// The abort comes from another thread while the read waits for data; the
// read returns soon after with the cancellation, and the next read waits
// again.
TEST_P(BulkReads, AnAbortFromAnotherThreadEndsAWaitingRead)
{
    PUSB_DEVICE_EXTENSION extension = Extension();
    auto read = std::async(std::launch::async, [&] {
        BULK_READ_RESULT result{};
        IoResult r = BulkRead(device_, &result);
        return std::make_pair(r, Clock::now());
    });
    AwaitRequestInDriver(extension);
    Clock::time_point aborted = Clock::now();
    EXPECT_TRUE(Ioctl(out_, IOCTL_BULK_ABORT_READ).ok);
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready) << "the abort did not end the read";
    auto [result, returned] = read.get();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_LT(returned - aborted, 1s);
    EXPECT_FALSE(extension->BulkReadCancelRequested) << "the read consumed the abort";

    printer_->FeedBulkIn(Pattern(2));
    EXPECT_TRUE(BulkRead(device_).ok) << "the next read is not cut short";
}

TARVIK_INSTANTIATE_COMPLETIONS(BulkReads);

// The abort of one printer's read leaves another printer's read waiting.
TEST_F(Control, AnAbortOnlyConcernsItsOwnDevice)
{
    DeviceConfig second = PrinterConfig();
    second.serialNumber = u"WSP000002";
    auto printer2 = machine_.Plug(second);
    std::string id2 = TestMachine::InstanceIdOf(*printer2);
    ASSERT_EQ(machine_.DeviceState(id2), "started");
    std::string path2 = PipesInterfacePath(id2);
    ASSERT_FALSE(path2.empty());
    ASSERT_NE(path2, path_);
    HANDLE device2 = OpenPath(path2, "");
    ASSERT_NE(OpenPath(path2, "if0pipe1"), INVALID_HANDLE_VALUE);
    auto *extension2 = static_cast<PUSB_DEVICE_EXTENSION>(machine_.PdoOf(id2)->AttachedDevice->DeviceExtension);

    auto read = std::async(std::launch::async, [&] { return BulkRead(device2); });
    AwaitRequestInDriver(extension2);
    EXPECT_TRUE(Ioctl(device_, IOCTL_BULK_ABORT_READ).ok);
    // Several of the read's 8 ms slices go by without it being cut short.
    EXPECT_EQ(read.wait_for(100ms), std::future_status::timeout);
    printer2->FeedBulkIn(Pattern(4));
    IoResult r = read.get();
    EXPECT_TRUE(r.ok) << r;
    EXPECT_TRUE(Extension()->BulkReadCancelRequested) << "the first printer keeps its abort for its next read";
}

}  // namespace
}  // namespace tarvik::test
