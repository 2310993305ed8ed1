// The function driver's start-up on the printer and on devices with unusual
// or broken configuration descriptors: descriptors read, configuration
// selected with the first alternate setting of each interface, the pipe
// table built; descriptors that do not hold together fail the start without
// leaving anything behind. Also the device state the driver idles in, as
// the capabilities of the device below decide it.
#include "usb_fixture.h"

namespace tarvik::test {
namespace {

using namespace winsim::usb;
using testing::ElementsAre;

// Bytes of a configuration descriptor set.
Bytes ConfigHeader(UCHAR interfaces, USHORT total)
{
    return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<UCHAR>(total), static_cast<UCHAR>(total >> 8),
            interfaces, 1, 0, 0xA0, 50};
}
Bytes InterfaceBytes(UCHAR number, UCHAR alternate, UCHAR endpoints)
{
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, 0xFF, 0, 0, 0};
}
Bytes EndpointBytes(UCHAR address)
{
    return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, 64, 0, 0};
}
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
// wTotalLength set to the length of the whole set.
Bytes WithTotal(Bytes bytes)
{
    bytes[2] = static_cast<UCHAR>(bytes.size());
    bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
    return bytes;
}
// The printer's own interface: bulk OUT 0x01, bulk IN 0x82.
Bytes PrinterInterface(UCHAR number = 0, UCHAR alternate = 0)
{
    return Cat({InterfaceBytes(number, alternate, 2), EndpointBytes(0x01), EndpointBytes(0x82)});
}
// A class-specific descriptor of the given length, as filler.
Bytes Filler(UCHAR length)
{
    Bytes bytes(length, 0);
    bytes[0] = length;
    bytes[1] = 0x24;
    return bytes;
}

