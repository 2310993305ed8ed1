// The setup API seen from an application: finding the COM port through its
// device interface, and walking the device tree as an uninstaller does.
//
// Sources. Microsoft Learn: SetupDiGetClassDevs (DIGCF_PRESENT "return only
// devices that are currently present", DIGCF_ALLCLASSES, DIGCF_DEVICEINTERFACE
// with an interface class; the Enumerator may be a device instance ID for
// interfaces), SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetail
// (the two-call size protocol: "Get the required buffer size. Call
// SetupDiGetDeviceInterfaceDetail with a NULL DeviceInterfaceDetailData
// pointer, a DeviceInterfaceDetailDataSize of zero, and a valid RequiredSize
// variable. In response to such a call, this function returns the required
// buffer size at RequiredSize and fails with GetLastError returning
// ERROR_INSUFFICIENT_BUFFER"; cbSize is sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA),
// 8 on 64-bit Windows for both A and W), SetupDiGetDeviceRegistryProperty
// (SPDRP_HARDWAREID is REG_MULTI_SZ; ERROR_INSUFFICIENT_BUFFER with the size;
// ERROR_INVALID_DATA when the property does not exist). Wine's conformance
// tests of the setup API (dlls/setupapi/tests/devinst.c), which run on
// Windows, for the errors the pages leave open: a bad set handle gives
// ERROR_INVALID_HANDLE, a missing SP_DEVICE_INTERFACE_DATA or SP_DEVINFO_DATA
// ERROR_INVALID_PARAMETER, a wrong detail cbSize or a size without a buffer
// ERROR_INVALID_USER_BUFFER, an unknown property ERROR_INVALID_REG_PROPERTY;
// the wide detail size is FIELD_OFFSET(DevicePath) plus the path in WCHARs;
// the device path is "\\?\root#legacy_bogus#0000#{guid}" for device
// ROOT\LEGACY_BOGUS\0000; SP_DEVINSTALL_PARAMS with a wrong cbSize gives
// ERROR_INVALID_USER_BUFFER. DIF_REMOVE of a device whose removal is vetoed
// succeeds and marks the device for removal at restart, DI_NEEDREBOOT
// (Microsoft Learn, SP_DEVINSTALL_PARAMS and "DIF_REMOVE").
// Defines GUID_DEVINTERFACE_COMPORT here. Set before the first header rather
// than through <initguid.h>: winsim's guiddef.h is read once, so a later
// <initguid.h> changes nothing there.
#define INITGUID
#include <ntddser.h>
#include <setupapi.h>

#include "serial_recorder.h"

#include <algorithm>

namespace winsim::test {
namespace {

const pnp::DeviceIdentity kFirstPort{u"ROOT\\RECORDING_SERIAL\\0000",
                                     {u"ROOT\\RECORDING_SERIAL", u"RECORDER\\GENERIC"},
                                     {u"RECORDER\\CLASS_SERIAL"}};
const pnp::DeviceIdentity kSecondPort{u"ROOT\\RECORDING_SERIAL\\0001", {u"ROOT\\RECORDING_SERIAL"}, {}};
const pnp::DeviceIdentity kPrinter{u"USB\\VID_1A2B&PID_3C4D\\5&1234&0&1",
                                   {u"USB\\VID_1A2B&PID_3C4D&REV_0100", u"USB\\VID_1A2B&PID_3C4D"},
                                   {u"USB\\CLASS_FF"}};
const pnp::DriverStack kRecorder{{"recording_serial"}};

// A setup API record with its cbSize set, as a caller prepares it.
template <typename T>
T Sized(DWORD size = sizeof(T))
{
    T record{};
    record.cbSize = size;
    return record;
}

const char kFirstPath[] = "\\\\?\\root#recording_serial#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
const char kSecondPath[] = "\\\\?\\root#recording_serial#0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

class DeviceEnumeration : public testing::Test {
protected:
    void TearDown() override
    {
        for (HDEVINFO set : sets_)
            SetupDiDestroyDeviceInfoList(set);
        auto findings = machine_.Shutdown();
        EXPECT_TRUE(findings.empty()) << testing::PrintToString(findings);
    }

