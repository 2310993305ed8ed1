// Each URB function a client driver sends the printer's PDO: what it does on
// the device, what it writes back into the URB, and the USBD status and
// NTSTATUS it completes with. References are the pages of the URB
// structures on learn.microsoft.com (windows-hardware/drivers/ddi/usb/).
#include "descriptor_bytes.h"
#include "usb_test_support.h"

namespace winsim::usb::test {
namespace {

class UrbFunction : public UsbTest {};

// _URB_CONTROL_DESCRIPTOR_REQUEST: TransferBufferLength is updated to the
// number of bytes the device returned; a descriptor shorter than the
// buffer is a success.
struct DescriptorCase {
    const char *name;
    UCHAR type, index;
    USHORT language;
    ULONG bufferLength;
    USBD_STATUS usbd;
    NTSTATUS status;
    ULONG returned;
};

class DescriptorRequest : public UsbTest, public testing::WithParamInterface<DescriptorCase> {};

TEST_P(DescriptorRequest, ReturnsWhatTheDeviceHasUpToTheBuffer)
{
    const DescriptorCase &c = GetParam();
    std::vector<UCHAR> buffer(c.bufferLength);
    auto urb = NewUrb();
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), c.type, c.index,
                                 c.language, buffer.data(), nullptr, c.bufferLength, nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), c.status);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, c.returned);
    ControlRecord last = printer_->ControlLog().back();
    EXPECT_EQ(last.setup.bmRequestType, 0x80);
    EXPECT_EQ(last.setup.bRequest, USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(last.setup.wValue, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(c.type, c.index));
    EXPECT_EQ(last.setup.wIndex, c.language);
    EXPECT_EQ(last.setup.wLength, c.bufferLength);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, DescriptorRequest,
    testing::Values(
        DescriptorCase{"Device", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 18},
        DescriptorCase{"ConfigurationHeaderOnly", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, USBD_STATUS_SUCCESS,
                       STATUS_SUCCESS, 9},
        DescriptorCase{"WholeConfigurationInLargerBuffer", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 521,
                       USBD_STATUS_SUCCESS, STATUS_SUCCESS, 32},
        DescriptorCase{"LanguageList", USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 4},
        DescriptorCase{"SerialNumberString", USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 255, USBD_STATUS_SUCCESS,
                       STATUS_SUCCESS, 2 + 2 * 9},
        DescriptorCase{"MissingString", USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 255, USBD_STATUS_STALL_PID,
                       STATUS_UNSUCCESSFUL, 0},
        DescriptorCase{"SecondConfiguration", USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, 64, USBD_STATUS_STALL_PID,
                       STATUS_UNSUCCESSFUL, 0}),
    [](const testing::TestParamInfo<DescriptorCase> &info) { return info.param.name; });

TEST_F(UrbFunction, DeviceDescriptorCarriesTheBuildsIdentity)
{
    USB_DEVICE_DESCRIPTOR d{};
    auto urb = NewUrb();
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &d, nullptr, sizeof d, nullptr);
    ASSERT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
    // Packed fields are copied out before gtest takes them by reference.
    EXPECT_EQ(USHORT{d.idVendor}, TARVIK_USB_VID);
    EXPECT_EQ(USHORT{d.idProduct}, TARVIK_USB_PID);
    EXPECT_EQ(USHORT{d.bcdDevice}, TARVIK_USB_REV);
    EXPECT_EQ(d.bNumConfigurations, 1);
}

