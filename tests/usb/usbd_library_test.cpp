// The USBD library routines a client driver calls before it talks to the
// bus: descriptor parsing and the select-configuration URB builder, on good
// descriptors and on the malformed ones a device may send.
#include "descriptor_bytes.h"
#include "usb_test_support.h"

namespace winsim::usb::test {
namespace {

class UsbdLibrary : public testing::Test {
protected:
    harness::TestMachine machine_;
};

const Bytes kPrinter = WithTotal(Cat({ConfigHeader(1), Interface(0, 0, 2), Endpoint(0x01), Endpoint(0x82)}));

ptrdiff_t Offset(const GuardedBytes &g, const void *p)
{
    return p == nullptr ? -1 : static_cast<const UCHAR *>(p) - g.Data();
}

// learn.microsoft.com, USBD_ParseConfigurationDescriptorEx: the first
// interface descriptor from StartPosition on that matches every criterion
// not given as -1; NULL if none does.
struct SearchCase {
    const char *name;
    LONG number, alternate, cls, sub, prot;
    ptrdiff_t expected;  // offset of the descriptor found, -1 for NULL
};

class InterfaceSearch : public UsbdLibrary, public testing::WithParamInterface<SearchCase> {};

// Interface 0 in two alternate settings (vendor class), then interface 1
// (class 7, subclass 1, protocol 2) after a class-specific descriptor.
const Bytes kTwoInterfaces = WithTotal(Cat({ConfigHeader(2), Interface(0, 0, 1), Endpoint(0x81),
                                            Interface(0, 1, 1), Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT),
                                            Bytes{4, 0x24, 1, 2}, Interface(1, 0, 0, 7, 1, 2)}));

TEST_P(InterfaceSearch, FindsTheFirstMatchInDescriptorOrder)
{
    const SearchCase &c = GetParam();
    GuardedBytes g(kTwoInterfaces);
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(g.Configuration(), g.Data(), c.number,
                                                                          c.alternate, c.cls, c.sub, c.prot);
    EXPECT_EQ(Offset(g, found), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Criteria, InterfaceSearch,
    testing::Values(SearchCase{"AnyInterface", -1, -1, -1, -1, -1, 9},
                    SearchCase{"NumberAnyAlternateGivesTheFirstSetting", 0, -1, -1, -1, -1, 9},
                    SearchCase{"SecondAlternateSetting", 0, 1, -1, -1, -1, 25},
                    SearchCase{"SecondInterfaceBehindClassDescriptor", 1, -1, -1, -1, -1, 45},
                    SearchCase{"ByClassSubclassProtocol", -1, -1, 7, 1, 2, 45},
                    SearchCase{"ProtocolMismatch", -1, -1, 7, 1, 3, -1},
                    SearchCase{"MissingNumber", 2, -1, -1, -1, -1, -1},
                    SearchCase{"MissingAlternate", 1, 1, -1, -1, -1, -1}),
    [](const testing::TestParamInfo<SearchCase> &info) { return info.param.name; });

TEST_F(UsbdLibrary, SearchStartsAtStartPositionAndNeverOutsideTheDescriptor)
{
    GuardedBytes g(kTwoInterfaces);
    auto c = g.Configuration();
    // From the descriptor after the first interface descriptor, the next
    // interface 0 is alternate setting 1.
    EXPECT_EQ(Offset(g, USBD_ParseConfigurationDescriptorEx(c, g.Data() + 18, 0, -1, -1, -1, -1)), 25);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, g.Data() + kTwoInterfaces.size(), -1, -1, -1, -1, -1), nullptr);
    Bytes before(64);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, before.data(), -1, -1, -1, -1, -1), nullptr);
}