    HDEVINFO Devices(const GUID *guid, DWORD flags, const char *enumerator = nullptr)
    {
        HDEVINFO set = SetupDiGetClassDevsA(guid, enumerator, nullptr, flags);
        EXPECT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
        if (set != INVALID_HANDLE_VALUE)
            sets_.push_back(set);
        return set;
    }

    // The device paths of a set's COM port interfaces, with their flags.
    static std::vector<std::pair<std::string, DWORD>> PortInterfaces(HDEVINFO set)
    {
        std::vector<std::pair<std::string, DWORD>> found;
        auto data = Sized<SP_DEVICE_INTERFACE_DATA>();
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, i, &data); i++) {
            EXPECT_EQ(data.InterfaceClassGuid, GUID_DEVINTERFACE_COMPORT);
            found.emplace_back(PathOf(set, &data), data.Flags);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return found;
    }

    static std::string PathOf(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data)
    {
        DWORD size = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &size, nullptr));
        std::vector<char> buffer(size);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, nullptr, nullptr)) << GetLastError();
        return detail->DevicePath;
    }

    static std::vector<std::string> InstanceIds(HDEVINFO set)
    {
        std::vector<std::string> ids;
        auto device = Sized<SP_DEVINFO_DATA>();
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
            char id[200];
            EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr));
            ids.push_back(id);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return ids;
    }

    // The device of the set with this instance ID.
    static SP_DEVINFO_DATA DeviceOf(HDEVINFO set, const std::string &instanceId)
    {
        auto device = Sized<SP_DEVINFO_DATA>();
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
            char id[200];
            if (SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr) && instanceId == id)
                return device;
        }
        ADD_FAILURE() << instanceId << " is not in the set";
        return SP_DEVINFO_DATA{};
    }

    harness::TestMachine machine_;
    std::vector<HDEVINFO> sets_;
};

std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