// The printer: one configuration, interface 0 with the bulk OUT endpoint
// first and the bulk IN endpoint second, 64-byte packets.
TEST_F(UrbFunction, ConfigurationDescriptorListsBulkOutThenBulkIn)
{
    std::vector<UCHAR> d = ReadConfigurationDescriptor(pdo_);
    ASSERT_EQ(d.size(), 32u);
    auto c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    EXPECT_EQ(c->bNumInterfaces, 1);
    PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(c, c, 0, -1, -1, -1, -1);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->bNumEndpoints, 2);
    auto out = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
        USBD_ParseDescriptors(c, c->wTotalLength, i, USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(out, nullptr);
    auto in = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
        USBD_ParseDescriptors(c, c->wTotalLength, reinterpret_cast<PUCHAR>(out) + out->bLength,
                              USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(out->bEndpointAddress, 0x01);
    EXPECT_EQ(in->bEndpointAddress, 0x82);
    EXPECT_EQ(out->bmAttributes, USB_ENDPOINT_TYPE_BULK);
    EXPECT_EQ(USHORT{in->wMaxPacketSize}, 64);
}

// _URB_SELECT_CONFIGURATION: the stack returns the configuration handle and,
// per interface, the interface handle, class codes and one
// USBD_PIPE_INFORMATION per endpoint in descriptor order.
TEST_F(UrbFunction, SelectConfigurationReportsHandlesAndPipes)
{
    Configuration config = Configure(pdo_);
    ASSERT_EQ(config.status, STATUS_SUCCESS);
    EXPECT_NE(config.handle, nullptr);
    ASSERT_EQ(config.pipes.size(), 2u);
    EXPECT_EQ(config.pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(config.pipes[1].EndpointAddress, 0x82);
    for (auto &pipe : config.pipes) {
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(pipe.MaximumPacketSize, 64);
        EXPECT_NE(pipe.PipeHandle, nullptr);
    }
    EXPECT_NE(config.pipes[0].PipeHandle, config.pipes[1].PipeHandle);
    EXPECT_EQ(printer_->ConfigurationValue(), 1);
    ControlRecord set = printer_->ControlLog().back();
    EXPECT_EQ(set.setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(set.setup.wValue, 1);
}

// A NULL ConfigurationDescriptor puts the device into the unconfigured
// state; the pipes of the old configuration are gone, and a new selection
// gives new handles.
TEST_F(UrbFunction, DeconfigureClosesThePipesAndReselectGivesNewHandles)
{
    Configuration first = Configure(pdo_);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    auto urb = NewUrb();
    UsbBuildSelectConfigurationRequest(urb.get(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(printer_->ConfigurationValue(), 0);

    UCHAR data[4] = {};
    auto write = NewUrb();
    BuildBulk(*write, first.Out(), data, sizeof data, 0);
    EXPECT_EQ(SubmitUrb(pdo_, write.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(write->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    Configuration second = Configure(pdo_);
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_NE(second.Out(), first.Out());
    EXPECT_NE(second.handle, first.handle);
}

// A select-configuration the stack cannot carry out fails and leaves the
// current configuration as it was.
struct BadSelectCase {
    const char *name;
    Bytes descriptor;
    UCHAR interfaceNumber;  // put into the URB
    USHORT lengthCut;       // bytes taken off the interface information's Length
    USBD_STATUS usbd;
    NTSTATUS status;
};

class BadSelectConfiguration : public UsbTest, public testing::WithParamInterface<BadSelectCase> {};

TEST_P(BadSelectConfiguration, FailsAndKeepsTheCurrentConfiguration)
{
    const BadSelectCase &c = GetParam();
    Configuration current = Configure(pdo_);
    ASSERT_EQ(current.status, STATUS_SUCCESS);

    GuardedBytes g(c.descriptor);
    auto config = g.Configuration();
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1),
                                          nullptr},
                                         {nullptr, nullptr}};
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    list[0].Interface->InterfaceNumber = c.interfaceNumber;
    list[0].Interface->Length = static_cast<USHORT>(list[0].Interface->Length - c.lengthCut);
    EXPECT_EQ(SubmitUrb(pdo_, urb), c.status);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
    ExFreePool(urb);

    UCHAR data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto write = NewUrb();
    BuildBulk(*write, current.Out(), data, sizeof data, 0);
    EXPECT_EQ(SubmitUrb(pdo_, write.get()), STATUS_SUCCESS) << "the old pipes still work";
    EXPECT_EQ(printer_->ConfigurationValue(), 1);
}

const Bytes kGood = WithTotal(Cat({ConfigHeader(1), Interface(0, 0, 2), Endpoint(0x01), Endpoint(0x82)}));

INSTANTIATE_TEST_SUITE_P(
    Refusals, BadSelectConfiguration,
    testing::Values(
        BadSelectCase{"InterfaceNotInDescriptor", kGood, 3, 0, USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_UNSUCCESSFUL},
        BadSelectCase{"EndpointDescriptorsMissing", WithTotal(Cat({ConfigHeader(1), Interface(0, 0, 2), Endpoint(0x01)})),
                      0, 0, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER},
        BadSelectCase{"InterfaceInformationTooShort", kGood, 0, sizeof(USBD_PIPE_INFORMATION),
                      USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        BadSelectCase{"ConfigurationValueTheDeviceRejects",
                      WithTotal(Cat({ConfigHeader(1, 0, 7), Interface(0, 0, 2), Endpoint(0x01), Endpoint(0x82)})), 0, 0,
                      USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL}),
    [](const testing::TestParamInfo<BadSelectCase> &info) { return info.param.name; });

// A transfer fixture: the printer configured.
class Transfer : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        config_ = Configure(pdo_);
        ASSERT_EQ(config_.status, STATUS_SUCCESS);
    }
    Configuration config_;
};

// _URB_BULK_OR_INTERRUPT_TRANSFER: the data come from TransferBuffer or the
// MDL; on completion TransferBufferLength holds the bytes transferred.
TEST_F(Transfer, BulkOutByBufferAndByMdlReachTheDevice)
{
    std::vector<UCHAR> first(100), second(300);
    for (size_t i = 0; i < first.size(); i++)
        first[i] = static_cast<UCHAR>(i);
    for (size_t i = 0; i < second.size(); i++)
        second[i] = static_cast<UCHAR>(0xFF - i);

    auto byBuffer = NewUrb();
    BuildBulk(*byBuffer, config_.Out(), first.data(), static_cast<ULONG>(first.size()), 0);
    EXPECT_EQ(SubmitUrb(pdo_, byBuffer.get()), STATUS_SUCCESS);
    EXPECT_EQ(byBuffer->UrbBulkOrInterruptTransfer.TransferBufferLength, first.size());

    PMDL mdl = IoAllocateMdl(second.data(), static_cast<ULONG>(second.size()), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    auto byMdl = NewUrb();
    BuildBulk(*byMdl, config_.Out(), nullptr, static_cast<ULONG>(second.size()), 0, mdl);
    EXPECT_EQ(SubmitUrb(pdo_, byMdl.get()), STATUS_SUCCESS);
    EXPECT_EQ(byMdl->UrbBulkOrInterruptTransfer.TransferBufferLength, second.size());
    IoFreeMdl(mdl);

    std::vector<UCHAR> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(printer_->Received(), expected);
}

// MaximumTransferSize is ignored: one URB moves any length.
TEST_F(Transfer, MaximumTransferSizeDoesNotLimitATransfer)
{
    ASSERT_EQ(config_.pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    std::vector<UCHAR> data(4096, 0x5A);
    auto urb = NewUrb();
    BuildBulk(*urb, config_.Out(), data.data(), static_cast<ULONG>(data.size()), 0);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 4096u);
    EXPECT_EQ(printer_->ReceivedCount(), 4096u);
}

// An IN transfer ends when the buffer is full or the device sends a packet
// shorter than wMaxPacketSize; USBD_SHORT_TRANSFER_OK makes the short end a
// success.
struct InCase {
    const char *name;
    size_t fed;
    ULONG buffer;
    ULONG flags;
    USBD_STATUS usbd;
    NTSTATUS status;
    ULONG transferred;
};

class BulkIn : public Transfer, public testing::WithParamInterface<InCase> {};

TEST_P(BulkIn, EndsAtAShortPacketOrAFullBuffer)
{
    const InCase &c = GetParam();
    std::vector<UCHAR> fed(c.fed);
    for (size_t i = 0; i < fed.size(); i++)
        fed[i] = static_cast<UCHAR>(i * 7);
    printer_->FeedBulkIn(fed);
    std::vector<UCHAR> buffer(c.buffer);
    auto urb = NewUrb();
    BuildBulk(*urb, config_.In(), buffer.data(), c.buffer, c.flags);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), c.status);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, c.transferred);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.transferred, fed.begin()));
}

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

