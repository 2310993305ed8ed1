// The uninstaller's program flow. The program has no visible window: a
// hidden one carries the steps, which the program posts to itself as WM_USER
// messages, and everything the user sees is a message box. It always exits
// with 0.
#include <windows.h>

#include "program_flow.h"
#include "removal.h"
#include "text_buffer.h"
#include "uninstall_texts.h"

// wParam of the WM_USER step messages.
enum UNINSTALL_STEP {
    StepNone = 0,     // no step is due
    StepConfirm = 1,  // ask the user, test the rights
    StepRemove = 2,   // remove the product, offer a restart
};

// What reading one key of the device list gave.
enum PID_ENTRY {
    PidListEnd,   // key missing or "xxx": the list is over
    PidEmpty,     // no value: skipped
    PidTooLong,   // the device pattern would not fit its buffer
    PidPattern,   // a device pattern was made
};

// Class name and title of the hidden window; a running copy is found by it.
static const char WindowName[] = "TARVIKUnInstall";

// The uninstall information file, an INF-syntax file beside the program.
static const char InformationFileName[] = "\\tarvik_uninstall.DEL";
static const char PidSection[] = "Uninstall_PID";
static const char EndOfPidList[] = "xxx";
static const char PatternPrefix[] = "USB\\";

// The package's own uninstall section, run by the setup API. Mode 128 takes
// the INF's folder as the default path and never restarts by itself; the
// restart is offered once everything else has been started.
static const char UninstallCommand[] =
    "RUNDLL32 SETUPAPI.DLL,InstallHinfSection DefaultUninstall 128 ";

// The 64-bit program, shipped beside the 32-bit one.
static const char NativeProgramName[] = "\\tarvik_uninstall64.exe";

// Process-wide state, set afresh at the start of every run.
static BOOL japaneseUi;          // show the Japanese texts
static UNINSTALL_STEP dueStep;   // the one step message acted on next

static int ShowMessage(HWND owner, const UNINSTALL_MESSAGE *message)
{
    return MessageBoxA(owner, japaneseUi ? message->Japanese : message->English,
                       message->Caption, message->Style);
}

// ---------------------------------------------------------------------------
// Files beside the program

// The full path of the program file. FALSE when it can't be read whole: a
// path that fills the buffer has been cut short.
static BOOL GetProgramPath(LPSTR path)
{
    DWORD length = GetModuleFileNameA(NULL, path, TEXT_BUFFER_SIZE);

    return length != 0 && length < TEXT_BUFFER_SIZE;
}

// Cuts a path at its last backslash, dropping the backslash. Steps by
// characters, not bytes: the second byte of a double-byte character (as in a
// Japanese folder name) can have the value of a backslash.
static BOOL CutAtLastBackslash(LPSTR path)
{
    LPSTR last = NULL;

    for (LPSTR at = path; *at != '\0'; at = CharNextA(at)) {
        if (*at == '\\')
            last = at;
    }
    if (last == NULL)
        return FALSE;
    *last = '\0';
    return TRUE;
}

// The path of a file in the program's folder; name starts with a backslash.
static BOOL BuildPathBesideProgram(LPSTR path, LPCSTR name)
{
    return GetProgramPath(path) && CutAtLastBackslash(path) &&
           AppendText(path, TEXT_BUFFER_SIZE, name);
}

// ---------------------------------------------------------------------------
// 32-bit copy on 64-bit Windows

