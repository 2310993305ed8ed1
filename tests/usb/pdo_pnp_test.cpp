// The printer's PDO as the Plug and Play manager sees it: the identifiers
// and capabilities it reports, the hub's bus relations, and the removal
// rules of a bus driver, including requests that reach a PDO after its
// removal.
#include "usb_test_support.h"

#include "../kernel/device.h"

namespace winsim::usb::test {
namespace {

class PdoPnp : public UsbTest {};

std::u16string Hex4(unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "%04X", value);
    return std::u16string(text, text + 4);
}

// Standard USB Identifiers (learn.microsoft.com, windows-hardware/drivers/
// install/standard-usb-identifiers): device ID USB\VID_v&PID_p; hardware
// IDs with and without &REV_r; compatible IDs from the class codes.
TEST_F(PdoPnp, IdentifiersFollowTheStandardUsbForms)
{
    std::u16string device = u"USB\\VID_" + Hex4(TARVIK_USB_VID) + u"&PID_" + Hex4(TARVIK_USB_PID);
    EXPECT_EQ(QueryIds(pdo_, BusQueryDeviceID), std::vector<std::u16string>{device});
    EXPECT_EQ(QueryIds(pdo_, BusQueryHardwareIDs),
              (std::vector<std::u16string>{device + u"&REV_" + Hex4(TARVIK_USB_REV), device}));
    EXPECT_EQ(QueryIds(pdo_, BusQueryCompatibleIDs),
              (std::vector<std::u16string>{u"USB\\Class_FF&SubClass_00&Prot_00", u"USB\\Class_FF&SubClass_00",
                                           u"USB\\Class_FF"}));
    EXPECT_EQ(QueryIds(pdo_, BusQueryInstanceID), std::vector<std::u16string>{u"WSP000001"});
}

TEST_F(PdoPnp, UnansweredIdTypeKeepsItsStatus)
{
    NTSTATUS status;
    QueryIds(pdo_, BusQueryContainerID, &status);
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
}

// Compatible IDs by the shape of the device: its own class when the device
// descriptor names one, the first interface's when it leaves that to the
// interfaces, USB\COMPOSITE for a classless device with several interfaces.
struct ClassCase {
    const char *name;
    UCHAR deviceClass;
    size_t interfaces;
    std::vector<std::u16string> compatible;
};

class CompatibleIds : public PdoPnp, public testing::WithParamInterface<ClassCase> {};

TEST_P(CompatibleIds, FollowTheClassCodes)
{
    const ClassCase &c = GetParam();
    DeviceConfig config = PrinterConfig(BuildIdentity());
    config.deviceClass = c.deviceClass;
    config.deviceSubClass = c.deviceClass ? 1 : 0;
    config.deviceProtocol = c.deviceClass ? 2 : 0;
    config.serialNumber.clear();
    for (size_t i = 1; i < c.interfaces; i++) {
        InterfaceConfig extra;
        extra.number = static_cast<UCHAR>(i);
        extra.interfaceClass = 3;
        config.interfaces.push_back(extra);
    }
    auto device = host_->Plug(config);
    EXPECT_EQ(QueryIds(device->Pdo(), BusQueryCompatibleIDs), c.compatible);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CompatibleIds,
    testing::Values(ClassCase{"DeviceClass", 7, 1, {u"USB\\Class_07&SubClass_01&Prot_02", u"USB\\Class_07&SubClass_01", u"USB\\Class_07"}},
                    ClassCase{"Composite", 0, 2,
                              {u"USB\\DevClass_00&SubClass_00&Prot_00", u"USB\\DevClass_00&SubClass_00",
                               u"USB\\DevClass_00", u"USB\\COMPOSITE"}}),
    [](const testing::TestParamInfo<ClassCase> &info) { return info.param.name; });

// Without a usable serial number the instance ID comes from the port: the
// same port gives the same ID when the device comes back; another port
// another ID.
TEST_F(PdoPnp, InstanceIdWithoutSerialNumberFollowsThePort)
{
    DeviceConfig config = PrinterConfig(BuildIdentity());
    config.serialNumber = u"BAD,SERIAL";  // a comma is not allowed in an instance ID
    auto first = host_->Plug(config, 3);
    std::u16string id = QueryIds(first->Pdo(), BusQueryInstanceID).at(0);
    EXPECT_NE(id, u"BAD,SERIAL");
    host_->Unplug(*first);
    auto again = host_->Plug(config, 3);
    EXPECT_EQ(QueryIds(again->Pdo(), BusQueryInstanceID).at(0), id);
    auto elsewhere = host_->Plug(config, 4);
    EXPECT_NE(QueryIds(elsewhere->Pdo(), BusQueryInstanceID).at(0), id);
}

PDEVICE_CAPABILITIES QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES &caps, NTSTATUS *status)
{
    caps = DEVICE_CAPABILITIES{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    *status = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION s) {
                  s->Parameters.DeviceCapabilities.Capabilities = &caps;
              }).status;
    return &caps;
}

// IRP_MN_QUERY_CAPABILITIES: the bus driver fills in the power mapping it
// supports (DeviceState per system state, DeviceWake, SystemWake), the
// address on the bus, and whether the instance ID is unique.
TEST_F(PdoPnp, CapabilitiesReportTheDevicesPowerMapping)
{
    DEVICE_CAPABILITIES caps;
    NTSTATUS status;
    QueryCapabilities(pdo_, caps, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_TRUE(caps.WakeFromD2);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.UniqueID);
    EXPECT_FALSE(caps.SurpriseRemovalOK);  // the function driver's to set
    EXPECT_EQ(caps.Address, 1u);
    EXPECT_EQ(caps.UINumber, 1u);
}