INSTANTIATE_TEST_SUITE_P(
    Packets, BulkIn,
    testing::Values(InCase{"ShortPacket", 10, 64, kReadFlags, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 10},
                    InCase{"FullPacketThenShort", 100, 512, kReadFlags, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 100},
                    InCase{"ExactlyFull", 128, 128, kReadFlags, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 128},
                    // On a full-speed (UHCI/OHCI) controller a short packet without
                    // USBD_SHORT_TRANSFER_OK ends the transfer with an error.
                    InCase{"ShortPacketNotAllowed", 10, 64, USBD_TRANSFER_DIRECTION_IN, USBD_STATUS_DATA_UNDERRUN,
                           STATUS_UNSUCCESSFUL, 10},
                    // A packet larger than the room left in the buffer.
                    InCase{"PacketLargerThanBuffer", 64, 10, kReadFlags, USBD_STATUS_DATA_OVERRUN,
                           STATUS_UNSUCCESSFUL, 0}),
    [](const testing::TestParamInfo<InCase> &info) { return info.param.name; });

// The transfer direction is the endpoint's: a read flag on the OUT pipe
// still sends, and the stack corrects the flag in the URB.
TEST_F(Transfer, DirectionComesFromTheEndpoint)
{
    UCHAR data[3] = {7, 8, 9};
    auto urb = NewUrb();
    BuildBulk(*urb, config_.Out(), data, sizeof data, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN, 0u);
    EXPECT_EQ(printer_->Received(), (std::vector<UCHAR>{7, 8, 9}));
}

