// Where the driver package is: the --package option, else the
// TARVIK_PACKAGE_DIR environment variable, else the folder the build wrote it
// to (baked in at build time).
#pragma once

#include <string>

namespace tarvik::sim {

struct PackageLocation {
    std::string inf;    // the INF to install; empty when not found
    std::string error;  // why not, in words a newcomer can act on
};

// `given` is the --package value (a folder or an INF), empty when not given.
PackageLocation LocatePackage(const std::string &given);

}  // namespace tarvik::sim
