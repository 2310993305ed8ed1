// The uninstaller's operations on the system, one at a time: deleting the
// product's OEM driver packages, the rights test, and device removal with an
// information file that names no class.
#include "uninstall_fixture.h"

#include "../../uninstall/removal.h"

#include <fstream>

namespace tarvik::test {
namespace {

const char kOurs[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Strings]\r\nQOMDEV_USB.SvcDesc=\"Tarvik USB\"\r\n";

std::string WithKey(const std::string &value)
{
    return std::string("[Version]\r\nSignature=\"$Windows NT$\"\r\n[Strings]\r\nQOMDEV_USB.SvcDesc=") + value + "\r\n";
}

class PackageRemoval : public UninstallTest {
protected:
    std::vector<std::string> Deleted()
    {
        RemoveOemDriverPackages();
        session().WaitForCommands();
        std::vector<std::string> commands;
        for (const auto &command : session().StartedCommands()) {
            EXPECT_EQ(command.show, static_cast<UINT>(SW_HIDE));
            commands.push_back(command.commandLine);
        }
        return commands;
    }
};

TEST_F(PackageRemoval, OnlyTheProductsPackagesAreDeleted)
{
    struct Case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> files;  // in the INF folder
        std::vector<std::string> deleted;                          // pnputil arguments
    };
    const Case cases[] = {
        {"no OEM packages: 256 names probed, none there", {}, {}},
        {"ours by the key, whatever its value but NO in any case",
         {{"oem0.inf", kOurs}, {"oem1.inf", "[Strings]\r\nOther=1\r\n"}, {"oem2.inf", WithKey("nO")},
          {"oem3.inf", WithKey("")}, {"oem10.inf", kOurs}, {"oem12.inf", WithKey("\"NO\"")}},
         {"oem0.inf", "oem3.inf", "oem10.inf"}},
        // Windows file names ignore case: OEM12.INF is package 12.
        {"capital names count", {{"oem1.inf", WithKey("x")}, {"OEM12.INF", kOurs}}, {"oem1.inf", "oem12.inf"}},
        // A stray name with a huge number does not keep the probe going for ever.
        {"bounded probe", {{"oem5.inf", kOurs}, {"oem99999999.inf", kOurs}}, {"oem5.inf"}},
        {"not a package number", {{"oemx.inf", kOurs}, {"oem2.inf", kOurs}}, {"oem2.inf"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(WindowsFolder() / "inf");
        std::filesystem::create_directories(WindowsFolder() / "inf");
        for (const auto &[name, text] : c.files)
            WriteWindowsFile("inf/" + name, text);
        StartSession();
        std::vector<std::string> expected;
        for (const auto &name : c.deleted)
            expected.push_back("pnputil.exe -f -d " + name);
        EXPECT_EQ(Deleted(), expected);
    }
}

TEST_F(PackageRemoval, PnputilDeletesTheStagedPackage)
{
    const std::filesystem::path source = std::filesystem::path(TARVIK_PACKAGE_SOURCE) / "../tests/setup/packages/com_port";
    auto ours = programFolder_ / "ours";
    std::filesystem::create_directories(ours);
    for (const auto &entry : std::filesystem::directory_iterator(source))
        std::filesystem::copy(entry.path(), ours / entry.path().filename());
    std::ofstream(ours / "winsim_port.inf", std::ios::app) << "QOMDEV_USB.SvcDesc = \"Tarvik\"\r\n";

    auto theirs = machine_.InstallPackage((source / "winsim_port.inf").string());
    auto product = machine_.InstallPackage((ours / "winsim_port.inf").string());
    ASSERT_TRUE(theirs.ok) << theirs.error;
    ASSERT_TRUE(product.ok) << product.error;

    EXPECT_EQ(Deleted(), std::vector<std::string>{"pnputil.exe -f -d " + product.publishedName});
    EXPECT_EQ(session().StartedCommands()[0].exitCode, 0);
    EXPECT_EQ(machine_.machine().Setup().PublishedPackages(), std::vector<std::string>{theirs.publishedName});
}

TEST_F(PackageRemoval, PnputilIsMissingForAThirtyTwoBitProgramOnSixtyFourBitWindows)
{
    WriteWindowsFile("inf/oem0.inf", kOurs);
    StartSession({.wow64 = true});
    auto commands = Deleted();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(session().StartedCommands()[0].result, static_cast<UINT>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PackageRemoval, RightsTestOpensTheArbiterKeyForWriting)
{
    EXPECT_TRUE(HasArbiterWriteAccess());
    winsim::registry::SetUserElevated(false);
    EXPECT_FALSE(HasArbiterWriteAccess());
    winsim::registry::SetUserElevated(true);
    winsim::registry::DeleteKey(winsim::registry::kComNameArbiterKey);
    EXPECT_FALSE(HasArbiterWriteAccess());
}

TEST_F(PackageRemoval, DevicesNeedTheClassOfTheInformationFile)
{
    auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\1", {"USB\\VID_1A2B&PID_3C4D"});
    WriteProgramFile("noclass.DEL", "[Uninstall_PID]\r\nPID0=VID_1A2B\r\n");
    RemoveMatchingDevices((std::string(kProgramFolder) + "\\noclass.DEL").c_str(), "USB\\VID_1A2B");
    EXPECT_EQ(winsim::pnp::StateOf(printer), winsim::pnp::NodeState::Started);

    WriteProgramFile("class.DEL", InformationFile(""));
    RemoveMatchingDevices((std::string(kProgramFolder) + "\\class.DEL").c_str(), "usb\\vid_1a2b");
    EXPECT_NE(winsim::pnp::StateOf(printer), winsim::pnp::NodeState::Started);
    EXPECT_EQ(session().LiveLocalAllocations(), 0u);
}

}  // namespace
}  // namespace tarvik::test
