// Staging driver packages: the checks Windows makes before it accepts a
// package, the driver store and the oem<N>.inf names.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/driver-store
//   Staging copies the package into the driver store; the INF is published in %windir%\INF.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/devtest/pnputil-command-syntax
//   /add-driver prints the "Published Name" oem<N>.inf; adding a package that is already in the
//   store gives back its published name; /delete-driver takes that name.
// The published name is the lowest oem<N>.inf that the INF folder does not hold (setupapi's
//   SetupCopyOEMInf, which names the copy it makes in %windir%\INF).
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-version-section
//   Signature "$Windows NT$" (or "$Chicago$"), Class, ClassGuid, Provider and DriverVer
//   (mm/dd/yyyy[,w.x.y.z]) are required of a device INF.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-sourcedisksfiles-section
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/inf-addservice-directive
//   (SPSVCINST_ASSOCSERVICE 0x2 marks the function driver; a device has one.)
#include "setup_test.h"

namespace {

namespace reg = winsim::registry;
using Packages = SetupTest;

TEST_F(Packages, StagingCopiesThePackageAndPublishesTheInf)
{
    auto result = StageComPort();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.publishedName, "oem0.inf");
    EXPECT_FALSE(result.alreadyStaged);
    EXPECT_EQ(ReadText(Windows("INF/oem0.inf")), ComPortInf());
    EXPECT_EQ(result.storeDirectory.parent_path(), Windows("System32/DriverStore/FileRepository"));
    EXPECT_EQ(result.storeDirectory.filename().string().rfind("winsim_port.inf_amd64_", 0), 0u);
    for (const char *file : {"winsim_port.inf", "sink.sys", "passthru.sys"})
        EXPECT_TRUE(fs::exists(result.storeDirectory / file)) << file;
    EXPECT_EQ(reg::GetMultiString(std::string(reg::kDriverDatabaseKey) + "\\DriverInfFiles", "oem0.inf"),
              std::vector<std::string>{result.storeDirectory.filename().string()});
    EXPECT_EQ(setup_.PublishedPackages(), std::vector<std::string>{"oem0.inf"});
}

TEST_F(Packages, TheSamePackageIsStagedOnce)
{
    auto first = StageComPort();
    auto again = StageComPort();
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_TRUE(again.alreadyStaged);
    EXPECT_EQ(again.publishedName, first.publishedName);
    auto changed = setup_.InstallPackage(WritePackage("v2", Replace(ComPortInf(), "2.1.0.7", "2.1.0.8")));
    ASSERT_TRUE(changed.ok) << changed.error;
    EXPECT_EQ(changed.publishedName, "oem1.inf") << "a different INF is a different package";
}

struct NumberingCase {
    std::vector<std::string> present;  // files already in the INF folder
    const char *expected;
};

TEST_F(Packages, PublishedNameIsTheLowestFreeOemNumber)
{
    const NumberingCase cases[] = {
        {{}, "oem0.inf"},
        {{"oem0.inf", "oem1.inf"}, "oem2.inf"},
        {{"oem0.inf", "OEM2.INF"}, "oem1.inf"},
        {{"oem1.inf", "oem0.pnf", "machine.inf", "oem7.inf.bak"}, "oem0.inf"},
        {{"oem0.inf", "oem1.inf", "oem2.inf", "oem3.inf", "oem4.inf", "oem5.inf", "oem6.inf", "oem7.inf", "oem8.inf",
          "oem9.inf", "oem11.inf"},
         "oem10.inf"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        fs::remove_all(Windows(""));
        reg::Boot();
        for (auto &name : c.present)
            WriteText(Windows("INF/" + name), "[Version]\n");
        auto result = StageComPort();
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.publishedName, c.expected);
    }
}

TEST_F(Packages, DeletingAPackageFreesItsName)
{
    auto staged = StageComPort();
    ASSERT_TRUE(setup_.DeletePackage("OEM0.INF"));
    EXPECT_FALSE(fs::exists(Windows("INF/oem0.inf")));
    EXPECT_FALSE(fs::exists(staged.storeDirectory));
    EXPECT_TRUE(setup_.PublishedPackages().empty());
    EXPECT_FALSE(setup_.DeletePackage("oem0.inf"));
    EXPECT_EQ(StageComPort().publishedName, "oem0.inf");
}