TEST_F(Transfer, ZeroLengthTransferSucceedsWithoutABuffer)
{
    auto urb = NewUrb();
    BuildBulk(*urb, config_.Out(), nullptr, 0, 0);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
}

// _URB_CONTROL_VENDOR_OR_CLASS_REQUEST: the stack builds the setup packet's
// bmRequestType from the function (type and recipient), the direction flag
// and RequestTypeReservedBits; bRequest, wValue, wIndex from the URB and
// wLength from TransferBufferLength (USB 2.0, 9.3).
struct SetupCase {
    const char *name;
    USHORT function;
    ULONG flags;
    UCHAR bmRequestType;
};

class VendorOrClassSetup : public UsbTest, public testing::WithParamInterface<SetupCase> {};

TEST_P(VendorOrClassSetup, IsBuiltFromFunctionAndDirection)
{
    const SetupCase &c = GetParam();
    printer_->SetControlHandler([](const SetupPacket &, std::span<const UCHAR>) {
        return std::optional<ControlReply>(ControlReply{false, {0xAA, 0xBB}});
    });
    UCHAR buffer[2] = {0x11, 0x22};
    auto urb = NewUrb();
    BuildVendor(*urb, c.function, c.flags, 0x42, 0x1234, 0x5678, buffer, sizeof buffer);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
    ControlRecord r = printer_->ControlLog().back();
    EXPECT_EQ(r.setup.bmRequestType, c.bmRequestType);
    EXPECT_EQ(r.setup.bRequest, 0x42);
    EXPECT_EQ(r.setup.wValue, 0x1234);
    EXPECT_EQ(r.setup.wIndex, 0x5678);
    EXPECT_EQ(r.setup.wLength, 2);
    if (c.flags & USBD_TRANSFER_DIRECTION_IN)
        EXPECT_EQ(buffer[0], 0xAA);
    else
        EXPECT_EQ(r.data, (std::vector<UCHAR>{0x11, 0x22}));
}

