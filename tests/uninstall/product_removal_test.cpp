// The product as shipped, end to end: its package installed, the printer
// plugged in and named by the real drivers, then the uninstaller run with the
// package's own information file.
#include "uninstall_fixture.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace tarvik::test {
namespace {

using winsim::harness::TestMachine;

constexpr char kSerialComm[] = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class ProductRemoval : public UninstallTest {
protected:
    void SetUp() override
    {
        std::ifstream del(std::filesystem::path(TARVIK_PACKAGE_DIR) / "tarvik_uninstall.DEL", std::ios::binary);
        std::stringstream text;
        text << del.rdbuf();
        WriteProgramFile("tarvik_uninstall.DEL", text.str());

        auto package = machine_.InstallPackage(std::string(TARVIK_PACKAGE_DIR) + "/tarvik.inf");
        ASSERT_TRUE(package.ok) << package.error;
        publishedName_ = package.publishedName;
        printer_ = machine_.PlugPrinter();
        id_ = TestMachine::InstanceIdOf(*printer_);
        ASSERT_EQ(machine_.DeviceState(id_), "started");
        ASSERT_EQ(winsim::registry::Values(kSerialComm).size(), 1u);
        winsim::harness::SetTrace([this](const std::string &line) {
            if (line.find("IRP_MN_REMOVE_DEVICE -> \\Driver\\") == std::string::npos ||
                line.find(" returned ") != std::string::npos)
                return;
            std::lock_guard<std::mutex> lock(lock_);
            removals_.push_back(line.substr(line.find("\\Driver\\") + 8, line.find(' ', line.find("\\Driver\\")) -
                                                                               line.find("\\Driver\\") - 8));
        });
    }

    void TearDown() override { winsim::harness::SetTrace({}); }

    std::vector<std::string> Removals()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return removals_;
    }

    bool PortOpens()
    {
        HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(port);
        return true;
    }

    std::string publishedName_;
    std::shared_ptr<winsim::usb::UsbDevice> printer_;
    std::string id_;
    std::mutex lock_;
    std::vector<std::string> removals_;
};

TEST_F(ProductRemoval, ThePluggedPrinterItsNameAndThePackageGo)
{
    ASSERT_TRUE(PortOpens());
    ASSERT_TRUE(WindowsFileExists("INF/" + publishedName_));
    Answer({IDOK, IDNO});
    EXPECT_EQ(Run(), 0);

    machine_.FlushPnp();
    EXPECT_NE(machine_.DeviceState(id_), "started");
    EXPECT_EQ(Removals(), (std::vector<std::string>{"tarvik_serial", "tarvik_usb", "usbhub"}))
        << "both drivers and the bus get their removal requests, top first";
    EXPECT_TRUE(winsim::registry::Values(kSerialComm).empty()) << "the SERIALCOMM value goes";
    EXPECT_FALSE(PortOpens()) << "the COM name goes";
    EXPECT_FALSE(WindowsFileExists("INF/" + publishedName_)) << "the product's OEM package is deleted";
}

TEST_F(ProductRemoval, AnOpenPortVetoesAndIsMarkedForTheRestart)
{
    HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Answer({IDOK, IDNO});
    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(machine_.DeviceState(id_), "started") << "the port's driver refused the query-remove";
    EXPECT_TRUE(Removals().empty());
    EXPECT_EQ(winsim::registry::Values(kSerialComm).size(), 1u);
    EXPECT_TRUE(winsim::pnp::MarkedForRemovalAtRestart(winsim::pnp::NodeOfPdo(machine_.PdoOf(id_))));
    CloseHandle(port);
}

}  // namespace
}  // namespace tarvik::test
