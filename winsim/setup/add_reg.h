// AddReg sections: reg-root, [subkey], [value-entry-name], [flags], [value]...
// HKR is the key of the section that names the AddReg directive: the
// software (driver) key for DDInstall, the hardware key for DDInstall.HW,
// the service key for a service-install section.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-addreg-directive
#pragma once

#include "dirids.h"
#include "inf_file.h"

#include <string>

namespace winsim::setup {

struct RegistryRoots {
    std::string hkr;                // NT path HKR stands for; empty where HKR is not allowed
    // Where values that are device properties (UpperFilters, LowerFilters,
    // Exclusive, Security, DeviceType, DeviceCharacteristics) written to HKR
    // itself go: the device's instance key, for DDInstall.HW. Empty: HKR.
    std::string propertyKey;
};

// Checks every line of the sections an AddReg directive names.
void CheckAddReg(const InfFile &inf, const InfLine &directive);
// Applies them.
void ApplyAddReg(const InfFile &inf, const InfLine &directive, const RegistryRoots &roots, const DirIds &dirids);

}  // namespace winsim::setup
