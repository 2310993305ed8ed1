// AddService directives of a DDInstall.Services section: a key under
// HKLM\SYSTEM\CurrentControlSet\Services per service, with the values its
// service-install section gives (ImagePath, Type, Start, ErrorControl ...).
// The service flagged SPSVCINST_ASSOCSERVICE (0x2) is the device's function
// driver.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-addservice-directive
#pragma once

#include "dirids.h"
#include "inf_file.h"

#include <string>

namespace winsim::setup {

constexpr uint32_t kAssociatedService = 0x00000002;  // SPSVCINST_ASSOCSERVICE

// Checks the section's AddService entries and their service-install
// sections; exactly one must be the function driver.
void CheckServices(const InfFile &inf, const InfSection &services, const DirIds &dirids);
// Creates or updates the service keys; returns the function driver's service.
// owner: the published INF name recorded in each service's Owners.
std::string InstallServices(const InfFile &inf, const InfSection &services, const DirIds &dirids,
                            const std::string &owner);

}  // namespace winsim::setup
