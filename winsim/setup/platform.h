// Which sections of an INF apply to the machine: the Models section of a
// [Manufacturer] entry chosen by its TargetOSVersion decorations
// (NT[architecture][.major[.minor[.productType[.suiteMask[.build]]]]]), and a
// DDInstall section's platform extension (.NTamd64, .NT, or none).
#pragma once

#include "inf_file.h"

#include <optional>
#include <string>

namespace winsim::setup {

struct Platform {
    std::string architecture = "amd64";  // x86, amd64, arm64 ...
    unsigned major = 10, minor = 0, build = 19045;
    unsigned productType = 1;            // VER_NT_WORKSTATION
};

// The Models section a [Manufacturer] line names for this platform, or none
// when the INF has none for it (an x64 machine uses decorated sections only).
std::optional<std::string> ModelsSectionFor(const InfFile &inf, const InfLine &manufacturer, const Platform &platform);

// The DDInstall section actually used for an install-section name: the most
// specific of name.NT<arch>, name.NT and name that the INF has.
std::optional<std::string> InstallSectionFor(const InfFile &inf, const std::string &name, const Platform &platform);

// ".NTamd64" etc.: what InstallSectionFor appended to the name.
std::string InstallSectionExtension(const std::string &chosen, const std::string &name);

}  // namespace winsim::setup
