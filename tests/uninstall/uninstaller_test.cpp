// tarvik_uninstall from the user's side: what it asks, what it removes, what
// it starts, and that it always ends with 0 and leaves nothing behind.
#include "uninstall_fixture.h"

#include <fstream>
#include <sstream>

namespace tarvik::test {
namespace {

using winsim::pnp::NodeState;
using winsim::win32::kCloseButton;
using winsim::win32::kPressEscape;

const char kConfirmCaption[] = "Uninstall:TARVIK driver";
const char kConfirmText[] = "Do you uninstall TARVIK driver from your system ? ";
const char kRestartText[] = "The uninstallation is now complete. Do you wish to restart now?";
const char kNoAccessText[] = "TARVIK Driver couldn't be removed.\nYou don't have DELETE access.";
const char kTooLongText[] = "TARVIK Driver couldn't be removed.\nThe uninstall information is too long.";
const char kNeedsNativeText[] = "TARVIK Driver couldn't be removed.\nRun the 64-bit uninstaller on this system.";
const std::string kUninstallCommand =
    std::string("RUNDLL32 SETUPAPI.DLL,InstallHinfSection DefaultUninstall 128 ") + kInformationFile;

std::string ReadFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Uninstaller : public UninstallTest {
protected:
    Uninstaller() { WriteProgramFile("tarvik_uninstall.DEL", InformationFile("PID0=VID_1A2B&PID_3C4D\r\n")); }
};

TEST_F(Uninstaller, SecondCopyEndsAtOnceWithoutAWord)
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = "TARVIKUnInstall";
    ASSERT_NE(RegisterClassExA(&windowClass), 0);
    HWND running = CreateWindowExA(0, "TARVIKUnInstall", "TARVIKUnInstall", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10,
                                   nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(running, nullptr);

    EXPECT_EQ(WinMain(nullptr, nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL), 0);
    EXPECT_TRUE(session().MessageBoxes().empty());
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(IsWindow(running));
    DestroyWindow(running);
    UnregisterClassA("TARVIKUnInstall", nullptr);
}

TEST_F(Uninstaller, DecliningChangesNothing)
{
    auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\1", {"USB\\VID_1A2B&PID_3C4D&REV_0100"});
    for (int answer : {IDCANCEL, kPressEscape, kCloseButton}) {
        SCOPED_TRACE(answer);
        StartSession();
        Answer({answer});
        EXPECT_EQ(Run(), 0);
        auto boxes = session().MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, kConfirmCaption);
        EXPECT_EQ(boxes[0].text, kConfirmText);
        EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OKCANCEL | MB_ICONQUESTION));
        EXPECT_EQ(boxes[0].result, IDCANCEL);
        // The box belongs to the hidden window.
        ASSERT_EQ(session().Windows().size(), 1u);
        EXPECT_NE(boxes[0].owner, nullptr);
        EXPECT_TRUE(Commands().empty());
        EXPECT_EQ(winsim::pnp::StateOf(printer), NodeState::Started);
    }
}

TEST_F(Uninstaller, WithoutAdministrativeRightsNothingIsRemoved)
{
    auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\1", {"USB\\VID_1A2B&PID_3C4D"});
    winsim::registry::SetUserElevated(false);
    Answer({IDOK, IDOK});
    EXPECT_EQ(Run(), 0);
    auto boxes = session().MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].caption, "Uninstall");
    EXPECT_EQ(boxes[1].text, kNoAccessText);
    EXPECT_EQ(boxes[1].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes[1].owner, boxes[0].owner);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(winsim::pnp::StateOf(printer), NodeState::Started);
}

