// What a driver package must satisfy before Windows stages it, checked for
// the machine's platform: a [Version] section with a known Signature, Class,
// ClassGuid, Provider and DriverVer; Models for the platform; every section
// an entry names; every file it copies listed in [SourceDisksFiles] and
// present in the package; services complete, with one function driver.
// The first problem found is an InfError naming the file and the line.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-version-section
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-manufacturer-section
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-models-section
#pragma once

#include "dirids.h"
#include "inf_file.h"
#include "platform.h"

#include <filesystem>
#include <string>
#include <vector>

namespace winsim::setup {

struct PackageVersion {
    std::string className;
    std::string classGuid;      // as the INF writes it
    std::string provider;
    unsigned month = 0, day = 0, year = 0;
    std::vector<unsigned> version;  // DriverVer's w.x.y.z, empty when not given
};

// [Version] alone: what every installation step needs to know of a package.
PackageVersion ReadVersion(const InfFile &inf);

// A model of the [Manufacturer] -> Models chain.
struct Model {
    std::string manufacturer;  // the [Manufacturer] entry's name
    std::string description;   // device description
    std::string installName;   // the install-section name the entry gives
    std::vector<std::string> ids;  // hardware ID, then compatible IDs
    const InfLine *line = nullptr;
};

// Every Models entry that applies to the platform.
std::vector<Model> ModelsFor(const InfFile &inf, const Platform &platform);

// The whole check; packageDirectory holds the files the INF names.
void CheckPackage(const InfFile &inf, const std::filesystem::path &packageDirectory, const Platform &platform,
                  const MachineFolders &folders);

}  // namespace winsim::setup