INSTANTIATE_TEST_SUITE_P(
    Functions, VendorOrClassSetup,
    testing::Values(SetupCase{"VendorDeviceIn", URB_FUNCTION_VENDOR_DEVICE, kReadFlags, 0xC0},
                    SetupCase{"VendorInterfaceIn", URB_FUNCTION_VENDOR_INTERFACE, kReadFlags, 0xC1},
                    SetupCase{"VendorEndpointIn", URB_FUNCTION_VENDOR_ENDPOINT, kReadFlags, 0xC2},
                    SetupCase{"VendorOtherIn", URB_FUNCTION_VENDOR_OTHER, kReadFlags, 0xC3},
                    SetupCase{"VendorDeviceOut", URB_FUNCTION_VENDOR_DEVICE, 0, 0x40},
                    SetupCase{"ClassDeviceOut", URB_FUNCTION_CLASS_DEVICE, 0, 0x20},
                    SetupCase{"ClassInterfaceOut", URB_FUNCTION_CLASS_INTERFACE, 0, 0x21},
                    SetupCase{"ClassEndpointOut", URB_FUNCTION_CLASS_ENDPOINT, 0, 0x22},
                    SetupCase{"ClassOtherIn", URB_FUNCTION_CLASS_OTHER, kReadFlags, 0xA3}),
    [](const testing::TestParamInfo<SetupCase> &info) { return info.param.name; });

TEST_F(UrbFunction, ReservedBitsBecomePartOfTheRequestType)
{
    UCHAR buffer[1];
    auto urb = NewUrb();
    UsbBuildVendorRequest(urb.get(), URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0,
                          0x04, 0x10, 0, 0, buffer, nullptr, 0, nullptr);
    SubmitUrb(pdo_, urb.get());
    EXPECT_EQ(printer_->ControlLog().back().setup.bmRequestType, 0x44);
}

// The printer's vendor interface request 1: four status bytes, bit 0x08 of
// the first set while the printer is not ready.
TEST_F(UrbFunction, VendorStatusRequestReportsReadiness)
{
    for (bool ready : {true, false}) {
        printer_->SetReady(ready);
        UCHAR status[8] = {};
        auto urb = NewUrb();
        BuildVendor(*urb, URB_FUNCTION_VENDOR_INTERFACE, kReadFlags, kVendorStatusRequest, 0, 0, status, sizeof status);
        ASSERT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
        EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 4u);
        EXPECT_EQ((status[0] & kStatusNotReady) != 0, !ready);
    }
}

TEST_F(UrbFunction, UnknownVendorRequestStallsTheDefaultPipeOnly)
{
    UCHAR buffer[4];
    auto urb = NewUrb();
    BuildVendor(*urb, URB_FUNCTION_VENDOR_DEVICE, kReadFlags, 0x77, 0, 0, buffer, sizeof buffer);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    // A control endpoint is not halted by a stall: the next request works.
    auto next = NewUrb();
    BuildVendor(*next, URB_FUNCTION_VENDOR_INTERFACE, kReadFlags, kVendorStatusRequest, 0, 0, buffer, sizeof buffer);
    EXPECT_EQ(SubmitUrb(pdo_, next.get()), STATUS_SUCCESS);
}

// _URB_CONTROL_GET_STATUS_REQUEST: a 16-bit status word from the device,
// an interface or an endpoint (USB 2.0, 9.4.5); the printer has no "other"
// recipient and stalls that request.
struct StatusCase {
    const char *name;
    USHORT function;
    USHORT index;
    bool stallIn;  // stall the IN endpoint first
    NTSTATUS status;
    USHORT word;
};

class GetStatus : public Transfer, public testing::WithParamInterface<StatusCase> {};

