// The COM port's life under Plug and Play, from the application's and the
// administrator's side: the pipes the port holds, its name in the DOS
// namespace and under SERIALCOMM, the COM port interface, and what stop and
// restart, query-remove, surprise removal and removal do to an open port.
#include "port_fixture.h"

#include "../../winsim/registry/registry.h"

#include <initguid.h>
#include <ntddser.h>
#include <setupapi.h>

namespace winsim::test {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

class PortLife : public PortTest {};

bool WriteArrives(HANDLE port, usb::UsbDevice &printer, const std::string &text)
{
    size_t before = printer.ReceivedCount();
    DWORD written = 0;
    if (!WriteFile(port, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size())
        return false;
    std::vector<UCHAR> all = printer.Received();
    return all.size() == before + text.size() && std::equal(text.begin(), text.end(), all.begin() + before);
}

TEST_F(PortLife, StopAndRestartClosesAndReopensThePipesInOrder)
{
    RequestLog usb("tarvik_usb");
    ASSERT_EQ(machine_.StopAndRestart(id_), STATUS_SUCCESS);
    std::vector<std::string> pipes;
    for (const std::string &line : usb.Take())
        if (line.rfind("IRP_MJ_CREATE", 0) == 0 || line.rfind("IRP_MJ_CLOSE", 0) == 0)
            pipes.push_back(line);
    EXPECT_THAT(pipes, ElementsAre("IRP_MJ_CLOSE \"if0pipe1\"", "IRP_MJ_CLOSE \"if0pipe0\"",
                                   "IRP_MJ_CREATE \"if0pipe1\"", "IRP_MJ_CREATE \"if0pipe0\""));
    EXPECT_THAT(SerialCommPorts(), ElementsAre("COM1"));
}

// The port is found the way applications find it: under SERIALCOMM, whose
// value is named after the COM port interface, and through that interface.
TEST_F(PortLife, ComPortInterfaceAndSerialCommLeadToThePort)
{
    auto values = SerialCommValues();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_THAT(values[0].first, HasSubstr("{86e0d1e0-8089-11d0-9ce4-08003e301f73}"));

    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr,
                                        DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, 0, &data));
    alignas(8) char buffer[512];
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, nullptr));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, 1, &data));
    SetupDiDestroyDeviceInfoList(set);

    HANDLE port = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    handles_.push_back(port);
    EXPECT_TRUE(WriteArrives(port, *printer_, "through the interface"));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << "the port is exclusive, by either name";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(PortLife, OpenPortSurvivesStopAndRestart)
{
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_EQ(machine_.StopAndRestart(id_), STATUS_SUCCESS);
    EXPECT_TRUE(WriteArrives(port, *printer_, "after restart"));
    UCHAR reply[] = {'o', 'k'};
    printer_->FeedBulkIn(reply);
    COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    char buffer[2];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(port, buffer, 2, &read, nullptr));
    EXPECT_EQ(read, 2u) << "the receive worker kept polling across the restart";
    EXPECT_THAT(SerialCommPorts(), ElementsAre("COM1"));
}

TEST_F(PortLife, QueryRemoveIsRefusedWhileOpenAndNeverReachesTheUsbDriver)
{
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    {
        RequestLog usb("tarvik_usb");
        EXPECT_EQ(machine_.QueryRemoveAndRemove(id_), STATUS_DEVICE_BUSY);
        EXPECT_THAT(usb.Matching("QUERY_REMOVE"), IsEmpty());
    }
    EXPECT_EQ(machine_.DeviceState(id_), "started");
    EXPECT_TRUE(WriteArrives(port, *printer_, "still here"));
    Close(port);
    EXPECT_EQ(machine_.QueryRemoveAndRemove(id_), STATUS_SUCCESS);
    EXPECT_THAT(SerialCommPorts(), IsEmpty());
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
}

