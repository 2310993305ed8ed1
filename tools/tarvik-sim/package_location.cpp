// Finding the driver package (see package_location.h).
#include "package_location.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef TARVIK_SIM_PACKAGE_DIR
#error "the build passes the driver package folder as TARVIK_SIM_PACKAGE_DIR"
#endif

namespace tarvik::sim {

PackageLocation LocatePackage(const std::string &given)
{
    namespace fs = std::filesystem;
    std::string where = "the build's driver package";
    fs::path path = TARVIK_SIM_PACKAGE_DIR;
    if (!given.empty()) {
        path = given;
        where = "--package";
    } else if (const char *env = std::getenv("TARVIK_PACKAGE_DIR"); env != nullptr && *env != '\0') {
        path = env;
        where = "TARVIK_PACKAGE_DIR";
    }
    std::error_code ec;
    if (fs::is_directory(path, ec))
        path /= "tarvik.inf";
    if (!fs::is_regular_file(path, ec)) {
        std::string hint = where == "the build's driver package"
                               ? "build it with 'cmake --build --preset host', or point TARVIK_PACKAGE_DIR or "
                                 "--package at a package folder"
                               : "check the path given by " + where;
        return {"", "driver package not found: no " + path.string() + " (" + where + "); " + hint};
    }
    return {path.string(), ""};
}

}  // namespace tarvik::sim