// A 32-bit copy can't do the job on 64-bit Windows: the setup API refuses to
// remove devices for a WOW64 process, and pnputil.exe is not found in its
// redirected System32.
static BOOL RunsUnderWow64(void)
{
    BOOL wow64 = FALSE;

    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Starts the 64-bit copy beside this program, which then does everything
// itself. FALSE when it can't be started.
static BOOL StartNativeProgram(void)
{
    char self[TEXT_BUFFER_SIZE];
    char native[TEXT_BUFFER_SIZE];
    char command[TEXT_BUFFER_SIZE];

    if (!GetProgramPath(self) || !BuildPathBesideProgram(native, NativeProgramName))
        return FALSE;
    // A 32-bit file under the 64-bit name would start itself over and over.
    if (lstrcmpiA(self, native) == 0)
        return FALSE;
    // Quoted, since the folder may contain blanks.
    if (!CopyText(command, TEXT_BUFFER_SIZE, "\"") ||
        !AppendText(command, TEXT_BUFFER_SIZE, native) ||
        !AppendText(command, TEXT_BUFFER_SIZE, "\""))
        return FALSE;
    return WinExec(command, SW_SHOWNORMAL) > 31;
}

// ---------------------------------------------------------------------------
// Restart

void EnableShutdownPrivilege(HANDLE process)
{
    HANDLE token;
    TOKEN_PRIVILEGES privileges;

    if (OpenProcessToken(process, TOKEN_ADJUST_PRIVILEGES, &token)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        CloseHandle(token);
    }
    // The caller passes the current-process pseudo handle, for which closing
    // has no effect.
    CloseHandle(process);
}

// The question says the uninstallation is complete whatever happened before:
// failures along the way are not observed.
static void OfferRestart(void)
{
    if (ShowMessage(NULL, &RestartMessage) != IDYES)
        return;
    EnableShutdownPrivilege(GetCurrentProcess());
    // No force flag: applications still get the chance to save their work.
    ExitWindowsEx(EWX_REBOOT, 0);
}

// ---------------------------------------------------------------------------
// Steps

// Reads key PID<index> of [Uninstall_PID] and makes the device pattern
// "USB\<value>" from it.
static PID_ENTRY ReadDevicePattern(LPCSTR informationFile, int index, LPSTR pattern)
{
    char key[TEXT_BUFFER_SIZE];
    char value[TEXT_BUFFER_SIZE];

    wsprintfA(key, "PID%d", index);
    GetPrivateProfileStringA(PidSection, key, EndOfPidList, value, TEXT_BUFFER_SIZE, informationFile);

    // A missing key reads as "xxx" as well. The comparison is exact.
    if (TextEquals(value, EndOfPidList))
        return PidListEnd;
    // "USB\" alone is part of every USB device's hardware ID.
    if (value[0] == '\0')
        return PidEmpty;
    // A value the read cut short fills the buffer, so it fails here too.
    if (!CopyText(pattern, TEXT_BUFFER_SIZE, PatternPrefix) ||
        !AppendText(pattern, TEXT_BUFFER_SIZE, value))
        return PidTooLong;
    return PidPattern;
}

// Checked before anything is removed, so that an unusable entry late in the
// list does not leave the product half removed.
static BOOL DevicePatternsFit(LPCSTR informationFile)
{
    char pattern[TEXT_BUFFER_SIZE];

    for (int index = 0;; index++) {
        PID_ENTRY entry = ReadDevicePattern(informationFile, index, pattern);
        if (entry == PidListEnd)
            return TRUE;
        if (entry == PidTooLong)
            return FALSE;
    }
}

// One removal pass over all devices per listed value, in key order.
static void RemoveListedDevices(LPCSTR informationFile)
{
    char pattern[TEXT_BUFFER_SIZE];

    for (int index = 0;; index++) {
        PID_ENTRY entry = ReadDevicePattern(informationFile, index, pattern);
        if (entry == PidListEnd)
            return;
        if (entry == PidPattern)
            RemoveMatchingDevices(informationFile, pattern);
    }
}

// Asks the user, then tests the rights. Only OK goes on: Cancel, Esc, the
// close button and a box that could not be shown leave the system untouched.
static void ConfirmAndTestRights(HWND window)
{
    if (ShowMessage(window, &ConfirmMessage) != IDOK) {
        DestroyWindow(window);
        return;
    }
    if (!HasArbiterWriteAccess()) {
        ShowMessage(window, &NoAccessMessage);
        DestroyWindow(window);
        return;
    }
    dueStep = StepRemove;
    if (!PostMessageA(window, WM_USER, StepRemove, 0))
        DestroyWindow(window);
}

// Removes the devices, starts the package's uninstall section, deletes the
// driver packages and offers a restart. Everything built from the
// information file is checked first; if any of it does not fit its buffer,
// nothing is removed.
static void RemoveProduct(HWND window)
{
    char informationFile[TEXT_BUFFER_SIZE] = "";
    char command[TEXT_BUFFER_SIZE] = "";

    // The file's path goes on the command line unquoted: the setup API takes
    // everything after the mode as the path.
    if (!BuildPathBesideProgram(informationFile, InformationFileName) ||
        !CopyText(command, TEXT_BUFFER_SIZE, UninstallCommand) ||
        !AppendText(command, TEXT_BUFFER_SIZE, informationFile) ||
        !DevicePatternsFit(informationFile)) {
        ShowMessage(window, &TooLongMessage);
        DestroyWindow(window);
        return;
    }

    RemoveListedDevices(informationFile);
    // A separate process, not waited for.
    WinExec(command, SW_SHOW);
    RemoveOemDriverPackages();
    OfferRestart();
    DestroyWindow(window);
}

// Runs the step a WM_USER message names. Only the step that is due runs, and
// only once: other programs can post to this window too, and the message
// boxes dispatch messages while they are open. Any other value ends the
// program.
static void RunStep(HWND window, WPARAM step)
{
    if (step != StepConfirm && step != StepRemove) {
        DestroyWindow(window);
        return;
    }
    if (step != (WPARAM)dueStep)
        return;
    dueStep = StepNone;
    if (step == StepConfirm)
        ConfirmAndTestRights(window);
    else
        RemoveProduct(window);
}

LRESULT CALLBACK UninstallWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
    case WM_PAINT:
        // The window is never shown; there is nothing to set up or draw.
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_USER:
        RunStep(window, wParam);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// ---------------------------------------------------------------------------
// Start-up

static void RegisterWindowClass(HINSTANCE instance)
{
    WNDCLASSEXA windowClass;

    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = UninstallWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    // The program carries no icon resource, so both icons stay empty; the
    // window is never shown.
    windowClass.hIcon = LoadIconA(instance, "IDI_ICON1");
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    windowClass.lpszMenuName = NULL;
    windowClass.lpszClassName = WindowName;
    // Not tested: if this fails, so does creating the window.
    RegisterClassExA(&windowClass);
}

static void RunMessageLoop(void)
{
    MSG message;

    // GetMessageA gives 0 for WM_QUIT and -1 on failure; both end the loop.
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    // Nothing on the command line changes what the program does; "-uninst"
    // is accepted like anything else, and the information file is always
    // the one beside the program. The window stays hidden whatever the show
    // command says.
    if (FindWindowA(WindowName, WindowName) != NULL)
        return 0;

    // Process-wide state is set afresh for every run.
    dueStep = StepNone;
    // The whole LANGID counts: Japanese as used in Japan.
    japaneseUi = GetUserDefaultUILanguage() == MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);

    if (RunsUnderWow64()) {
        if (!StartNativeProgram())
            ShowMessage(NULL, &NeedsNativeMessage);
        return 0;
    }

    RegisterWindowClass(instance);
    HWND window = CreateWindowExA(0, WindowName, WindowName, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  NULL, NULL, instance, NULL);
    // Without the window the steps have nowhere to go.
    if (window != NULL) {
        ShowWindow(window, SW_HIDE);
        dueStep = StepConfirm;
        if (!PostMessageA(window, WM_USER, StepConfirm, 0))
            DestroyWindow(window);
        RunMessageLoop();
    }
    // Windows drops the class when the process ends; doing it here leaves
    // nothing behind when the program runs inside a longer-lived process.
    UnregisterClassA(WindowName, instance);
    return 0;
}