// learn.microsoft.com, USBD_ParseDescriptors: the first descriptor of the
// type at or after StartPosition within TotalLength bytes.
TEST_F(UsbdLibrary, ParseDescriptorsFindsEachEndpointInTurn)
{
    GuardedBytes g(kPrinter);
    auto first = USBD_ParseDescriptors(g.Data(), static_cast<ULONG>(kPrinter.size()), g.Data(),
                                       USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_EQ(Offset(g, first), 18);
    auto second = USBD_ParseDescriptors(g.Data(), static_cast<ULONG>(kPrinter.size()),
                                        reinterpret_cast<PUCHAR>(first) + first->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE);
    EXPECT_EQ(Offset(g, second), 25);
    EXPECT_EQ(USBD_ParseDescriptors(g.Data(), static_cast<ULONG>(kPrinter.size()),
                                    reinterpret_cast<PUCHAR>(second) + second->bLength, USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(g.Data(), static_cast<ULONG>(kPrinter.size()), g.Data(), 0x21), nullptr);
}

// Malformed configuration descriptors, each in a buffer that ends at an
// unreadable page exactly wTotalLength bytes after its start: the routines
// must neither read past it, nor loop, nor return a descriptor that does not
// fit inside it.
struct MalformedCase {
    const char *name;
    Bytes bytes;
    ptrdiff_t interfaceAt;  // where ParseConfigurationDescriptorEx(-1...) may find one; -1: none
};

class MalformedDescriptor : public UsbdLibrary, public testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedDescriptor, IsWalkedWithoutLeavingIt)
{
    const MalformedCase &c = GetParam();
    GuardedBytes g(c.bytes);
    auto config = g.Configuration();
    ULONG total = static_cast<ULONG>(c.bytes.size());

    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    EXPECT_EQ(Offset(g, found), c.interfaceAt);

    for (LONG type : {USB_INTERFACE_DESCRIPTOR_TYPE, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x24}) {
        PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(g.Data(), total, g.Data(), type);
        if (d != nullptr) {
            EXPECT_GE(d->bLength, 2);
            EXPECT_LE(Offset(g, d) + d->bLength, static_cast<ptrdiff_t>(total));
        }
    }
    if (found != nullptr) {
        USBD_INTERFACE_LIST_ENTRY list[2] = {{found, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(list[0].Interface->NumberOfPipes, found->bNumEndpoints);
        ExFreePool(urb);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MalformedDescriptor,
    testing::Values(
        MalformedCase{"ZeroLengthDescriptor", WithTotal(Cat({ConfigHeader(1), Bytes{0, 0x24}, Interface(0, 0, 0)})),
                      -1},
        MalformedCase{"OneByteLengthDescriptor", WithTotal(Cat({ConfigHeader(1), Bytes{1, 0x24}, Interface(0, 0, 0)})),
                      -1},
        MalformedCase{"InterfaceCutByTotalLength", Cat({ConfigHeader(1, 14), Bytes{9, 4, 0, 0, 0}}), -1},
        MalformedCase{"LengthClaimsMoreThanRemains",
                      WithTotal(Cat({ConfigHeader(1), Bytes{0xFF, 4, 0, 0, 0, 0xFF, 0, 0, 0}})), -1},
        MalformedCase{"ShortInterfaceDescriptorSkipped",
                      WithTotal(Cat({ConfigHeader(1), Bytes{5, 4, 0, 0, 2}, Endpoint(0x01)})), -1},
        MalformedCase{"ShortInterfaceThenGoodOne",
                      WithTotal(Cat({ConfigHeader(1), Bytes{5, 4, 0, 0, 2}, Interface(0, 0, 0)})), 14},
        MalformedCase{"TotalLengthBelowHeader", Cat({ConfigHeader(1, 4)}), -1},
        MalformedCase{"TotalLengthZero", Cat({ConfigHeader(1, 0)}), -1},
        MalformedCase{"NotAConfigurationDescriptor",
                      [] {
                          Bytes b = WithTotal(Cat({ConfigHeader(1), Interface(0, 0, 0)}));
                          b[1] = USB_DEVICE_DESCRIPTOR_TYPE;
                          return b;
                      }(),
                      -1},
        MalformedCase{"ConfigurationHeaderTooShort",
                      [] {
                          Bytes b = WithTotal(Cat({ConfigHeader(1), Interface(0, 0, 0)}));
                          b[0] = 5;
                          return b;
                      }(),
                      -1},
        MalformedCase{"TrailingStrayByte", WithTotal(Cat({ConfigHeader(1), Interface(0, 0, 0), Bytes{7}})), 9},
        MalformedCase{"EndpointsAnnouncedButAbsent", WithTotal(Cat({ConfigHeader(1), Interface(0, 0, 3)})), 9},
        MalformedCase{"HeaderOnly", WithTotal(ConfigHeader(0)), -1}),
    [](const testing::TestParamInfo<MalformedCase> &info) { return info.param.name; });

// learn.microsoft.com, USBD_CreateConfigurationRequestEx: allocates and
// formats a select-configuration URB; each list entry's Interface points at
// its USBD_INTERFACE_INFORMATION inside the URB; the caller frees the URB
// with ExFreePool.
TEST_F(UsbdLibrary, CreateConfigurationRequestExSizesTheUrbForEveryListedInterface)
{
    Bytes bytes = WithTotal(Cat({ConfigHeader(2), Interface(0, 0, 2), Endpoint(0x01), Endpoint(0x82),
                                 Interface(1, 0, 0, 3), Interface(1, 1, 1, 3), Endpoint(0x83)}));
    GuardedBytes g(bytes);
    auto c = g.Configuration();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, -1, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 1, 1, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);

    size_t first = GET_USBD_INTERFACE_SIZE(2), second = GET_USBD_INTERFACE_SIZE(1);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + first + second);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    ASSERT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), reinterpret_cast<PUCHAR>(list[0].Interface) + first);
    EXPECT_EQ(list[0].Interface->Length, first);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->Length, second);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[2].Interface, nullptr);
    ExFreePool(urb);
}