struct BrokenCase {
    const char *label;
    const char *from, *to;     // the change made to the test package
    const char *lineText;      // text on the line the error must name ("" for none)
    const char *message;
    std::vector<std::string> files = {"sink.sys", "passthru.sys"};
};

TEST_F(Packages, BrokenPackagesAreRefusedNamingFileAndLine)
{
    const BrokenCase cases[] = {
        {"no ClassGuid", "ClassGuid   = {4D36E978-E325-11CE-BFC1-08002BE10318}\n", "", "[Version]",
         "[Version] has no ClassGuid entry"},
        {"ClassGuid not a GUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}", "{4D36E978-E325}", "ClassGuid",
         "is not a {GUID}"},
        {"unknown signature", "$Windows NT$", "$Windows 3.1$", "Signature", "Signature '$Windows 3.1$'"},
        {"DriverVer date", "03/14/2024,", "2024-03-14,", "DriverVer", "is not mm/dd/yyyy"},
        {"no x64 models", "Devices, NTx86, NTamd64", "Devices, NTx86", "[Manufacturer]", "no Models section for NTamd64"},
        {"missing install section", "= PortInstallNoFilter,", "= PortInstallNoFiltr,", "PortInstallNoFiltr",
         "[PortInstallNoFiltr] does not exist"},
        {"file not in SourceDisksFiles", "[FilterFiles]\npassthru.sys\n", "[FilterFiles]\npassthru.sys\nextra.sys\n",
         "extra.sys", "extra.sys is not listed in [SourceDisksFiles]"},
        {"file missing from the package", "", "", "passthru.sys = 1", "passthru.sys is not in the package", {"sink.sys"}},
        {"service without a binary", "ServiceBinary = %12%\\passthru.sys\n", "", "[FilterService]",
         "[FilterService] has no ServiceBinary entry"},
        {"two function drivers", "passthru, 0x00000000", "passthru, 0x00000002", "[PortInstall.NT.Services]",
         "exactly one function driver"},
        {"undefined string", "%PortIdentifier%", "%PortIdent%", "%PortIdent%", "%PortIdent% is not defined"},
        {"bad registry root", "HKR,,\"UpperFilters\"", "HKQ,,\"UpperFilters\"", "HKQ", "'HKQ' is not a registry root"},
        {"unknown destination", "DefaultDestDir = 12", "DefaultDestDir = 4242", "DefaultDestDir",
         "directory ID '4242'"},
        {"unclosed quote", "\"winsim test port\"", "\"winsim test port", "\"winsim test port",
         "quoted string not closed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string text = *c.from ? Replace(ComPortInf(), c.from, c.to) : ComPortInf();
        fs::path inf = WritePackage(c.label, text, "winsim_port.inf", c.files);
        auto result = setup_.InstallPackage(inf);
        EXPECT_FALSE(result.ok);
        std::string where = inf.string() + "(" + std::to_string(LineOf(text, c.lineText)) + "): ";
        EXPECT_EQ(result.error.rfind(where, 0), 0u) << result.error << "\nexpected it to start with " << where;
        EXPECT_NE(result.error.find(c.message), std::string::npos) << result.error;
        EXPECT_FALSE(fs::exists(Windows("INF/oem0.inf"))) << "nothing is staged";
    }
}

TEST_F(Packages, MissingInfIsReportedByName)
{
    auto result = setup_.InstallPackage(root_ / "nowhere" / "missing.inf");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, (root_ / "nowhere" / "missing.inf").string() + ": cannot be read");
}

TEST_F(Packages, FilesComeFromTheirDiskFolders)
{
    std::string text = Replace(ComPortInf(), "1 = %DiskName%,,,\"\"", "1 = %DiskName%,,,\\drivers");
    text = Replace(text, "passthru.sys = 1,,", "passthru.sys = 1,filters,");
    fs::path inf = WritePackage("folders", text, "winsim_port.inf", {"drivers/sink.sys", "drivers/filters/passthru.sys"});
    auto result = setup_.InstallPackage(inf);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(fs::exists(result.storeDirectory / "drivers/filters/passthru.sys"));
}

}  // namespace
