// The COM name of a Ports-class device, as the Ports class installer gives
// it: the name the device had before (its hardware key's "PortName", which
// survives unplug and reinstall), else the lowest number the COM Name
// Arbiter has free; either way the number is marked used in ComDB.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/serports/com-port-name-arbiter
#pragma once

#include <string>

namespace winsim::setup {

// instanceKey: the device's Enum key (NT path). forced: a name to use
// instead (releasing the number of the name it replaces). Returns the name,
// or empty when every COM number is taken.
std::string AssignPortName(const std::string &instanceKey, const std::string &forced);
// Gives the device's number back to the arbiter (device uninstalled).
void ReleasePortName(const std::string &instanceKey);

}  // namespace winsim::setup
