// COM names of Ports-class devices through the COM Name Arbiter.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/serports/com-port-name-arbiter
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/msports/nf-msports-comdbclaimnextfreeport
//   "ComDBClaimNextFreePort returns the lowest available COM port number in the COM port
//   database"; the database is the ComDB bitmap, one bit per port number, bit 0 for COM1.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/msports/nf-msports-comdbresizedatabase
//   COMDB_MIN_PORTS_ARBITRATED is 256; the database grows in multiples of 1024 up to 4096.
// https://learn.microsoft.com/en-us/windows-hardware/drivers/serports/configuration-of-com-ports
//   The Ports class installer stores the name in the device's hardware key as "PortName"; a device
//   that is installed again (replugged, reinstalled) keeps its name, and uninstalling the device
//   gives the number back (ComDBReleasePort).
#include "setup_test.h"

namespace {

namespace reg = winsim::registry;
using winsim::setup::DeviceOptions;

class PortNames : public SetupTest {
protected:
    PortNames() { EXPECT_TRUE(StageComPort().ok); }

    std::string Install(const std::string &serial, const std::string &forced = {})
    {
        DeviceOptions options;
        options.portName = forced;
        auto result = setup_.InstallDevice(Instance(serial), kPortHardwareIds, kPortCompatibleIds, options);
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(reg::GetString(std::string(reg::kEnumKey) + "\\" + Instance(serial) + "\\Device Parameters",
                                 "PortName"),
                  result.portName);
        return result.portName;
    }

    static std::string Instance(const std::string &serial) { return "USB\\VID_F00D&PID_0001\\" + serial; }

    static std::vector<uint8_t> ComDb() { return reg::GetValue(reg::kComNameArbiterKey, "ComDB")->data; }

    static void SetComDb(std::vector<uint8_t> bits)
    {
        bits.resize(32, 0);
        reg::SetBinary(reg::kComNameArbiterKey, "ComDB", bits);
    }
};

struct LowestCase {
    const char *label;
    std::vector<uint8_t> before;  // first bytes of ComDB
    const char *expected;
    std::vector<uint8_t> after;
};

TEST_F(PortNames, NewDeviceGetsTheLowestFreeNumber)
{
    const LowestCase cases[] = {
        {"empty database", {}, "COM1", {0x01}},
        {"COM1 and COM2 taken", {0x03}, "COM3", {0x07}},
        {"a hole", {0x05}, "COM2", {0x07}},
        {"first byte full", {0xFF}, "COM9", {0xFF, 0x01}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        setup_.RemoveDevice(Instance("A"));
        SetComDb(c.before);
        EXPECT_EQ(Install("A"), c.expected);
        auto after = c.after;
        after.resize(32, 0);
        EXPECT_EQ(ComDb(), after);
    }
}

TEST_F(PortNames, DeviceKeepsItsNameWhenInstalledAgain)
{
    EXPECT_EQ(Install("A"), "COM1");
    EXPECT_EQ(Install("B"), "COM2");
    EXPECT_EQ(Install("A"), "COM1");
    EXPECT_EQ(Install("B"), "COM2");
    EXPECT_EQ(Install("C"), "COM3");
    EXPECT_EQ(reg::GetString(std::string(reg::kEnumKey) + "\\" + Instance("A"), "FriendlyName"),
              "winsim test port (COM1)");
}

TEST_F(PortNames, RemovedDeviceGivesItsNumberBack)
{
    Install("A");
    Install("B");
    setup_.RemoveDevice(Instance("A"));
    EXPECT_EQ(ComDb()[0], 0x02);
    EXPECT_EQ(Install("C"), "COM1");
    EXPECT_EQ(Install("A"), "COM3") << "a device installed anew has no name to remember";
}

TEST_F(PortNames, ForcedNameTakesThePlaceOfTheOldOne)
{
    EXPECT_EQ(Install("A"), "COM1");
    EXPECT_EQ(Install("A", "COM7"), "COM7");
    EXPECT_EQ(ComDb()[0], 0x40) << "COM1 released, COM7 claimed";
    EXPECT_EQ(Install("A"), "COM7") << "and remembered";
    EXPECT_EQ(Install("B"), "COM1");
}

TEST_F(PortNames, DatabaseGrowsPastTwoHundredFiftySixPorts)
{
    SetComDb(std::vector<uint8_t>(32, 0xFF));
    EXPECT_EQ(Install("A"), "COM257");
    auto bits = ComDb();
    EXPECT_EQ(bits.size(), 128u);
    EXPECT_EQ(bits[32], 0x01);
}

}  // namespace