TEST_F(UsbdLibrary, CreateConfigurationRequestExRefusesWhatItCannotBuild)
{
    GuardedBytes g(kPrinter);
    auto c = g.Configuration();
    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, empty), nullptr);

    // An interface descriptor that is not part of this configuration descriptor.
    Bytes elsewhere = Interface(0, 0, 2);
    USBD_INTERFACE_LIST_ENTRY foreign[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(elsewhere.data()), nullptr},
                                            {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, foreign), nullptr);
    EXPECT_EQ(foreign[0].Interface, nullptr);
}

// learn.microsoft.com, USBD_CreateConfigurationRequest (deprecated): the
// same URB for every interface of the configuration, its size returned in
// Siz.
TEST_F(UsbdLibrary, CreateConfigurationRequestCoversEveryInterface)
{
    Bytes bytes = WithTotal(Cat({ConfigHeader(2), Interface(0, 0, 1), Endpoint(0x01), Interface(1, 0, 1, 3),
                                 Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT)}));
    GuardedBytes g(bytes);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(g.Configuration(), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, urb->UrbHeader.Length);
    EXPECT_EQ(size, offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + 2 * GET_USBD_INTERFACE_SIZE(1));
    auto second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
        reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface) + GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(second->InterfaceNumber, 1);
    ExFreePool(urb);
}

// learn.microsoft.com, USBD_VERSION_INFORMATION: USBDI_Version 0x500 on
// Windows XP, 0x600 on Windows Vista and later; Supported_USB_Version is the
// USB version in BCD.
TEST(UsbdVersion, FollowsTheOperatingSystemVersion)
{
    for (auto [major, expected] : {std::pair<ULONG, ULONG>{10, 0x600}, {6, 0x600}, {5, 0x500}}) {
        harness::MachineOptions options;
        options.osMajor = major;
        harness::TestMachine machine(options);
        USBD_VERSION_INFORMATION version{};
        USBD_GetUSBDIVersion(&version);
        EXPECT_EQ(version.USBDI_Version, expected) << "Windows " << major;
        EXPECT_EQ(version.Supported_USB_Version, 0x200u);
    }
}

}  // namespace
}  // namespace winsim::usb::test
