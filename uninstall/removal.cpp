// The uninstaller's operations on the system: device removal through the
// setup API, driver-package deletion through pnputil, and the rights test.
#include <windows.h>
#include <setupapi.h>
#include <shlwapi.h>

#include "removal.h"
#include "text_buffer.h"

// ---------------------------------------------------------------------------
// Devices

// A device's hardware IDs are a few short strings. A larger size reported
// for them is not trusted as an allocation size.
static const DWORD HardwareIdSizeLimit = 0x10000;

// The property is read again with a larger buffer only while it keeps
// growing between the size query and the read; a few rounds cover that.
static const int HardwareIdReadRounds = 4;

// Reads the device's hardware IDs: strings, each ended by a zero, the list
// ended by an empty string. The buffer has two zero bytes beyond what the
// setup API may fill, so the list always ends inside it, even when the stored
// property lacks its terminators. Returns NULL (nothing to free) when the
// device has no hardware IDs or they can't be read; otherwise the caller
// frees the buffer with LocalFree, and *size is the number of bytes filled.
static LPSTR ReadHardwareIds(HDEVINFO devices, PSP_DEVINFO_DATA device, DWORD *size)
{
    LPSTR ids = NULL;
    DWORD capacity = 0;
    DWORD required = 0;

    for (int round = 0; round < HardwareIdReadRounds; round++) {
        if (SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_HARDWAREID, NULL,
                                              (PBYTE)ids, capacity, &required)) {
            if (ids == NULL)
                break;
            *size = required < capacity ? required : capacity;
            return ids;
        }
        // ERROR_INVALID_DATA means the device has no hardware IDs; any other
        // error but a short buffer means this device can't be examined. Either
        // way the scan goes on with the next device.
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
            required == 0 || required > HardwareIdSizeLimit)
            break;
        if (ids != NULL)
            LocalFree(ids);
        ids = (LPSTR)LocalAlloc(LPTR, required + 2);
        if (ids == NULL)
            return NULL;
        capacity = required;
    }
    if (ids != NULL)
        LocalFree(ids);
    return NULL;
}

// Asks the class installer to remove the device, naming the product's device
// class. A refused request (the device in use, for example, which Windows
// then removes at the next restart) is not an error here.
static void RequestRemoval(HDEVINFO devices, PSP_DEVINFO_DATA device, const GUID *deviceClass)
{
    device->ClassGuid = *deviceClass;
    SetupDiCallClassInstaller(DIF_REMOVE, devices, device);
}

// Every hardware ID of the device that contains the pattern leads to its own
// removal request.
static void RemoveIfMatching(HDEVINFO devices, PSP_DEVINFO_DATA device,
                             const GUID *deviceClass, LPCSTR devicePattern)
{
    DWORD size = 0;
    LPSTR ids = ReadHardwareIds(devices, device, &size);

    if (ids == NULL)
        return;
    for (LPCSTR id = ids; id < ids + size && *id != '\0'; id += lstrlenA(id) + 1) {
        if (StrStrIA(id, devicePattern) != NULL)
            RequestRemoval(devices, device, deviceClass);
    }
    LocalFree(ids);
}

void RemoveMatchingDevices(LPCSTR informationFile, LPCSTR devicePattern)
{
    GUID deviceClass;
    char className[TEXT_BUFFER_SIZE];
    SP_DEVINFO_DATA device;

    if (!SetupDiGetINFClassA(informationFile, &deviceClass, className, TEXT_BUFFER_SIZE, NULL))
        return;

    // Every class and not only present devices: a printer that is unplugged
    // now keeps its device node and driver, and must go as well.
    HDEVINFO devices = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE)
        return;

    // A removed device keeps its place in the list, so the index always moves
    // on by one.
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++)
        RemoveIfMatching(devices, &device, &deviceClass, devicePattern);

    SetupDiDestroyDeviceInfoList(devices);
}

// ---------------------------------------------------------------------------
// Driver packages

// The product's packages carry this key in their [Strings] section.
static const char ProductKeySection[] = "Strings";
static const char ProductKey[] = "QOMDEV_USB.SvcDesc";
static const char NotOurs[] = "NO";

static const char InfFolder[] = "\\inf\\";
static const char OemInfPattern[] = "oem*.inf";

// The probe's bound when the INF folder can't be listed.
static const int OemNumberWhenUnlisted = 255;