TEST_F(DeviceEnumeration, ApplicationFindsTheEnabledPortInterfacesAndOpensThem)
{
    ASSERT_NE(pnp::AddRootDevice(kFirstPort, kRecorder), nullptr);
    ASSERT_NE(pnp::AddRootDevice(kSecondPort, kRecorder), nullptr);
    HDEVINFO set = Devices(&GUID_DEVINTERFACE_COMPORT, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    auto interfaces = PortInterfaces(set);
    EXPECT_EQ(interfaces, (std::vector<std::pair<std::string, DWORD>>{{kFirstPath, SPINT_ACTIVE},
                                                                       {kSecondPath, SPINT_ACTIVE}}));
    EXPECT_EQ(InstanceIds(set), (std::vector<std::string>{Narrow(kFirstPort.instanceId),
                                                          Narrow(kSecondPort.instanceId)}));
    for (auto &[path, flags] : interfaces) {
        SCOPED_TRACE(path);
        HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        DCB dcb;
        EXPECT_TRUE(GetCommState(port, &dcb));
        CloseHandle(port);
    }
}

TEST_F(DeviceEnumeration, InterfacesOfOneDeviceOrEnumerator)
{
    pnp::AddRootDevice(kFirstPort, kRecorder);
    pnp::AddRootDevice(kSecondPort, kRecorder);
    const DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
    EXPECT_EQ(PortInterfaces(Devices(&GUID_DEVINTERFACE_COMPORT, flags, "root\\recording_serial\\0001")).size(), 1u);
    EXPECT_EQ(PortInterfaces(Devices(&GUID_DEVINTERFACE_COMPORT, flags, "ROOT")).size(), 2u);
    EXPECT_EQ(PortInterfaces(Devices(&GUID_DEVINTERFACE_COMPORT, flags, "USB")).size(), 0u);

    // Only the asked class: a device of the set may be filtered to its own interfaces.
    HDEVINFO set = Devices(&GUID_DEVINTERFACE_COMPORT, flags);
    SP_DEVINFO_DATA second = DeviceOf(set, Narrow(kSecondPort.instanceId));
    auto data = Sized<SP_DEVICE_INTERFACE_DATA>();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &second, &GUID_DEVINTERFACE_COMPORT, 0, &data));
    EXPECT_EQ(PathOf(set, &data), kSecondPath);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &second, &GUID_DEVINTERFACE_COMPORT, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    const GUID other{0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

// DIGCF_PRESENT leaves out interfaces that are not enabled; without it they
// are listed, without SPINT_ACTIVE.
TEST_F(DeviceEnumeration, DisabledDevicesInterfacesAreNotPresent)
{
    pnp::DeviceNode *node = pnp::AddRootDevice(kFirstPort, kRecorder);
    ASSERT_EQ(pnp::Disable(node), STATUS_SUCCESS);
    EXPECT_TRUE(PortInterfaces(Devices(&GUID_DEVINTERFACE_COMPORT, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)).empty());
    EXPECT_EQ(PortInterfaces(Devices(&GUID_DEVINTERFACE_COMPORT, DIGCF_DEVICEINTERFACE)),
              (std::vector<std::pair<std::string, DWORD>>{{kFirstPath, 0}}));
    ASSERT_EQ(pnp::Enable(node), STATUS_SUCCESS);
    EXPECT_EQ(PortInterfaces(Devices(&GUID_DEVINTERFACE_COMPORT, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)),
              (std::vector<std::pair<std::string, DWORD>>{{kFirstPath, SPINT_ACTIVE}}));
}

// A stack a test builds by hand, outside the device tree, is found through
// its interface like any other; only what the tree records is missing.
TEST_F(DeviceEnumeration, StacksBuiltOutsideTheTreeAreFoundByTheirInterfaces)
{
    PDEVICE_OBJECT pdo = machine_.BuildStack("ROOT\\BUILT\\0000", {"recording_serial"});
    ASSERT_NE(pdo, nullptr);
    ASSERT_EQ(machine_.SendPnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    HDEVINFO set = Devices(&GUID_DEVINTERFACE_COMPORT, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    const char path[] = "\\\\?\\root#built#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    EXPECT_EQ(PortInterfaces(set), (std::vector<std::pair<std::string, DWORD>>{{path, SPINT_ACTIVE}}));
    EXPECT_EQ(InstanceIds(set), std::vector<std::string>{"ROOT\\BUILT\\0000"});
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(port);

    SP_DEVINFO_DATA device = DeviceOf(set, "ROOT\\BUILT\\0000");
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

template <typename Detail, typename Char, typename GetDetail>
void CheckDetailSizeProtocol(HDEVINFO set, GetDetail getDetail, const std::string &path, const std::string &instanceId)
{
    auto data = Sized<SP_DEVICE_INTERFACE_DATA>();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, 0, &data));
    const DWORD needed = static_cast<DWORD>(offsetof(Detail, DevicePath) + (path.size() + 1) * sizeof(Char));
    struct Case {
        const char *name;
        bool withBuffer;
        DWORD cbSize;
        DWORD size;
        DWORD error;  // 0: succeeds
    };
    const Case cases[] = {
        {"size query", false, 0, 0, ERROR_INSUFFICIENT_BUFFER},
        {"a size without a buffer", false, 0, 100, ERROR_INVALID_USER_BUFFER},
        {"cbSize 0", true, 0, needed, ERROR_INVALID_USER_BUFFER},
        {"cbSize the buffer's size", true, needed, needed, ERROR_INVALID_USER_BUFFER},
        {"cbSize of 32-bit Windows", true, static_cast<DWORD>(4 + sizeof(Char)), needed, ERROR_INVALID_USER_BUFFER},
        {"no room for the fixed part", true, sizeof(Detail), 4, ERROR_INVALID_USER_BUFFER},
        {"one byte short", true, sizeof(Detail), needed - 1, ERROR_INSUFFICIENT_BUFFER},
        {"exact size", true, sizeof(Detail), needed, 0},
    };
    ASSERT_EQ(sizeof(Detail), 8u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<BYTE> buffer(needed + 16, 0xCC);
        auto *detail = reinterpret_cast<Detail *>(buffer.data());
        detail->cbSize = c.cbSize;
        DWORD required = 0xDEADBEEF;
        auto device = Sized<SP_DEVINFO_DATA>();
        SetLastError(0);
        BOOL ok = getDetail(set, &data, c.withBuffer ? detail : nullptr, c.size, &required, &device);
        EXPECT_EQ(ok, c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (c.error == 0 || c.error == ERROR_INSUFFICIENT_BUFFER) {
            EXPECT_EQ(required, needed);
            char id[200];
            EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr));
            EXPECT_EQ(id, instanceId);
        }
        if (c.error == 0) {
            std::string got;
            for (const Char *p = detail->DevicePath; *p; p++)
                got += static_cast<char>(*p);
            EXPECT_EQ(got, path);
        }
    }
    // The set and the interface record must be the function's own.
    EXPECT_FALSE(getDetail(nullptr, &data, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(getDetail(set, nullptr, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SP_DEVICE_INTERFACE_DATA wrongSize = data;
    wrongSize.cbSize = 28;  // 32-bit Windows
    EXPECT_FALSE(getDetail(set, &wrongSize, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceEnumeration, InterfaceDetailFollowsTheTwoCallSizeProtocol)
{
    pnp::AddRootDevice(kFirstPort, kRecorder);
    HDEVINFO set = Devices(&GUID_DEVINTERFACE_COMPORT, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    {
        SCOPED_TRACE("narrow");
        CheckDetailSizeProtocol<SP_DEVICE_INTERFACE_DETAIL_DATA_A, CHAR>(set, SetupDiGetDeviceInterfaceDetailA,
                                                                         kFirstPath, Narrow(kFirstPort.instanceId));
    }
    {
        SCOPED_TRACE("wide");
        CheckDetailSizeProtocol<SP_DEVICE_INTERFACE_DETAIL_DATA_W, WCHAR>(set, SetupDiGetDeviceInterfaceDetailW,
                                                                          kFirstPath, Narrow(kFirstPort.instanceId));
    }
}

TEST_F(DeviceEnumeration, DeviceSetsCoverPresentAndNotPresentDevices)
{
    pnp::AddRootDevice(kFirstPort, kRecorder);
    pnp::DeviceNode *printer = pnp::AddRootDevice(kPrinter, kRecorder);
    pnp::AddRootDevice(kSecondPort, kRecorder);
    pnp::SurpriseRemove(printer);
    ASSERT_FALSE(pnp::IsPresent(printer));

    auto ids = [](std::initializer_list<const pnp::DeviceIdentity *> devices) {
        std::vector<std::string> out;
        for (auto *d : devices)
            out.push_back(Narrow(d->instanceId));
        return out;
    };
    // The test's devices among those of a set (the machine may have others).
    auto ours = [&](HDEVINFO set) {
        auto all = ids({&kFirstPort, &kPrinter, &kSecondPort});
        std::vector<std::string> found;
        for (const auto &id : InstanceIds(set))
            if (std::find(all.begin(), all.end(), id) != all.end())
                found.push_back(id);
        return found;
    };
    EXPECT_EQ(ours(Devices(nullptr, DIGCF_ALLCLASSES)), ids({&kFirstPort, &kPrinter, &kSecondPort}));
    EXPECT_EQ(ours(Devices(nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT)), ids({&kFirstPort, &kSecondPort}));
    EXPECT_EQ(ours(Devices(nullptr, DIGCF_ALLCLASSES, "usb")), ids({&kPrinter}));
    for (const auto &id : InstanceIds(Devices(nullptr, DIGCF_ALLCLASSES, "usb")))
        EXPECT_EQ(id.rfind("USB\\", 0), 0u) << id;

    // A device keeps its DevInst from set to set.
    HDEVINFO a = Devices(nullptr, DIGCF_ALLCLASSES);
    HDEVINFO b = Devices(nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    EXPECT_EQ(DeviceOf(a, Narrow(kSecondPort.instanceId)).DevInst, DeviceOf(b, Narrow(kSecondPort.instanceId)).DevInst);
    EXPECT_NE(DeviceOf(a, Narrow(kFirstPort.instanceId)).DevInst, DeviceOf(a, Narrow(kSecondPort.instanceId)).DevInst);

    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceEnumeration, EnumerationErrors)
{
    pnp::AddRootDevice(kFirstPort, kRecorder);
    HDEVINFO set = Devices(nullptr, DIGCF_ALLCLASSES);
    auto device = Sized<SP_DEVINFO_DATA>();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_EQ(sizeof device, 32u);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    auto small = Sized<SP_DEVINFO_DATA>(28);  // 32-bit Windows' size
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(nullptr, 0, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    auto data = Sized<SP_DEVICE_INTERFACE_DATA>();
    EXPECT_EQ(sizeof data, 32u);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    data.cbSize = 28;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A record of another set's device is not this set's.
    SP_DEVINFO_DATA forged = device;
    forged.Reserved = 7;
    char id[100];
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &forged, id, sizeof id, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    sets_.clear();
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceEnumeration, InstanceIdFollowsTheSizeProtocol)
{
    pnp::AddRootDevice(kPrinter, kRecorder);
    HDEVINFO set = Devices(nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA device = DeviceOf(set, Narrow(kPrinter.instanceId));
    const std::string id = Narrow(kPrinter.instanceId);
    const DWORD needed = static_cast<DWORD>(id.size() + 1);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &device, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, needed);
    std::vector<char> narrow(needed);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &device, narrow.data(), needed - 1, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &device, narrow.data(), needed, &required));
    EXPECT_EQ(std::string(narrow.data()), id);
    std::vector<WCHAR> wide(needed);
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &device, wide.data(), needed, &required));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(wide.data())), kPrinter.instanceId);
}

// The multi-string of hardware IDs, the size protocol an uninstaller relies
// on, and the properties the device tree does not record.
TEST_F(DeviceEnumeration, RegistryPropertiesOfPresentAndNotPresentDevices)
{
    pnp::AddRootDevice(kFirstPort, kRecorder);
    pnp::DeviceNode *printer = pnp::AddRootDevice(kPrinter, kRecorder);
    pnp::AddRootDevice(kSecondPort, kRecorder);
    pnp::SurpriseRemove(printer);
    HDEVINFO set = Devices(nullptr, DIGCF_ALLCLASSES);

    struct Case {
        const pnp::DeviceIdentity *device;
        DWORD property;
        DWORD type;
        std::string value;  // narrow bytes, terminators included; empty: absent
    };
    const std::string multi = std::string("USB\\VID_1A2B&PID_3C4D&REV_0100") + '\0' + "USB\\VID_1A2B&PID_3C4D" + '\0' +
                              '\0';
    const Case cases[] = {
        {&kPrinter, SPDRP_HARDWAREID, REG_MULTI_SZ, multi},
        {&kPrinter, SPDRP_COMPATIBLEIDS, REG_MULTI_SZ, std::string("USB\\CLASS_FF") + '\0' + '\0'},
        {&kPrinter, SPDRP_ENUMERATOR_NAME, REG_SZ, std::string("USB") + '\0'},
        {&kPrinter, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, 0, ""},  // no device object while not present
        {&kFirstPort, SPDRP_HARDWAREID, REG_MULTI_SZ,
         std::string("ROOT\\RECORDING_SERIAL") + '\0' + "RECORDER\\GENERIC" + '\0' + '\0'},
        {&kSecondPort, SPDRP_COMPATIBLEIDS, 0, ""},
        {&kFirstPort, SPDRP_DEVICEDESC, 0, ""},
        {&kFirstPort, SPDRP_FRIENDLYNAME, 0, ""},
        {&kFirstPort, SPDRP_CLASSGUID, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.device->instanceId) + " property " + std::to_string(c.property));
        SP_DEVINFO_DATA device = DeviceOf(set, Narrow(c.device->instanceId));
        DWORD type = 0xDEADBEEF, required = 0;
        SetLastError(0);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, c.property, &type, nullptr, 0, &required));
        if (c.value.empty()) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
            continue;
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(type, c.type);
        ASSERT_EQ(required, c.value.size());
        std::vector<BYTE> buffer(required + 4, 0xCC);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, c.property, nullptr, buffer.data(), required - 1,
                                                       nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, c.property, &type, buffer.data(), required,
                                                      &required));
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + required), c.value);
        EXPECT_EQ(buffer[required], 0xCC);

        // The wide property is the same text in WCHARs.
        std::vector<BYTE> wide(2 * required);
        DWORD wideRequired = 0;
        EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &device, c.property, &type, wide.data(),
                                                      static_cast<DWORD>(wide.size()), &wideRequired));
        EXPECT_EQ(wideRequired, 2 * required);
        for (size_t i = 0; i < required; i++)
            EXPECT_EQ(wide[2 * i] | (wide[2 * i + 1] << 8), static_cast<BYTE>(c.value[i]));
    }

    SP_DEVINFO_DATA port = DeviceOf(set, Narrow(kFirstPort.instanceId));
    BYTE name[100];
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &port, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, nullptr, name,
                                                  sizeof name, nullptr));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(name)).rfind("\\Device\\", 0), 0u);

    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &port, SPDRP_MAXIMUM_PROPERTY, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, nullptr, SPDRP_HARDWAREID, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(nullptr, &port, SPDRP_HARDWAREID, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

DWORD InstallFlags(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    EXPECT_TRUE(SetupDiGetDeviceInstallParamsA(set, device, &params)) << GetLastError();
    return params.Flags;
}

TEST_F(DeviceEnumeration, RemovalThroughTheClassInstaller)
{
    pnp::DeviceNode *idle = pnp::AddRootDevice(kFirstPort, kRecorder);
    pnp::DeviceNode *busy = pnp::AddRootDevice(kSecondPort, kRecorder);
    pnp::DeviceNode *gone = pnp::AddRootDevice(kPrinter, kRecorder);
    pnp::SurpriseRemove(gone);
    // An application has the busy port open, so its driver vetoes removal.
    ASSERT_EQ(machine_.CreateLink("\\??\\COM9", pnp::PdoOf(busy)), STATUS_SUCCESS);
    HANDLE open = CreateFileA("\\\\.\\COM9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);

    HDEVINFO set = Devices(nullptr, DIGCF_ALLCLASSES);
    const auto before = InstanceIds(set);
    for (const pnp::DeviceIdentity *d : {&kFirstPort, &kSecondPort, &kPrinter}) {
        SCOPED_TRACE(Narrow(d->instanceId));
        SP_DEVINFO_DATA device = DeviceOf(set, Narrow(d->instanceId));
        EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) << GetLastError();
    }
    // Every element stays in the set, in its place.
    EXPECT_EQ(InstanceIds(set), before);

    EXPECT_NE(pnp::StateOf(idle), pnp::NodeState::Started);
    SP_DEVINFO_DATA idleDevice = DeviceOf(set, Narrow(kFirstPort.instanceId));
    EXPECT_EQ(InstallFlags(set, &idleDevice) & (DI_NEEDREBOOT | DI_NEEDRESTART), 0u);

    EXPECT_EQ(pnp::StateOf(busy), pnp::NodeState::Started);
    EXPECT_TRUE(pnp::MarkedForRemovalAtRestart(busy));
    SP_DEVINFO_DATA busyDevice = DeviceOf(set, Narrow(kSecondPort.instanceId));
    EXPECT_EQ(InstallFlags(set, &busyDevice) & DI_NEEDREBOOT, static_cast<DWORD>(DI_NEEDREBOOT));
    EXPECT_EQ(InstallFlags(set, nullptr) & DI_NEEDREBOOT, static_cast<DWORD>(DI_NEEDREBOOT));

    SP_DEVINFO_DATA goneDevice = DeviceOf(set, Narrow(kPrinter.instanceId));
    EXPECT_EQ(InstallFlags(set, &goneDevice) & (DI_NEEDREBOOT | DI_NEEDRESTART), 0u);

    // The removed port's interface is gone from the present ones.
    EXPECT_EQ(PortInterfaces(Devices(&GUID_DEVINTERFACE_COMPORT, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)),
              (std::vector<std::pair<std::string, DWORD>>{{kSecondPath, SPINT_ACTIVE}}));
    CloseHandle(open);
}

TEST_F(DeviceEnumeration, ClassInstallerArgumentErrors)
{
    pnp::AddRootDevice(kFirstPort, kRecorder);
    HDEVINFO set = Devices(nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA device = DeviceOf(set, Narrow(kFirstPort.instanceId));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, nullptr, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DEVICE_SELECTED));
    SP_DEVINFO_DATA wrongSize = device;
    wrongSize.cbSize = 28;
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &wrongSize));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    for (DWORD size : {static_cast<DWORD>(sizeof(SP_DEVINSTALL_PARAMS_A) - 1),
                       static_cast<DWORD>(sizeof(SP_DEVINSTALL_PARAMS_A) + 1)}) {
        SP_DEVINSTALL_PARAMS_A params{};
        params.cbSize = size;
        EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &device, &params));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    }
}

