// The descriptors a simulated device answers GET_DESCRIPTOR with, built from
// its DeviceConfig, and the configuration of the simulated printer.
#include "usb_host.h"

namespace winsim::usb {
namespace {

void Put16(std::vector<UCHAR> &out, USHORT value)
{
    out.push_back(static_cast<UCHAR>(value & 0xFF));
    out.push_back(static_cast<UCHAR>(value >> 8));
}

}  // namespace

PowerCapabilities DefaultPowerCapabilities(bool remoteWake)
{
    PowerCapabilities caps;
    caps.deviceState.fill(PowerDeviceUnspecified);
    caps.deviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.deviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps.deviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.deviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.deviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.deviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.deviceD1 = false;
    caps.deviceD2 = true;
    if (remoteWake) {
        caps.systemWake = PowerSystemSleeping3;
        caps.deviceWake = PowerDeviceD2;
        caps.wakeFromD2 = true;
    }
    return caps;
}

DeviceConfig PrinterConfig(PrinterIdentity identity)
{
    DeviceConfig config;
    config.vendorId = identity.vendorId;
    config.productId = identity.productId;
    config.bcdDevice = identity.revision;
    config.manufacturer = u"winsim";
    config.product = u"Simulated USB printer";
    config.serialNumber = u"WSP000001";
    InterfaceConfig printer;
    printer.number = 0;
    printer.interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    printer.endpoints = {
        EndpointConfig{0x01, USB_ENDPOINT_TYPE_BULK, 64, 0},
        EndpointConfig{0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
    };
    config.interfaces = {printer};
    config.power = DefaultPowerCapabilities(true);
    return config;
}

std::vector<UCHAR> BuildDeviceDescriptor(const DeviceConfig &config)
{
    std::vector<UCHAR> d;
    d.push_back(sizeof(USB_DEVICE_DESCRIPTOR));
    d.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
    Put16(d, config.bcdUsb);
    d.push_back(config.deviceClass);
    d.push_back(config.deviceSubClass);
    d.push_back(config.deviceProtocol);
    d.push_back(config.maxPacketSize0);
    Put16(d, config.vendorId);
    Put16(d, config.productId);
    Put16(d, config.bcdDevice);
    d.push_back(config.manufacturer.empty() ? 0 : 1);
    d.push_back(config.product.empty() ? 0 : 2);
    d.push_back(config.serialNumber.empty() ? 0 : 3);
    d.push_back(1);  // bNumConfigurations
    return d;
}

std::vector<UCHAR> BuildConfigurationDescriptor(const DeviceConfig &config)
{
    if (!config.configurationDescriptorOverride.empty())
        return config.configurationDescriptorOverride;
    std::vector<UCHAR> d;
    d.push_back(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    d.push_back(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    Put16(d, 0);  // wTotalLength, below
    UCHAR interfaceNumbers = 0;
    for (auto &i : config.interfaces)
        if (i.alternateSetting == 0)
            interfaceNumbers++;
    d.push_back(interfaceNumbers);
    d.push_back(config.configurationValue);
    d.push_back(0);  // iConfiguration
    d.push_back(config.attributes);
    d.push_back(config.maxPower);
    for (auto &i : config.interfaces) {
        d.push_back(sizeof(USB_INTERFACE_DESCRIPTOR));
        d.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
        d.push_back(i.number);
        d.push_back(i.alternateSetting);
        d.push_back(static_cast<UCHAR>(i.endpoints.size()));
        d.push_back(i.interfaceClass);
        d.push_back(i.subClass);
        d.push_back(i.protocol);
        d.push_back(0);  // iInterface
        for (auto &e : i.endpoints) {
            d.push_back(sizeof(USB_ENDPOINT_DESCRIPTOR));
            d.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
            d.push_back(e.address);
            d.push_back(e.type);
            Put16(d, e.maxPacketSize);
            d.push_back(e.interval);
        }
    }
    d[2] = static_cast<UCHAR>(d.size() & 0xFF);
    d[3] = static_cast<UCHAR>(d.size() >> 8);
    return d;
}

}  // namespace winsim::usb