// The probe's bound whatever the listing shows. Windows gives a new OEM
// package the lowest free number, so real numbers stay far below it; a stray
// file with a huge number would otherwise keep the probe going for hours.
static const int OemNumberLimit = 9999;

// The longest package name the probe builds: "oem9999.inf".
static const int LongestPackageName = 11;

// Reads the Windows folder. FALSE when it can't be read or is too long to
// hold the longest package path built from it, so that the probe either
// covers all its numbers or does not start.
static BOOL ReadWindowsFolder(LPSTR folder)
{
    UINT length = GetWindowsDirectoryA(folder, TEXT_BUFFER_SIZE);

    if (length == 0 || length >= TEXT_BUFFER_SIZE)
        return FALSE;
    return (int)length + lstrlenA(InfFolder) + LongestPackageName < TEXT_BUFFER_SIZE;
}

// Windows file names ignore case, so OEM12.INF is package oem12.inf.
static BOOL HasOemPrefix(LPCSTR name)
{
    return (name[0] == 'o' || name[0] == 'O') &&
           (name[1] == 'e' || name[1] == 'E') &&
           (name[2] == 'm' || name[2] == 'M');
}

// The package number of a listed name "oem<digits>.inf", capped at
// OemNumberLimit; 0 when the name has no digits there.
static int OemNumberOf(LPCSTR name)
{
    int number = 0;

    if (!HasOemPrefix(name))
        return 0;
    for (LPCSTR digit = name + 3; *digit >= '0' && *digit <= '9'; digit++) {
        number = number * 10 + (*digit - '0');
        if (number >= OemNumberLimit)
            return OemNumberLimit;
    }
    return number;
}

// The highest package number among the OEM INF files of the INF folder. Every
// listed name counts, in whatever order the file system lists them.
static int FindHighestOemNumber(LPCSTR windowsFolder)
{
    char search[TEXT_BUFFER_SIZE];
    WIN32_FIND_DATAA entry;
    int highest = 0;

    if (!CopyText(search, TEXT_BUFFER_SIZE, windowsFolder) ||
        !AppendText(search, TEXT_BUFFER_SIZE, InfFolder) ||
        !AppendText(search, TEXT_BUFFER_SIZE, OemInfPattern))
        return OemNumberWhenUnlisted;

    HANDLE listing = FindFirstFileA(search, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return OemNumberWhenUnlisted;
    do {
        int number = OemNumberOf(entry.cFileName);
        if (number > highest)
            highest = number;
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
    return highest;
}

// Deletes package oem<number>.inf when it is one of the product's. A number
// without a file, or a file without the key, reads as "NO". The key's value
// itself does not matter, only that it is there and not "NO" (in any case).
static void DeletePackageIfOurs(LPCSTR windowsFolder, int number)
{
    char name[TEXT_BUFFER_SIZE];
    char path[TEXT_BUFFER_SIZE];
    char value[TEXT_BUFFER_SIZE];
    char command[TEXT_BUFFER_SIZE];

    wsprintfA(name, "oem%d.inf", number);
    if (!CopyText(path, TEXT_BUFFER_SIZE, windowsFolder) ||
        !AppendText(path, TEXT_BUFFER_SIZE, InfFolder) ||
        !AppendText(path, TEXT_BUFFER_SIZE, name))
        return;

    GetPrivateProfileStringA(ProductKeySection, ProductKey, NotOurs, value, TEXT_BUFFER_SIZE, path);
    if (lstrcmpiA(value, NotOurs) == 0)
        return;

    // -f deletes the package even while a device still uses it, as one whose
    // removal waits for the next restart does. Not waited for; its outcome
    // is not seen.
    wsprintfA(command, "pnputil.exe -f -d %s", name);
    WinExec(command, SW_HIDE);
}

void RemoveOemDriverPackages(void)
{
    char windowsFolder[TEXT_BUFFER_SIZE];

    if (!ReadWindowsFolder(windowsFolder))
        return;

    int highest = FindHighestOemNumber(windowsFolder);
    for (int number = 0; number <= highest; number++)
        DeletePackageIfOurs(windowsFolder, number);
}

// ---------------------------------------------------------------------------
// Rights

// Writing under the COM Name Arbiter key needs administrative rights, as does
// everything the removal does; the key is only opened, never read or changed.
BOOL HasArbiterWriteAccess(void)
{
    HKEY key;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter",
                      0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(key);
    return TRUE;
}
