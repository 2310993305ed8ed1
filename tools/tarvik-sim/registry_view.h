// Where Windows records a COM port, read with the registry functions an
// application uses.
#pragma once

#include <string>
#include <vector>

namespace tarvik::sim {

constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// "value name = port name" for every port in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
struct SerialCommEntry {
    std::string valueName;  // the port driver's device name, e.g. \Device\...
    std::string portName;   // COM1
};
std::vector<SerialCommEntry> SerialCommPorts();

// The key holding a device's PortName (HKLM\SYSTEM\CurrentControlSet\Enum\<id>\Device Parameters).
std::string DeviceParametersKey(const std::string &instanceId);
// Its PortName value; empty when there is none.
std::string DevicePortName(const std::string &instanceId);

}  // namespace tarvik::sim
