// The registry of a freshly booted Windows: the keys and values the product,
// the simulator's Plug and Play manager and the Win32 layer expect to find.
#include "registry.h"

#include "access.h"
#include "key_handles.h"
#include "key_tree.h"
#include "text.h"

#include <cstdio>

namespace winsim::registry {
namespace {

struct DeviceClass {
    const char *guid;
    const char *name;
    const char *description;
};

const DeviceClass kClasses[] = {
    {"{4D36E978-E325-11CE-BFC1-08002BE10318}", "Ports", "Ports (COM & LPT)"},
    {"{50906CB8-BA12-11D1-BF5D-0000F805F530}", "MultiportSerial", "Multi-port serial adapters"},
    {"{4D36E96D-E325-11CE-BFC1-08002BE10318}", "Modem", "Modems"},
    {"{36FC9E60-C465-11CF-8056-444553540000}", "USB", "Universal Serial Bus controllers"},
    {"{88BAE032-5A81-49F0-BC3D-A4FF138216D6}", "USBDevice", "Universal Serial Bus devices"},
    {"{4D36E979-E325-11CE-BFC1-08002BE10318}", "Printer", "Printers"},
    {"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "HIDClass", "Human Interface Devices"},
    {"{4D36E97D-E325-11CE-BFC1-08002BE10318}", "System", "System devices"},
    {"{4D36E97E-E325-11CE-BFC1-08002BE10318}", "Unknown", "Other devices"},
};

struct Edition {
    const char *productName;
    const char *currentVersion;
};

Edition EditionOf(ULONG major, ULONG minor)
{
    if (major >= 10)
        return {"Windows 10 Pro", "6.3"};
    if (major == 6 && minor == 3)
        return {"Windows 8.1 Pro", "6.3"};
    if (major == 6 && minor == 2)
        return {"Windows 8 Pro", "6.2"};
    if (major == 6 && minor == 1)
        return {"Windows 7 Professional", "6.1"};
    return {"Windows", nullptr};
}

void BuildHardware()
{
    const std::string cpu = "\\Registry\\Machine\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
    SetString(cpu, "ProcessorNameString", "winsim virtual processor");
    SetString(cpu, "Identifier", "AMD64 Family 6 Model 0 Stepping 0");
    SetString(cpu, "VendorIdentifier", "winsim");
    CreateKey(kSerialCommKey);
    CreateKey("\\Registry\\Machine\\HARDWARE\\RESOURCEMAP");
}

void BuildSoftware(const BootOptions &o)
{
    const std::string nt = "\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    Edition edition = EditionOf(o.osMajor, o.osMinor);
    char version[32];
    snprintf(version, sizeof version, "%u.%u", o.osMajor, o.osMinor);
    SetString(nt, "ProductName", edition.productName);
    SetString(nt, "CurrentVersion", edition.currentVersion != nullptr ? edition.currentVersion : version);
    SetString(nt, "CurrentBuild", std::to_string(o.osBuild));
    SetString(nt, "CurrentBuildNumber", std::to_string(o.osBuild));
    if (o.osMajor >= 10) {
        SetDword(nt, "CurrentMajorVersionNumber", o.osMajor);
        SetDword(nt, "CurrentMinorVersionNumber", o.osMinor);
    }
    SetString(nt, "EditionID", "Professional");
    SetString(nt, "InstallationType", "Client");
    SetString(nt, "CurrentType", "Multiprocessor Free");
    SetString(nt, "SystemRoot", o.systemRoot);
    SetString(nt, "PathName", o.systemRoot);
    SetString(nt, "RegisteredOwner", "winsim");

    const std::string windows = "\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    std::string drive = o.systemRoot.substr(0, o.systemRoot.find('\\'));
    SetString(windows, "ProgramFilesDir", drive + "\\Program Files");
    SetString(windows, "ProgramFilesDir (x86)", drive + "\\Program Files (x86)");
    SetString(windows, "CommonFilesDir", drive + "\\Program Files\\Common Files");
    SetString(windows, "DevicePath", "%SystemRoot%\\inf", REG_EXPAND_SZ);
    CreateKey("\\Registry\\Machine\\SOFTWARE\\Classes");
}

void BuildSystem()
{
    const std::string select = "\\Registry\\Machine\\SYSTEM\\Select";
    SetDword(select, "Current", 1);
    SetDword(select, "Default", 1);
    SetDword(select, "Failed", 0);
    SetDword(select, "LastKnownGood", 1);

    const std::string set = "\\Registry\\Machine\\SYSTEM\\ControlSet001";
    CreateKey(set + "\\Hardware Profiles\\0001");
    KeyRef controlSet, profile;
    TheStore().Open(nullptr, Utf8ToUtf16(set), &controlSet);
    TheStore().Open(nullptr, Utf8ToUtf16(set + "\\Hardware Profiles\\0001"), &profile);
    TheStore().CreateLink(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet", controlSet);
    TheStore().CreateLink(Utf8ToUtf16(set + "\\Hardware Profiles\\Current"), profile);

    const std::string control = std::string(kControlSet) + "\\Control";
    for (auto &c : kClasses) {
        std::string key = std::string(kClassKey) + "\\" + c.guid;
        SetString(key, "", c.description);
        SetString(key, "Class", c.name);
    }
    SetBinary(kComNameArbiterKey, "ComDB", std::vector<uint8_t>(32, 0));
    CreateKey(control + "\\DeviceClasses");
    SetString(control + "\\ProductOptions", "ProductType", "WinNT");
    SetString(control + "\\Nls\\CodePage", "ACP", "1252");
    SetString(control + "\\Nls\\CodePage", "OEMCP", "437");
    const std::string environment = control + "\\Session Manager\\Environment";
    SetString(environment, "OS", "Windows_NT");
    SetString(environment, "windir", "%SystemRoot%", REG_EXPAND_SZ);
    SetString(environment, "ComSpec", "%SystemRoot%\\system32\\cmd.exe", REG_EXPAND_SZ);
    SetString(environment, "PROCESSOR_ARCHITECTURE", "AMD64");
    SetString(control + "\\Windows", "SystemDirectory", "%SystemRoot%\\system32", REG_EXPAND_SZ);
    SetString(control, "SystemBootDevice", "multi(0)disk(0)rdisk(0)partition(1)");

    for (const char *enumerator : {"ROOT", "USB", "HTREE\\ROOT\\0"})
        CreateKey(std::string(kEnumKey) + "\\" + enumerator);
    CreateKey(kServicesKey);
}

void BuildUsers()
{
    CreateKey("\\Registry\\User\\.Default\\Software");
    std::string user = Utf16ToUtf8(kCurrentUserPath);
    CreateKey(user + "\\Software\\Microsoft\\Windows\\CurrentVersion");
    SetString(user + "\\Control Panel\\International", "Locale", "00000409");
}

}  // namespace

void Boot(const BootOptions &options)
{
    ResetKeyHandles();
    TheStore().Reset();
    SetUserElevated(true);
    for (const char *hive : {"HARDWARE", "SAM", "SECURITY", "SOFTWARE", "SYSTEM"})
        CreateKey(std::string("\\Registry\\Machine\\") + hive);
    BuildHardware();
    BuildSoftware(options);
    BuildSystem();
    for (const char *index : {"DriverInfFiles", "DriverPackages", "DeviceIds"})
        CreateKey(std::string(kDriverDatabaseKey) + "\\" + index);
    BuildUsers();
}

}  // namespace winsim::registry