// The walk an uninstaller makes: every device of every class, present or
// not, whose hardware ID contains a pattern is removed; the others are left.
TEST_F(DeviceEnumeration, UninstallerWalkRemovesMatchingDevicesPresentOrNot)
{
    pnp::DeviceNode *port = pnp::AddRootDevice(kFirstPort, kRecorder);
    pnp::DeviceNode *plugged = pnp::AddRootDevice(kPrinter, kRecorder);
    const pnp::DeviceIdentity unplugged{u"USB\\VID_1A2B&PID_3C4D\\5&1234&0&2", {u"USB\\VID_1A2B&PID_3C4D"}, {}};
    pnp::DeviceNode *away = pnp::AddRootDevice(unplugged, kRecorder);
    pnp::SurpriseRemove(away);

    std::vector<std::string> removed;
    HDEVINFO set = Devices(nullptr, DIGCF_ALLCLASSES);
    auto device = Sized<SP_DEVINFO_DATA>();
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); index++) {
        DWORD required = 0;
        std::vector<BYTE> ids;
        while (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, ids.data(),
                                                  static_cast<DWORD>(ids.size()), &required)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            ids.resize(required);
        }
        for (const char *id = reinterpret_cast<const char *>(ids.data()); *id; id += strlen(id) + 1)
            if (strstr(id, "VID_1A2B&PID_3C4D") != nullptr) {
                ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &device));
                char instance[200];
                SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr);
                removed.push_back(instance);
                break;
            }
    }
    EXPECT_EQ(removed, (std::vector<std::string>{Narrow(kPrinter.instanceId), Narrow(unplugged.instanceId)}));
    EXPECT_EQ(pnp::StateOf(port), pnp::NodeState::Started);
    EXPECT_NE(pnp::StateOf(plugged), pnp::NodeState::Started);
}

}  // namespace
}  // namespace winsim::test