TEST_P(GetStatus, ReportsTheRecipientsStatusWord)
{
    const StatusCase &c = GetParam();
    if (c.stallIn)
        printer_->Stall(0x82);
    USHORT word = 0xFFFF;
    auto urb = NewUrb();
    UsbBuildGetStatusRequest(urb.get(), c.function, c.index, &word, nullptr, nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), c.status);
    if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(urb->UrbControlGetStatusRequest.TransferBufferLength, 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recipients, GetStatus,
    testing::Values(StatusCase{"DeviceBusPowered", URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, false, STATUS_SUCCESS, 0},
                    StatusCase{"Interface", URB_FUNCTION_GET_STATUS_FROM_INTERFACE, 0, false, STATUS_SUCCESS, 0},
                    StatusCase{"EndpointRunning", URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x82, false, STATUS_SUCCESS, 0},
                    StatusCase{"EndpointHalted", URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x82, true, STATUS_SUCCESS, 1},
                    StatusCase{"Other", URB_FUNCTION_GET_STATUS_FROM_OTHER, 0, false, STATUS_UNSUCCESSFUL, 0}),
    [](const testing::TestParamInfo<StatusCase> &info) { return info.param.name; });

// Requests the stack refuses before they reach the bus, with the USBD status
// and NTSTATUS it reports for each.
struct RefusalCase {
    const char *name;
    void (*build)(URB &urb, const Configuration &config, UCHAR *buffer);
    USBD_STATUS usbd;
    NTSTATUS status;
};

class Refusal : public Transfer, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, IsReportedWithItsStatusPair)
{
    const RefusalCase &c = GetParam();
    UCHAR buffer[16] = {};
    auto urb = NewUrb();
    c.build(*urb, config_, buffer);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), c.status);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
    EXPECT_EQ(printer_->ReceivedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Urbs, Refusal,
    testing::Values(
        RefusalCase{"UndefinedFunction",
                    [](URB &u, const Configuration &, UCHAR *) {
                        u.UrbHeader.Length = sizeof(URB);
                        u.UrbHeader.Function = 0x0016;
                    },
                    USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
        RefusalCase{"HeaderLengthTooSmall",
                    [](URB &u, const Configuration &c, UCHAR *b) {
                        BuildBulk(u, c.Out(), b, 16, 0);
                        u.UrbHeader.Length = sizeof(struct _URB_HEADER);
                    },
                    USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        RefusalCase{"UnknownPipeHandle",
                    [](URB &u, const Configuration &, UCHAR *b) {
                        BuildBulk(u, reinterpret_cast<USBD_PIPE_HANDLE>(b), b, 16, 0);
                    },
                    USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        RefusalCase{"LengthWithoutBuffer",
                    [](URB &u, const Configuration &c, UCHAR *) { BuildBulk(u, c.Out(), nullptr, 16, 0); },
                    USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        RefusalCase{"AbortUnknownPipe",
                    [](URB &u, const Configuration &, UCHAR *b) {
                        BuildPipeRequest(u, URB_FUNCTION_ABORT_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(b));
                    },
                    USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        RefusalCase{"GetStatusOfFourBytes",
                    [](URB &u, const Configuration &, UCHAR *b) {
                        UsbBuildGetStatusRequest(&u, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, b, nullptr, nullptr);
                        u.UrbControlGetStatusRequest.TransferBufferLength = 4;
                    },
                    USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        RefusalCase{"SelectInterfaceNotOffered",
                    [](URB &u, const Configuration &c, UCHAR *) {
                        UsbBuildSelectInterfaceRequest(&u, sizeof(struct _URB_SELECT_INTERFACE), c.handle, 0, 0);
                    },
                    USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return info.param.name; });

TEST_F(UrbFunction, CurrentFrameNumberAdvancesWithTheBusClock)
{
    auto first = NewUrb(), second = NewUrb();
    for (auto *u : {first.get(), second.get()}) {
        u->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        u->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    }
    ASSERT_EQ(SubmitUrb(pdo_, first.get()), STATUS_SUCCESS);
    ULONG before = host_->CurrentFrame();
    while (host_->CurrentFrame() < before + 3)
        std::this_thread::yield();
    ASSERT_EQ(SubmitUrb(pdo_, second.get()), STATUS_SUCCESS);
    EXPECT_GE(second->UrbGetCurrentFrameNumber.FrameNumber, first->UrbGetCurrentFrameNumber.FrameNumber + 3);
}

}  // namespace
}  // namespace winsim::usb::test