TEST_F(Uninstaller, FullRunRemovesTheProductAndRestarts)
{
    // The package as shipped: its information file and its uninstall section.
    WriteProgramFile("tarvik_uninstall.DEL", ReadFile(std::filesystem::path(TARVIK_PACKAGE_DIR) / "tarvik_uninstall.DEL"));
    for (const char *image : {"tarvik_usb.sys", "tarvik_serial.sys", "other.sys"}) {
        WriteWindowsFile(std::string("System32/drivers/") + image, "image");
        ASSERT_TRUE(WindowsFileExists(std::string("System32/drivers/") + image));
    }
    const std::string services = winsim::registry::kServicesKey;
    winsim::registry::CreateKey(services + "\\tarvik_usb");
    winsim::registry::CreateKey(services + "\\tarvik_serial");

    auto *plugged = AddDevice("USB\\VID_1A2B&PID_3C4D\\5&1&0&1", {"USB\\VID_1A2B&PID_3C4D&REV_0100", "USB\\VID_1A2B&PID_3C4D"});
    // Known to Windows, not connected; the pattern ignores case and may be
    // followed by more of the ID.
    auto *unplugged = AddDevice("USB\\VID_1A2B&PID_3C4D\\5&1&0&2", {"usb\\vid_1a2b&pid_3c4d&rev_0200"});
    winsim::pnp::SurpriseRemove(unplugged);
    const std::string unpluggedKey = std::string(winsim::registry::kEnumKey) + "\\USB\\VID_1A2B&PID_3C4D\\5&1&0&2";
    winsim::registry::CreateKey(unpluggedKey);
    auto *other = AddDevice("USB\\VID_1A2B&PID_9999\\1", {"USB\\VID_1A2B&PID_9999"});
    auto *noIds = AddDevice("ROOT\\NOTHING\\0000", {});

    Answer({IDOK, IDYES});
    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(Captions(), (std::vector<std::string>{kConfirmCaption, kConfirmCaption}));
    auto restart = session().MessageBoxes()[1];
    EXPECT_EQ(restart.text, kRestartText);
    EXPECT_EQ(restart.owner, nullptr);
    EXPECT_EQ(restart.style, 0x40024u);

    EXPECT_NE(winsim::pnp::StateOf(plugged), NodeState::Started);
    EXPECT_FALSE(winsim::registry::KeyExists(unpluggedKey));
    EXPECT_EQ(winsim::pnp::StateOf(other), NodeState::Started);
    EXPECT_EQ(winsim::pnp::StateOf(noIds), NodeState::Started);

    auto started = session().StartedCommands();
    ASSERT_GE(started.size(), 1u);
    EXPECT_EQ(started[0].commandLine, kUninstallCommand);
    EXPECT_EQ(started[0].show, static_cast<UINT>(SW_SHOW));
    EXPECT_GT(started[0].result, 31u);
    EXPECT_EQ(started[0].exitCode, 0);
    // The package's uninstall section ran: its files and services are gone.
    EXPECT_FALSE(WindowsFileExists("System32/drivers/tarvik_usb.sys"));
    EXPECT_FALSE(WindowsFileExists("System32/drivers/tarvik_serial.sys"));
    EXPECT_TRUE(WindowsFileExists("System32/drivers/other.sys"));
    EXPECT_FALSE(winsim::registry::KeyExists(services + "\\tarvik_usb"));
    EXPECT_FALSE(winsim::registry::KeyExists(services + "\\tarvik_serial"));

    ASSERT_EQ(session().RestartRequests().size(), 1u);
    EXPECT_EQ(session().RestartRequests()[0].flags, static_cast<UINT>(EWX_REBOOT));
    EXPECT_EQ(session().RestartRequests()[0].reason, 0u);
}

TEST_F(Uninstaller, NoToTheRestartEndsWithoutOne)
{
    Answer({IDOK, IDNO});
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Captions().size(), 2u);
    EXPECT_TRUE(session().RestartRequests().empty());
    auto privileges = session().EnabledPrivileges();
    EXPECT_EQ(std::count(privileges.begin(), privileges.end(), "SeShutdownPrivilege"), 0);
}

TEST_F(Uninstaller, AnOpenPortIsRemovedAtTheNextRestart)
{
    auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\5&1&0&1", {"USB\\VID_1A2B&PID_3C4D"});
    ASSERT_EQ(machine_.CreateLink("\\??\\COM7", winsim::pnp::PdoOf(printer)), STATUS_SUCCESS);
    HANDLE port = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Answer({IDOK, IDNO});
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(winsim::pnp::StateOf(printer), NodeState::Started);
    EXPECT_TRUE(winsim::pnp::MarkedForRemovalAtRestart(printer));
    EXPECT_EQ(session().MessageBoxes().back().text, kRestartText);
    CloseHandle(port);
}

