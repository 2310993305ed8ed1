// The Win32 user-mode functions winsim gives programs, pinned to Windows'
// documented behaviour where the uninstaller depends on it.
//
// Sources (Microsoft Learn): GetPrivateProfileString ("If lpDefault has
// trailing blanks, they're removed"; a result cut to nSize - 1; a file
// without a path is looked for in the Windows folder); wsprintfA (the
// buffer limit of 1024 bytes); StrStrIA; GetMessage (WM_QUIT, returns 0);
// PostQuitMessage; DestroyWindow (sends WM_DESTROY); ExitWindowsEx
// ("the calling process must have the SE_SHUTDOWN_NAME privilege");
// AdjustTokenPrivileges (ERROR_NOT_ALL_ASSIGNED); SetupDiGetINFClass;
// SetupDiCallClassInstaller (ERROR_IN_WOW64 for a 32-bit caller on 64-bit
// Windows); NTFS lists a folder in upper-case collation order. The profile
// reader's handling of quotes and of ';' after a value follows Wine's
// conformance tests (dlls/kernel32/tests/profile.c), which run on Windows.
#include "uninstall_fixture.h"

#include <setupapi.h>
#include <shlwapi.h>

namespace tarvik::test {
namespace {

class Win32Desktop : public UninstallTest {};

TEST_F(Win32Desktop, PrivateProfileStrings)
{
    WriteProgramFile("p.ini",
                     "; comment\r\n[First]\r\nkey = value  \r\nQuoted=\"a b\"\r\nSemi=x ; y\r\nEmpty=\r\n"
                     "NoEquals\r\nkey=second\r\n[first]\r\nkey=other\r\n[ Spaced ]\r\nK=v\r\n");
    WriteWindowsFile("w.ini", "[S]\r\nK=in windows\r\n");
    const std::string file = std::string(kProgramFolder) + "\\p.ini";
    struct Case {
        const char *section, *key, *fallback;
        const char *file;
        DWORD size;
        std::string value;
    };
    const Case cases[] = {
        {"first", "KEY", "d", file.c_str(), 260, "value"},
        {"First", "Quoted", "d", file.c_str(), 260, "a b"},
        {"First", "Semi", "d", file.c_str(), 260, "x ; y"},
        {"First", "Empty", "d", file.c_str(), 260, ""},
        {"First", "NoEquals", "d", file.c_str(), 260, "d"},
        {"First", "missing", "xxx  ", file.c_str(), 260, "xxx"},
        {"Spaced", "k", "d", file.c_str(), 260, "v"},
        {"First", "key", "d", file.c_str(), 4, "val"},
        {"First", "key", nullptr, "C:\\nowhere\\p.ini", 260, ""},
        {"S", "K", "d", "w.ini", 260, "in windows"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        char value[260];
        DWORD length = GetPrivateProfileStringA(c.section, c.key, c.fallback, value, c.size, c.file);
        EXPECT_EQ(std::string(value), c.value);
        EXPECT_EQ(length, c.value.size());
    }
}

TEST_F(Win32Desktop, StringHelpers)
{
    char buffer[1100];
    EXPECT_EQ(wsprintfA(buffer, "PID%d", 12), 5);
    EXPECT_STREQ(buffer, "PID12");
    wsprintfA(buffer, "%s\\inf\\%s|%-4d|%04x|%u", "C:\\Windows", "oem1.inf", -3, 0xAB, 4000000000u);
    EXPECT_STREQ(buffer, "C:\\Windows\\inf\\oem1.inf|-3  |00ab|4000000000");
    EXPECT_EQ(wsprintfA(buffer, "%s", std::string(2000, 'a').c_str()), 1023);

    const char *ids = "USB\\VID_1A2B&PID_3C4D&REV_0100";
    EXPECT_EQ(StrStrIA(ids, "usb\\vid_1a2b&pid_3c4d"), ids);
    EXPECT_EQ(StrStrIA(ids, "PID_3C4D&"), ids + 13);
    EXPECT_EQ(StrStrIA(ids, "PID_3C4E"), nullptr);
    EXPECT_EQ(StrStrIA(ids, ""), nullptr);
    EXPECT_EQ(lstrcmpiA("no", "NO"), 0);
    EXPECT_NE(lstrcmpiA("", "NO"), 0);
    EXPECT_EQ(lstrlenA(nullptr), 0);
}

TEST_F(Win32Desktop, FileSearchListsInUpperCaseOrder)
{
    for (const char *name : {"oem2.inf", "oem10.inf", "OEM12.INF", "oem1.inf", "other.inf"})
        WriteWindowsFile(std::string("inf/") + name, "");
    char folder[MAX_PATH];
    ASSERT_EQ(GetWindowsDirectoryA(folder, MAX_PATH), 10u);
    EXPECT_STREQ(folder, "C:\\Windows");
    EXPECT_EQ(GetWindowsDirectoryA(folder, 5), 11u);

    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA("C:\\Windows\\INF\\oem*.inf", &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::string> names{entry.cFileName};
    while (FindNextFileA(search, &entry))
        names.push_back(entry.cFileName);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    EXPECT_EQ(names, (std::vector<std::string>{"oem1.inf", "oem10.inf", "OEM12.INF", "oem2.inf"}));

    EXPECT_EQ(FindFirstFileA("C:\\Windows\\inf\\none*.inf", &entry), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

LRESULT CALLBACK Recorder(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    static std::vector<UINT> *seen;
    if (window == nullptr) {
        seen = reinterpret_cast<std::vector<UINT> *>(lParam);
        return 0;
    }
    seen->push_back(message == WM_USER ? WM_USER + static_cast<UINT>(wParam) : message);
    if (message == WM_DESTROY)
        PostQuitMessage(5);
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(Win32Desktop, MessageLoop)
{
    std::vector<UINT> seen;
    Recorder(nullptr, 0, 0, reinterpret_cast<LPARAM>(&seen));
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = Recorder;
    windowClass.lpszClassName = "Loop";
    ASSERT_NE(RegisterClassExA(&windowClass), 0);
    EXPECT_EQ(RegisterClassExA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    HWND window = CreateWindowExA(0, "LOOP", "Title", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowA("loop", "TITLE"), window);
    EXPECT_FALSE(IsWindowVisible(window));

    // The modal loop of a box dispatches what was posted; WM_QUIT waits until
    // the queue is empty; messages to a destroyed window are dropped.
    PostMessageA(window, WM_USER, 1, 0);
    session().AnswerMessageBoxes([](const MessageBoxShown &) { return IDOK; });
    EXPECT_EQ(MessageBoxA(window, "t", "c", MB_OK), IDOK);
    PostMessageA(window, WM_USER, 2, 0);
    PostQuitMessage(9);  // replaced by the window's own at WM_DESTROY
    PostMessageA(window, WM_USER, 3, 0);
    MSG message;
    std::vector<UINT> loop;
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        DispatchMessageA(&message);
        if (message.wParam == 3) {
            PostMessageA(window, WM_USER, 4, 0);
            DestroyWindow(window);
        }
    }
    // One WM_QUIT, with the code of the last PostQuitMessage.
    EXPECT_EQ(got, FALSE);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 5u);
    EXPECT_EQ(seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_DESTROY,
                                       WM_NCDESTROY}));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(UnregisterClassA("Loop", nullptr));
}

TEST_F(Win32Desktop, RestartNeedsTheShutdownPrivilege)
{
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));

    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &privileges.Privileges[0].Luid));
    winsim::registry::SetUserElevated(false);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid));
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));

    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    ASSERT_EQ(session().RestartRequests().size(), 1u);
}

