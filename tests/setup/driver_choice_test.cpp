// Choosing among staged drivers: the best identifier match wins (a device
// hardware ID matching a Models entry's hardware ID first, then an entry's
// compatible ID, then the device's compatible IDs; within each, the earlier
// device ID), and among equal matches the newer DriverVer.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/identifier-score--windows-vista-and-later-
// https://learn.microsoft.com/en-us/windows-hardware/drivers/install/how-setup-selects-drivers
//   "If there are multiple equal-ranked drivers ... Windows selects the driver with the most
//   recent DriverVer date."
#include "setup_test.h"

namespace {

using Choice = SetupTest;

// A USBDevice-class package with one model for hardwareId.
std::string GenericInf(const std::string &date, const std::string &description,
                       const std::string &hardwareId = "USB\\VID_F00D&PID_0001")
{
    return "[Version]\nSignature = \"$Windows NT$\"\nClass = USBDevice\n"
           "ClassGuid = {88BAE032-5A81-49F0-BC3D-A4FF138216D6}\nProvider = winsim\nDriverVer = " +
           date + ",1.0.0.0\n[Manufacturer]\nwinsim = Generic, NTamd64\n[Generic.NTamd64]\n\"" + description +
           "\" = GenericInstall, " + hardwareId +
           "\n[GenericInstall.NT]\n[GenericInstall.NT.Services]\nAddService = sink, 2, Service\n[Service]\n"
           "ServiceType = 1\nStartType = 3\nErrorControl = 1\nServiceBinary = %12%\\sink.sys\n";
}

struct ChoiceCase {
    const char *label;
    std::vector<std::string> hardware, compatible;
    const char *expected;  // device description of the winner, "" for none
};

// Staged: the test port (hardware ID ...&REV_0100, compatible ID USB\VID_F00D&PID_0001)
// and a class driver (hardware ID USB\Class_FF).
TEST_F(Choice, BestIdentifierMatchWins)
{
    ASSERT_TRUE(StageComPort().ok);
    ASSERT_TRUE(setup_.InstallPackage(WritePackage("class", GenericInf("01/01/2020", "class driver", "USB\\Class_FF"),
                                                   "class.inf"))
                    .ok);
    const ChoiceCase cases[] = {
        {"hardware ID against an entry's hardware ID", kPortHardwareIds, kPortCompatibleIds, "winsim test port"},
        {"hardware ID against an entry's compatible ID beats compatible ID against hardware ID",
         {"USB\\VID_F00D&PID_0001&REV_0200", "USB\\VID_F00D&PID_0001"}, {"USB\\Class_FF"}, "winsim test port"},
        {"compatible ID against hardware ID beats compatible ID against compatible ID",
         {"USB\\VID_BEEF"}, {"usb\\vid_f00d&pid_0001", "USB\\Class_FF"}, "class driver"},
        {"compatible ID against an entry's compatible ID", {"USB\\VID_BEEF"}, {"USB\\VID_F00D&PID_0001"},
         "winsim test port"},
        {"the earlier hardware ID wins", {"USB\\Class_FF", "USB\\VID_F00D&PID_0001&REV_0100"}, {}, "class driver"},
        {"nothing in common", {"USB\\VID_BEEF&PID_0009"}, {"USB\\Class_08"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        auto result = setup_.InstallDevice("USB\\TEST\\1", c.hardware, c.compatible);
        EXPECT_EQ(result.matched, *c.expected != 0);
        EXPECT_EQ(result.description, c.expected);
        setup_.RemoveDevice("USB\\TEST\\1");
    }
}

TEST_F(Choice, NewerDriverWinsAnEqualMatch)
{
    for (auto [folder, date] : {std::pair{"old", "05/01/2021"}, std::pair{"new", "06/01/2023"},
                                std::pair{"older", "01/01/2019"}})
        ASSERT_TRUE(setup_.InstallPackage(WritePackage(folder, GenericInf(date, folder), "generic.inf")).ok);
    auto result = setup_.InstallDevice("USB\\TEST\\1", {"USB\\VID_F00D&PID_0001"}, {});
    EXPECT_EQ(result.description, "new");
    EXPECT_EQ(result.publishedName, "oem1.inf");
}

}  // namespace