// Pulled out with the port open: the port's name goes at once, requests on
// the handle fail without hanging, and the stack goes when the handle closes.
TEST_F(PortLife, SurpriseRemovalWithThePortOpen)
{
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    machine_.Unplug(*printer_);
    EXPECT_EQ(machine_.DeviceState(id_), "surprise-removed");
    EXPECT_THAT(SerialCommPorts(), IsEmpty());
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);

    DWORD count = 0;
    char buffer[4];
    EXPECT_FALSE(WriteFile(port, "lost", 4, &count, nullptr));
    ReadFile(port, buffer, sizeof buffer, &count, nullptr);  // fails or returns nothing; must not hang
    EXPECT_EQ(count, 0u);
    DWORD modem;
    GetCommModemStatus(port, &modem);
    Close(port);
    EXPECT_EQ(machine_.AwaitDeviceState(id_, "removed"), "removed");

    printer_ = machine_.PlugPrinter();
    EXPECT_EQ(machine_.DeviceState(id_), "started");
    EXPECT_THAT(SerialCommPorts(), ElementsAre("COM1"));
}

// How the port is named, decided at each start from the device's hardware key.
struct NamingCase {
    const char *name;
    const char *portName;     // nullptr: no "PortName" value
    const char *identifier;   // nullptr: no "Identifier" value
    bool skipNaming;
    bool started;
    const char *dosName;      // opens after the start; nullptr: nothing opens
    const char *serialComm;   // data of the SERIALCOMM value; nullptr: no value
};

class PortNaming : public PortTest, public testing::WithParamInterface<NamingCase> {};

TEST_P(PortNaming, NameComesFromTheHardwareKeyAtStart)
{
    const NamingCase &c = GetParam();
    std::string key = HardwareKey(id_);
    registry::DeleteValue(key, "PortName");
    if (c.portName != nullptr)
        registry::SetString(key, "PortName", c.portName);
    if (c.identifier != nullptr)
        registry::SetString(key, "Identifier", c.identifier);
    if (c.skipNaming)
        registry::SetDword(key, "SerialSkipExternalNaming", 1);
    NTSTATUS status = machine_.StopAndRestart(id_);
    EXPECT_EQ(NT_SUCCESS(status), c.started) << std::hex << status;
    EXPECT_EQ(machine_.DeviceState(id_), c.started ? "started" : "failed");
    if (c.dosName != nullptr) {
        HANDLE port = Open(c.dosName);
        EXPECT_NE(port, INVALID_HANDLE_VALUE) << c.dosName;
    }
    if (c.dosName == nullptr || std::string(c.dosName) != "COM1") {
        EXPECT_EQ(Open("COM1"), INVALID_HANDLE_VALUE) << "no name but the configured one";
    }
    if (c.serialComm != nullptr) {
        EXPECT_THAT(SerialCommPorts(), ElementsAre(c.serialComm));
    } else {
        EXPECT_THAT(SerialCommPorts(), IsEmpty());
    }
}

const char kLongName[] = "ThisPortNameHasThirtyThreeLetters";  // 33 characters

const NamingCase kNamingCases[] = {
    {"PortNameWins", "COM7", "COM9", false, true, "COM7", "COM7"},
    {"IdentifierWhenNoPortName", nullptr, "COM9", false, true, "COM9", "COM9"},
    {"NeitherFailsTheStart", nullptr, nullptr, false, false, nullptr, nullptr},
    {"LongNameHasAnEmptySerialCommEntry", kLongName, nullptr, false, true, kLongName, ""},
    {"SkipExternalNaming", "COM7", nullptr, true, true, nullptr, nullptr},
};
INSTANTIATE_TEST_SUITE_P(Cases, PortNaming, testing::ValuesIn(kNamingCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A second printer configured with the name the first one has: its start
// fails because the name is taken, and the first port is untouched.
TEST_F(PortLife, SecondDeviceWithTheSameNameFailsToStart)
{
    usb::DeviceConfig config = usb::PrinterConfig(harness::TestMachine::BuildPrinterIdentity());
    config.serialNumber = u"WSP000002";
    const std::string second = "USB\\VID_1A2B&PID_3C4D\\WSP000002";
    machine_.AssignPortName(second, "COM1");
    auto other = machine_.Plug(config);
    EXPECT_EQ(machine_.DeviceState(second), "failed");
    EXPECT_THAT(SerialCommPorts(), ElementsAre("COM1"));
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteArrives(port, *printer_, "to the first printer"));
    EXPECT_EQ(other->ReceivedCount(), 0u);
}

}  // namespace
}  // namespace winsim::test