TEST_F(PdoPnp, CapabilitiesAreSettable)
{
    PowerCapabilities power = DefaultPowerCapabilities(false);
    power.deviceState[PowerSystemSleeping1] = PowerDeviceD1;
    power.deviceD1 = true;
    printer_->SetPowerCapabilities(power);
    DEVICE_CAPABILITIES caps;
    NTSTATUS status;
    QueryCapabilities(pdo_, caps, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
    EXPECT_TRUE(caps.DeviceD1);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    EXPECT_FALSE(caps.WakeFromD2);
}

TEST_F(PdoPnp, DeviceTextNamesProductAndPort)
{
    auto text = [this](DEVICE_TEXT_TYPE type) {
        PnpAnswer a = SendPnp(pdo_, IRP_MN_QUERY_DEVICE_TEXT,
                              [type](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceText.DeviceTextType = type; });
        EXPECT_EQ(a.status, STATUS_SUCCESS);
        std::u16string result(reinterpret_cast<const char16_t *>(a.information));
        ExFreePool(reinterpret_cast<PVOID>(a.information));
        return result;
    };
    EXPECT_EQ(text(DeviceTextDescription), u"Simulated USB printer");
    EXPECT_EQ(text(DeviceTextLocationInformation), u"Port_#0001.Hub_#0001");
}

TEST_F(PdoPnp, TargetRelationIsThePdoItself)
{
    PnpAnswer a = SendPnp(pdo_, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(a.information);
    ASSERT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], pdo_);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
}

// BusRelations from the hub: the PDO of every connected device.
TEST_F(PdoPnp, HubReportsConnectedDevices)
{
    EXPECT_EQ(host_->QueryBusRelations(), std::vector<PDEVICE_OBJECT>{pdo_});
    auto second = host_->Plug(PrinterConfig(BuildIdentity()), 2);
    EXPECT_EQ(host_->QueryBusRelations(), (std::vector<PDEVICE_OBJECT>{pdo_, second->Pdo()}));
    host_->Unplug(*printer_);
    EXPECT_EQ(host_->QueryBusRelations(), std::vector<PDEVICE_OBJECT>{second->Pdo()});
}

bool Deleted(PDEVICE_OBJECT pdo) { return DeviceDeletePending(pdo); }

// Removing a device in a bus driver (learn.microsoft.com, "Removing a
// Device in a Bus Driver"): a PDO whose device is still present survives
// the remove request and can be started again; the PDO of a device that the
// last enumeration no longer reported is deleted.
TEST_F(PdoPnp, RemovalOfAPresentDeviceKeepsItsPdo)
{
    ASSERT_EQ(SendPnp(pdo_, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(Deleted(pdo_));
    auto urb = NewUrb();
    USB_DEVICE_DESCRIPTOR d;
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &d, nullptr, sizeof d, nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_DEVICE_NOT_CONNECTED) << "no device handle until started again";
    ASSERT_EQ(SendPnp(pdo_, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_SUCCESS);
}

TEST_F(PdoPnp, UnpluggedDeviceIsDeletedOnlyAfterTheEnumerationThatDropsIt)
{
    ObReferenceObject(pdo_);  // as the Plug and Play manager holds it
    host_->Unplug(*printer_);
    EXPECT_EQ(SendPnp(pdo_, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(Deleted(pdo_)) << "still reported: the Plug and Play manager does not know yet";
    EXPECT_TRUE(host_->QueryBusRelations().empty());
    EXPECT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(Deleted(pdo_));
    ObDereferenceObject(pdo_);
}

// A driver above may turn a surprise removal into a remove request of its
// own; the Plug and Play manager's remove request then reaches a PDO that is
// already deleted. Everything that still arrives there is answered.
TEST_F(PdoPnp, RequestsAfterTeardownAreAnswered)
{
    ObReferenceObject(pdo_);
    host_->Unplug(*printer_);
    host_->QueryBusRelations();
    SendPnp(pdo_, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ASSERT_TRUE(Deleted(pdo_));

    EXPECT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS) << "second remove";
    EXPECT_EQ(SendPnp(pdo_, IRP_MN_QUERY_CAPABILITIES).status, STATUS_NO_SUCH_DEVICE);
    NTSTATUS status;
    QueryIds(pdo_, BusQueryDeviceID, &status);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    auto urb = NewUrb();
    USB_DEVICE_DESCRIPTOR d;
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &d, nullptr, sizeof d, nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, urb.get()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(ResetPort(pdo_), STATUS_DEVICE_NOT_CONNECTED);
    ObDereferenceObject(pdo_);
}

// A PDO is not a device an application opens; once the drivers above have
// left a deleted PDO, what an old handle still sends is refused, and its
// close succeeds.
TEST_F(PdoPnp, FileRequestsToADeletedPdoAreRefusedButCloseSucceeds)
{
    ObReferenceObject(pdo_);
    host_->Unplug(*printer_);
    host_->QueryBusRelations();
    SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
    ASSERT_TRUE(Deleted(pdo_));
    for (auto [major, expected] : {std::pair<UCHAR, NTSTATUS>{IRP_MJ_READ, STATUS_NO_SUCH_DEVICE},
                                   {IRP_MJ_CREATE, STATUS_NO_SUCH_DEVICE},
                                   {IRP_MJ_CLEANUP, STATUS_SUCCESS},
                                   {IRP_MJ_CLOSE, STATUS_SUCCESS}}) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(major, pdo_, nullptr, 0, nullptr, &event, &iosb);
        EXPECT_EQ(IoCallDriver(pdo_, irp), expected) << "major " << int(major);
    }
    ObDereferenceObject(pdo_);
}

}  // namespace
}  // namespace winsim::usb::test