// Japanese texts as code page 932 bytes, with the English captions.
TEST_F(Uninstaller, JapaneseUserInterface)
{
    struct Case {
        const char *name;
        std::function<void()> arrange;
        std::vector<int> answers;
        std::vector<std::string> texts;  // UTF-8
    };
    const std::string confirm = "TARVIKドライバをアンインストールしますか ? ";
    const std::string failed = "TARVIKドライバを削除できませんでした。\n";
    const Case cases[] = {
        {"full run", [] {}, {IDOK, IDNO}, {confirm, "アンインストールが終了しました。再起動しますか?"}},
        {"no access", [] { winsim::registry::SetUserElevated(false); }, {IDOK, IDOK},
         {confirm, failed + "ユーザに削除アクセス権がありません。"}},
        {"too long", [this] { WriteProgramFile("tarvik_uninstall.DEL", InformationFile("PID0=" + std::string(256, 'A') + "\r\n")); },
         {IDOK, IDOK}, {confirm, failed + "アンインストール情報が長すぎます。"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteProgramFile("tarvik_uninstall.DEL", InformationFile("PID0=VID_1A2B&PID_3C4D\r\n"));
        winsim::registry::SetUserElevated(true);
        c.arrange();
        StartSession({.uiLanguage = 0x0411});
        Answer(c.answers);
        EXPECT_EQ(Run(), 0);
        auto boxes = session().MessageBoxes();
        ASSERT_EQ(boxes.size(), c.texts.size());
        for (size_t i = 0; i < boxes.size(); i++)
            EXPECT_EQ(FromCodePage932(boxes[i].text), c.texts[i]) << i;
        EXPECT_EQ(boxes[0].caption, kConfirmCaption);
        EXPECT_EQ(boxes[1].caption, c.answers[1] == IDNO ? kConfirmCaption : "Uninstall");
    }
    // Only Japanese as used in Japan selects them.
    StartSession({.uiLanguage = 0x0811});
    Answer({IDCANCEL});
    Run();
    EXPECT_EQ(session().MessageBoxes()[0].text, kConfirmText);
}

TEST_F(Uninstaller, DevicePatternListEndsAtTheFirstGapOrXxx)
{
    struct Case {
        const char *pidLines;
        std::vector<bool> removed;  // devices VID_0000 .. VID_0003
    };
    const Case cases[] = {
        {"PID0=VID_0000\r\nPID1=VID_0001\r\nPID3=VID_0003\r\n", {true, true, false, false}},
        {"PID0=VID_0000\r\nPID1=xxx\r\nPID2=VID_0002\r\n", {true, false, false, false}},
        {"PID0=XXX\r\nPID1=VID_0001\r\n", {false, true, false, false}},
        // An empty value would make "USB\" alone, which every USB device has: skipped.
        {"PID0=\r\nPID1=VID_0002\r\n", {false, false, true, false}},
        {"PID1=VID_0001\r\n", {false, false, false, false}},
        // Blanks around a value and quotes are the profile reader's; a comment is part of the value.
        {"PID0 = \"VID_0003\"\r\nPID1=VID_0000 ; comment\r\n", {false, false, false, true}},
    };
    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pidLines);
        std::vector<winsim::pnp::DeviceNode *> devices;
        for (int i = 0; i < 4; i++)
            devices.push_back(AddDevice("USB\\VID_000" + std::to_string(i) + "\\" + std::to_string(run),
                                        {"USB\\VID_000" + std::to_string(i) + "&PID_0001"}));
        run++;
        WriteProgramFile("tarvik_uninstall.DEL", InformationFile(c.pidLines));
        StartSession();
        Answer({IDOK, IDNO});
        EXPECT_EQ(Run(), 0);
        for (size_t i = 0; i < devices.size(); i++)
            EXPECT_EQ(winsim::pnp::StateOf(devices[i]) != NodeState::Started, c.removed[i]) << "device " << i;
        // The rest of the run happens whatever the list held.
        ASSERT_FALSE(Commands().empty());
        EXPECT_EQ(Commands()[0], kUninstallCommand);
        EXPECT_EQ(session().MessageBoxes().back().text, kRestartText);
    }
}

TEST_F(Uninstaller, WithoutTheInformationFileTheRestStillRuns)
{
    std::filesystem::remove(programFolder_ / "tarvik_uninstall.DEL");
    auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\1", {"USB\\VID_1A2B&PID_3C4D"});
    Answer({IDOK, IDNO});
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(winsim::pnp::StateOf(printer), NodeState::Started);
    ASSERT_FALSE(session().StartedCommands().empty());
    EXPECT_EQ(session().StartedCommands()[0].commandLine, kUninstallCommand);
    // RUNDLL32 finds no file; nobody is told.
    EXPECT_NE(session().StartedCommands()[0].exitCode, 0);
    EXPECT_EQ(session().MessageBoxes().back().text, kRestartText);
}

TEST_F(Uninstaller, StepMessagesFromElsewhere)
{
    // Posted to the window while the confirmation box is open: an unknown
    // step ends the program; a second "ask" is not asked again.
    struct Case {
        WPARAM step;
        std::vector<int> answers;
        bool removes;
    };
    for (const Case &c : {Case{7, {IDOK}, false}, Case{0, {IDOK}, false}, Case{1, {IDOK, IDNO}, true}}) {
        SCOPED_TRACE(c.step);
        auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\" + std::to_string(c.step), {"USB\\VID_1A2B&PID_3C4D"});
        StartSession();
        std::deque<int> answers(c.answers.begin(), c.answers.end());
        session().AnswerMessageBoxes([&](const MessageBoxShown &box) {
            if (box.owner != nullptr)
                PostMessageA(box.owner, WM_USER, c.step, 0);
            int answer = answers.front();
            answers.pop_front();
            return answer;
        });
        EXPECT_EQ(Run(), 0);
        EXPECT_TRUE(answers.empty());
        EXPECT_EQ(winsim::pnp::StateOf(printer) != NodeState::Started, c.removes);
        EXPECT_EQ(Commands().empty(), !c.removes);
    }
}