std::vector<USHORT> ConfigurationRequestLengths(const std::vector<ControlRecord> &log)
{
    std::vector<USHORT> lengths;
    for (const ControlRecord &r : log)
        if (r.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && (r.setup.wValue >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            lengths.push_back(r.setup.wLength);
    return lengths;
}

class Startup : public UsbFixture {};

TEST_F(Startup, ReadsDescriptorsSelectsTheConfigurationAndBuildsThePipeTable)
{
    Start();
    EXPECT_EQ(printer_->ConfigurationValue(), 1);
    EXPECT_THAT(winsim::harness::DescribeStack(machine_.PdoOf(id_)),
                ElementsAre(testing::StartsWith("\\Driver\\tarvik_usb"), testing::_));
    EXPECT_THAT(ConfigurationRequestLengths(ControlLog()), ElementsAre(521));

    PUSB_DEVICE_EXTENSION extension = Extension();
    EXPECT_TRUE(extension->DeviceStarted);
    ASSERT_NE(extension->DeviceDescriptor, nullptr);
    EXPECT_EQ(extension->DeviceDescriptor->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    ASSERT_NE(extension->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(extension->ConfigurationDescriptor->wTotalLength, 32);
    ASSERT_EQ(extension->NumberOfInterfaces, 1u);
    ASSERT_EQ(extension->Interfaces[0].NumberOfPipes, 2u);
    const USBD_PIPE_INFORMATION &out = extension->Interfaces[0].Pipes[0].PipeInformation;
    const USBD_PIPE_INFORMATION &in = extension->Interfaces[0].Pipes[1].PipeInformation;
    EXPECT_EQ(out.EndpointAddress, 0x01) << "pipe 0 is the bulk-out pipe";
    EXPECT_EQ(in.EndpointAddress, 0x82) << "pipe 1 is the bulk-in pipe";
    EXPECT_EQ(out.MaximumTransferSize, 64u);
    EXPECT_EQ(in.MaximumTransferSize, 64u);
    EXPECT_NE(out.PipeHandle, nullptr);
    EXPECT_EQ(extension->OutstandingIo, 1) << "only the base reference while nothing is in the driver";
}

// A stop and a new start read everything again: the pipes are closed and
// carry the handles of the new selection. A handle kept open across the
// stop has lost its pipe.
TEST_F(Startup, StopAndRestartRebuildsTheConfiguration)
{
    Start();
    HANDLE oldOut = Open("if0pipe0");
    ASSERT_NE(oldOut, INVALID_HANDLE_VALUE);
    printer_->ClearControlLog();

    ASSERT_EQ(machine_.StopAndRestart(id_), STATUS_SUCCESS);
    EXPECT_EQ(machine_.DeviceState(id_), "started");
    EXPECT_THAT(ConfigurationRequestLengths(ControlLog()), ElementsAre(521));
    PUSB_DEVICE_EXTENSION extension = Extension();
    ASSERT_EQ(extension->NumberOfInterfaces, 1u);
    EXPECT_EQ(extension->Interfaces[0].Pipes[0].OpenCount, 0);
    EXPECT_EQ(extension->Interfaces[0].Pipes[1].OpenCount, 0);
    EXPECT_EQ(extension->OpenPipeCount, 0);

    HANDLE newOut = Open("if0pipe0");
    ASSERT_NE(newOut, INVALID_HANDLE_VALUE) << "the stop closed the pipe";
    EXPECT_TRUE(Write(newOut, Pattern(10)).ok);
    IoResult stale = Write(oldOut, Pattern(10));
    EXPECT_FALSE(stale.ok);
    EXPECT_EQ(stale.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    Close(oldOut);
    EXPECT_EQ(Extension()->OpenPipeCount, 1) << "closing the stale handle leaves the new open alone";
    EXPECT_EQ(printer_->Received(), Pattern(10));
}

// Unusual but sound descriptor sets the driver must read and select.
struct GoodDescriptor {
    const char *name;
    Bytes bytes;
    std::vector<USHORT> requests;   // lengths of the configuration-descriptor requests
    ULONG interfaces;               // selected
    std::vector<ULONG> pipes;       // per selected interface
};

class GoodDescriptors : public UsbFixture, public testing::WithParamInterface<GoodDescriptor> {};

TEST_P(GoodDescriptors, AreSelected)
{
    DeviceConfig config = PrinterConfig();
    config.configurationDescriptorOverride = GetParam().bytes;
    Start(false, config);
    EXPECT_EQ(ConfigurationRequestLengths(ControlLog()), GetParam().requests);
    PUSB_DEVICE_EXTENSION extension = Extension();
    ASSERT_EQ(extension->NumberOfInterfaces, GetParam().interfaces);
    for (ULONG i = 0; i < GetParam().interfaces; i++)
        EXPECT_EQ(extension->Interfaces[i].NumberOfPipes, GetParam().pipes[i]) << "interface " << i;
    EXPECT_NE(Open("if0pipe1"), INVALID_HANDLE_VALUE);
}

Bytes LongSet()
{
    Bytes bytes = Cat({ConfigHeader(1, 0), PrinterInterface()});
    while (bytes.size() + 255 <= 600)
        bytes = Cat({bytes, Filler(255)});
    bytes = Cat({bytes, Filler(static_cast<UCHAR>(600 - bytes.size()))});
    return WithTotal(bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, GoodDescriptors,
    testing::Values(
        GoodDescriptor{"LongerThanTheFirstRequest", LongSet(), {521, 600}, 1, {2}},
        // Three interfaces announced, 0 and 2 present: the scan stops at 1.
        GoodDescriptor{"GapInInterfaceNumbers",
                       WithTotal(Cat({ConfigHeader(3, 0), PrinterInterface(0), InterfaceBytes(2, 0, 1),
                                      EndpointBytes(0x83)})),
                       {521},
                       1,
                       {2}},
        // Alternate setting 1 (one pipe) after setting 0 (two): the first is selected.
        GoodDescriptor{"FirstAlternateSetting",
                       WithTotal(Cat({ConfigHeader(1, 0), PrinterInterface(0, 0), InterfaceBytes(0, 1, 1),
                                      EndpointBytes(0x83)})),
                       {521},
                       1,
                       {2}},
        GoodDescriptor{"TwoInterfaces",
                       WithTotal(Cat({ConfigHeader(2, 0), PrinterInterface(0), InterfaceBytes(1, 0, 1),
                                      EndpointBytes(0x83)})),
                       {521},
                       2,
                       {2, 1}}),
    [](const testing::TestParamInfo<GoodDescriptor> &info) { return info.param.name; });

// Descriptor sets that do not hold together: the start fails, the device is
// left unconfigured, and the removal at shutdown finds nothing to free.
struct BadDescriptor {
    const char *name;
    Bytes bytes;
};

class BadDescriptors : public UsbFixture, public testing::WithParamInterface<BadDescriptor> {};

TEST_P(BadDescriptors, FailTheStartCleanly)
{
    DeviceConfig config = PrinterConfig();
    config.configurationDescriptorOverride = GetParam().bytes;
    PlugOnly(false, config);
    EXPECT_EQ(machine_.DeviceState(id_), "failed");
    EXPECT_EQ(printer_->ConfigurationValue(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, BadDescriptors,
    testing::Values(
        BadDescriptor{"ShorterThanAHeader", {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0}},
        BadDescriptor{"TotalBeyondWhatArrives", Cat({ConfigHeader(1, 64), PrinterInterface()})},
        BadDescriptor{"TotalShorterThanTheHeader", Cat({ConfigHeader(1, 5), PrinterInterface()})},
        BadDescriptor{"NotAConfigurationDescriptor",
                      WithTotal(Cat({{9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0xA0, 50},
                                     PrinterInterface()}))},
        BadDescriptor{"ZeroLengthDescriptorInside",
                      WithTotal(Cat({ConfigHeader(1, 0), InterfaceBytes(0, 0, 2), {0, 0x24, 0, 0, 0, 0, 0},
                                     EndpointBytes(0x01), EndpointBytes(0x82)}))},
        BadDescriptor{"DescriptorRunningPastTheEnd",
                      WithTotal(Cat({ConfigHeader(1, 0), PrinterInterface(), {40, 0x24, 0, 0}}))},
        BadDescriptor{"TruncatedInterfaceDescriptor",
                      WithTotal(Cat({ConfigHeader(1, 0), {5, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2},
                                     EndpointBytes(0x01), EndpointBytes(0x82)}))},
        BadDescriptor{"TruncatedEndpointDescriptor",
                      WithTotal(Cat({ConfigHeader(1, 0), InterfaceBytes(0, 0, 2), EndpointBytes(0x01),
                                     {4, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x82, 2}}))},
        BadDescriptor{"NoInterfaceZero",
                      WithTotal(Cat({ConfigHeader(1, 0), InterfaceBytes(1, 0, 1), EndpointBytes(0x81)}))},
        BadDescriptor{"NoInterfacesAnnounced", WithTotal(Cat({ConfigHeader(0, 0), PrinterInterface()}))}),
    [](const testing::TestParamInfo<BadDescriptor> &info) { return info.param.name; });

// The idle state is the device state of the last of S1 to S3 that is
// shallower than D3; D2 when none is, or when it is D0 or unspecified.
struct IdleCase {
    const char *name;
    DEVICE_POWER_STATE s1, s2, s3;
    DEVICE_POWER_STATE idle;
};

class IdleState : public UsbFixture, public testing::WithParamInterface<IdleCase> {};

TEST_P(IdleState, FollowsTheCapabilities)
{
    DeviceConfig config = PrinterConfig();
    config.power.deviceState[PowerSystemSleeping1] = GetParam().s1;
    config.power.deviceState[PowerSystemSleeping2] = GetParam().s2;
    config.power.deviceState[PowerSystemSleeping3] = GetParam().s3;
    Start(false, config);
    EXPECT_EQ(Extension()->IdlePowerState, GetParam().idle);

    HANDLE pipe = Open("if0pipe0");
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(printer_->PowerState(), PowerDeviceD0);
    Close(pipe);
    EXPECT_EQ(printer_->PowerState(), GetParam().idle) << "the last close sends the device to its idle state";
}

INSTANTIATE_TEST_SUITE_P(
    Startup, IdleState,
    testing::Values(IdleCase{"HubDefault", PowerDeviceD2, PowerDeviceD2, PowerDeviceD2, PowerDeviceD2},
                    IdleCase{"D1ThenD3", PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
                    IdleCase{"LastQualifyingWins", PowerDeviceD2, PowerDeviceD3, PowerDeviceD1, PowerDeviceD1},
                    IdleCase{"AllD3GivesD2", PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
                    IdleCase{"UnspecifiedGivesD2", PowerDeviceD2, PowerDeviceD3, PowerDeviceUnspecified,
                             PowerDeviceD2}),
    [](const testing::TestParamInfo<IdleCase> &info) { return info.param.name; });

}  // namespace
}  // namespace tarvik::test