TEST_F(Win32Desktop, SetupApiReadsTheClassAndRefusesWow64Removal)
{
    WriteProgramFile("ports.inf", InformationFile(""));
    WriteProgramFile("bad.inf", "[Strings]\r\n");
    GUID guid;
    char name[MAX_PATH];
    DWORD required = 0;
    const std::string ports = std::string(kProgramFolder) + "\\ports.inf";
    ASSERT_TRUE(SetupDiGetINFClassA(ports.c_str(), &guid, name, MAX_PATH, &required));
    EXPECT_STREQ(name, "Ports");
    EXPECT_EQ(required, 6u);
    EXPECT_EQ(guid.Data1, 0x4D36E978u);
    EXPECT_EQ(guid.Data4[7], 0x18);
    EXPECT_FALSE(SetupDiGetINFClassA(ports.c_str(), &guid, name, 3, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(SetupDiGetINFClassA((std::string(kProgramFolder) + "\\bad.inf").c_str(), &guid, name, MAX_PATH, nullptr));
    EXPECT_FALSE(SetupDiGetINFClassA((std::string(kProgramFolder) + "\\none.inf").c_str(), &guid, name, MAX_PATH, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    auto *device = AddDevice("ROOT\\WOW\\0000", {"ROOT\\WOW"});
    StartSession({.wow64 = true});
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IN_WOW64));
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(winsim::pnp::StateOf(device), winsim::pnp::NodeState::Started);
}

}  // namespace
}  // namespace tarvik::test