TEST_F(Uninstaller, CommandLineSwitchKeepsTheProgramFolder)
{
    // Another information file in the current directory is never read.
    auto other = programFolder_ / "current";
    std::filesystem::create_directories(other);
    std::ofstream(other / "QVD_ALLTARVIK.DEL") << InformationFile("PID0=VID_1A2B&PID_9999\r\n");
    auto *ours = AddDevice("USB\\VID_1A2B&PID_3C4D\\1", {"USB\\VID_1A2B&PID_3C4D"});
    auto *theirs = AddDevice("USB\\VID_1A2B&PID_9999\\1", {"USB\\VID_1A2B&PID_9999"});
    StartSession({.currentDirectory = std::string(kProgramFolder) + "\\current"});
    Answer({IDOK, IDNO});
    EXPECT_EQ(Run("-uninst"), 0);
    EXPECT_NE(winsim::pnp::StateOf(ours), NodeState::Started);
    EXPECT_EQ(winsim::pnp::StateOf(theirs), NodeState::Started);
    EXPECT_EQ(Commands().at(0), kUninstallCommand);
}

TEST_F(Uninstaller, TextThatDoesNotFitIsRefusedBeforeAnythingIsRemoved)
{
    struct Case {
        const char *name;
        std::string folderName;  // below C:\ ; the program's folder
        std::string pidValue;
        bool refused;
    };
    // "C:\" + folder + "\tarvik_uninstall.DEL" must fit 259 characters, and the
    // RUNDLL32 command (62 characters and the path) as well.
    const Case cases[] = {
        {"value of 255", "T", std::string(251, 'A') + "0000", false},
        {"value of 256", "T", std::string(256, 'A'), true},
        {"value the reader cut short", "T", std::string(400, 'A'), true},
        {"path for the command", std::string(173, 'F'), "VID_1A2B", false},
        {"path too long for the command", std::string(174, 'F'), "VID_1A2B", true},
        {"program path that does not fit", std::string(250, 'F'), "VID_1A2B", true},
    };
    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string folder = "C:\\" + c.folderName;
        auto host = programFolder_ / c.folderName;
        std::filesystem::create_directories(host);
        std::ofstream(host / "tarvik_uninstall.DEL") << InformationFile("PID0=VID_1A2B\r\nPID1=" + c.pidValue + "\r\n");
        auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\" + std::to_string(run++),
                                  {"USB\\VID_1A2B&PID_3C4D"});
        StartSession({.programPath = folder + "\\tarvik_uninstall.exe"});
        session().MapFolder(folder, host);
        Answer({IDOK, c.refused ? IDOK : IDNO});
        EXPECT_EQ(Run(), 0);
        auto boxes = session().MessageBoxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[1].text, c.refused ? kTooLongText : kRestartText);
        EXPECT_EQ(winsim::pnp::StateOf(printer) == NodeState::Started, c.refused);
        EXPECT_EQ(Commands().empty(), c.refused);
        if (!c.refused) {
            EXPECT_EQ(Commands()[0].size(), 62 + folder.size() + 21);
        }
        std::filesystem::remove_all(host);
    }
}

TEST_F(Uninstaller, ThirtyTwoBitCopyOnSixtyFourBitWindowsHandsOver)
{
    auto *printer = AddDevice("USB\\VID_1A2B&PID_3C4D\\1", {"USB\\VID_1A2B&PID_3C4D"});
    StartSession({.wow64 = true});
    std::vector<std::string> handedOver;
    session().AddProgram(std::string(kProgramFolder) + "\\tarvik_uninstall64.exe", [&](const std::string &arguments) {
        handedOver.push_back(arguments);
        return 0;
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(session().MessageBoxes().empty());
    EXPECT_EQ(Commands(), (std::vector<std::string>{"\"" + std::string(kProgramFolder) + "\\tarvik_uninstall64.exe\""}));
    EXPECT_EQ(handedOver, (std::vector<std::string>{""}));
    EXPECT_EQ(winsim::pnp::StateOf(printer), NodeState::Started);

    // Without the 64-bit copy it says what to do, and does nothing else.
    StartSession({.wow64 = true});
    Answer({IDOK});
    EXPECT_EQ(Run(), 0);
    auto boxes = session().MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Uninstall");
    EXPECT_EQ(boxes[0].text, kNeedsNativeText);
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(winsim::pnp::StateOf(printer), NodeState::Started);
}

}  // namespace
}  // namespace tarvik::test
