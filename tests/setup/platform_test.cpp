// Which Models and DDInstall sections apply to the machine.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-manufacturer-section
//   "Starting with Windows Server 2003 SP1, INF files must decorate models-section-name entries
//   in the INF Manufacturer section, along with the associated INF Models section names, with
//   .ntia64 or .ntamd64 platform extensions to specify non-x86 target operating system versions.
//   These platform extensions are not required in INF files for x86-based target operating system
//   versions"; "Windows selects the INF Models section that most closely matches the operating
//   system version on which it is executing."
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/combining-platform-extensions-with-operating-system-versions
//   nt[Architecture][.[OSMajorVersion][.[OSMinorVersion][.[ProductType][.[SuiteMask][.[BuildNumber]]]]]]
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-ddinstall-section
//   [install-section-name.ntamd64] before [install-section-name.nt] before [install-section-name].
#include "setup_test.h"

#include <setup/inf_file.h>
#include <setup/platform.h>

namespace {

using namespace winsim::setup;

struct ModelsCase {
    const char *manufacturer;  // the [Manufacturer] entry
    Platform platform;
    std::optional<std::string> expected;
};

const Platform kAmd64Win10{"amd64", 10, 0, 19045};
const Platform kAmd64Win10Old{"amd64", 10, 0, 15063};
const Platform kAmd64Win7{"amd64", 6, 1, 7601};
const Platform kX86Win10{"x86", 10, 0, 19045};

TEST(Platform, ModelsSectionFollowsArchitectureAndVersion)
{
    const ModelsCase cases[] = {
        {"Mfg = Models, NTx86, NTamd64", kAmd64Win10, "Models.NTamd64"},
        {"Mfg = Models, NTx86, NTamd64", kX86Win10, "Models.NTx86"},
        {"Mfg = Models", kAmd64Win10, std::nullopt},
        {"Mfg = Models", kX86Win10, "Models"},
        {"Mfg = Models, NT", kAmd64Win10, std::nullopt},
        {"Mfg = Models, NT", kX86Win10, "Models.NT"},
        {"Mfg = Models, NTamd64, NTamd64.10.0...16299", kAmd64Win10, "Models.NTamd64.10.0...16299"},
        {"Mfg = Models, NTamd64, NTamd64.10.0...16299", kAmd64Win10Old, "Models.NTamd64"},
        {"Mfg = Models, NTamd64.6.2", kAmd64Win7, std::nullopt},
        {"Mfg = Models, NTamd64.6.1, NTamd64.6.2", kAmd64Win10, "Models.NTamd64.6.2"},
        {"Mfg = Models, NTamd64.10.0.3", kAmd64Win10, std::nullopt},  // a server product type
        {"Mfg = Models, NTarm64", kAmd64Win10, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.manufacturer) + " on " + c.platform.architecture + " " +
                     std::to_string(c.platform.major) + "." + std::to_string(c.platform.build));
        InfFile inf = InfFile::Parse(std::string("[Manufacturer]\n") + c.manufacturer + "\n", "p.inf");
        EXPECT_EQ(ModelsSectionFor(inf, inf.Find("Manufacturer")->lines[0], c.platform), c.expected);
    }
}

TEST(Platform, UnknownDecorationIsAnError)
{
    InfFile inf = InfFile::Parse("[Manufacturer]\n\nMfg = Models, Windows10\n", "p.inf");
    try {
        ModelsSectionFor(inf, inf.Find("Manufacturer")->lines[0], kAmd64Win10);
        ADD_FAILURE() << "accepted";
    } catch (const InfError &e) {
        EXPECT_EQ(e.line(), 3);
    }
}

// An INF template's NT$ARCH$ is stamped with the machine's architecture.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/devtest/stampinf-command-options
//   -a architecture: "Specifies the architecture string to replace the $ARCH$ variable that is
//   used in INX files. The $ARCH$ variable is used to customize a TargetOSVersion decoration in
//   an INF Manufacturer section and its respective section names to a specific platform."
TEST(Platform, TemplateArchitectureTokenIsStamped)
{
    fs::path path = fs::temp_directory_path() / "winsim-template-test.inf";
    WriteText(path, "[Manufacturer]\nMfg = Models, NT$ARCH$\n[Models.NT$ARCH$]\nDevice = Install, ID\n");
    for (const Platform &platform : {kAmd64Win10, kX86Win10}) {
        SCOPED_TRACE(platform.architecture);
        InfFile inf = InfFile::Load(path, platform.architecture);
        auto models = ModelsSectionFor(inf, inf.Find("Manufacturer")->lines[0], platform);
        EXPECT_EQ(models, "Models.NT" + platform.architecture);
        EXPECT_NE(inf.Find(*models), nullptr);
    }
    fs::remove(path);
}

struct InstallCase {
    const char *sections;
    Platform platform;
    std::optional<std::string> expected;
};

TEST(Platform, InstallSectionTakesTheMostSpecificExtension)
{
    const InstallCase cases[] = {
        {"[Inst]\n[Inst.NT]\n[Inst.NTamd64]\n", kAmd64Win10, "Inst.NTamd64"},
        {"[Inst]\n[Inst.NT]\n[Inst.NTamd64]\n", kX86Win10, "Inst.NT"},
        {"[Inst]\n[Inst.NTx86]\n", kAmd64Win10, "Inst"},
        {"[inst.ntAMD64]\n", kAmd64Win10, "inst.ntAMD64"},
        {"[Other]\n", kAmd64Win10, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sections);
        InfFile inf = InfFile::Parse(c.sections, "p.inf");
        EXPECT_EQ(InstallSectionFor(inf, "Inst", c.platform), c.expected);
    }
}

}  // namespace
