// The uninstaller's test machine (see uninstall_fixture.h).
#include "uninstall_fixture.h"

#include <iconv.h>

#include <fstream>

namespace tarvik::test {

std::string InformationFile(const std::string &pidLines)
{
    return "[Version]\r\n"
           "Signature=\"$Windows NT$\"\r\n"
           "Class=Ports\r\n"
           "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n"
           "\r\n"
           "[Uninstall_PID]\r\n" +
           pidLines +
           "\r\n"
           "[DefaultUninstall]\r\n";
}

std::string FromCodePage932(const std::string &bytes)
{
    iconv_t convert = iconv_open("UTF-8", "CP932");
    EXPECT_NE(convert, reinterpret_cast<iconv_t>(-1));
    std::string in = bytes, out(bytes.size() * 4, '\0');
    char *from = in.data(), *to = out.data();
    size_t left = in.size(), room = out.size();
    EXPECT_NE(iconv(convert, &from, &left, &to, &room), static_cast<size_t>(-1)) << "not code page 932";
    iconv_close(convert);
    out.resize(out.size() - room);
    return out;
}

UninstallTest::UninstallTest()
{
    programFolder_ = std::filesystem::temp_directory_path() /
                     ("tarvik-uninstall-" + std::to_string(getpid()) + "-" +
                      testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(programFolder_);
    std::filesystem::create_directories(programFolder_);
    StartSession();
}

UninstallTest::~UninstallTest()
{
    session_.reset();
    std::filesystem::remove_all(programFolder_);
    auto findings = machine_.Shutdown();
    EXPECT_TRUE(findings.empty()) << testing::PrintToString(findings);
}

void UninstallTest::StartSession(SessionConfig config)
{
    session_.reset();
    if (config.programPath == SessionConfig{}.programPath)
        config.programPath = kProgramPath;
    session_ = std::make_unique<Session>(config);
    session_->MapFolder(kProgramFolder, programFolder_);
    session_->AnswerMessageBoxes([this](const MessageBoxShown &box) {
        if (answers_.empty()) {
            ADD_FAILURE() << "unexpected message box: " << box.caption;
            return winsim::win32::kPressEscape;
        }
        int answer = answers_.front();
        answers_.pop_front();
        return answer;
    });
}

int UninstallTest::Run(const char *commandLine)
{
    int exitCode = WinMain(nullptr, nullptr, const_cast<LPSTR>(commandLine), SW_SHOWNORMAL);
    session_->WaitForCommands();
    winsim::pnp::Flush();
    EXPECT_TRUE(answers_.empty()) << answers_.size() << " answers left over";
    // The program leaves nothing behind in its process.
    EXPECT_EQ(session_->OpenWindowCount(), 0u);
    EXPECT_EQ(session_->LiveLocalAllocations(), 0u);
    EXPECT_EQ(FindWindowA("TARVIKUnInstall", nullptr), nullptr);
    for (const auto &window : session_->Windows())
        EXPECT_FALSE(window.everVisible) << window.className;
    return exitCode;
}

void UninstallTest::WriteProgramFile(const std::string &name, const std::string &text)
{
    std::ofstream(programFolder_ / name, std::ios::binary) << text;
}

std::filesystem::path UninstallTest::WindowsFolder() const
{
    return const_cast<winsim::harness::TestMachine &>(machine_).machine().Setup().config().windowsDirectory;
}

void UninstallTest::WriteWindowsFile(const std::string &relative, const std::string &text)
{
    std::filesystem::path path = WindowsFolder() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

bool UninstallTest::WindowsFileExists(const std::string &relative) const
{
    return std::filesystem::exists(WindowsFolder() / relative);
}

winsim::pnp::DeviceNode *UninstallTest::AddDevice(const std::string &instanceId, std::vector<std::string> hardwareIds)
{
    auto wide = [](const std::string &s) { return std::u16string(s.begin(), s.end()); };
    winsim::pnp::DeviceIdentity identity{wide(instanceId), {}, {}};
    for (const auto &id : hardwareIds)
        identity.hardwareIds.push_back(wide(id));
    return winsim::pnp::AddRootDevice(identity, winsim::pnp::DriverStack{{"recording_serial"}});
}

std::vector<std::string> UninstallTest::Captions() const
{
    std::vector<std::string> captions;
    for (const auto &box : session_->MessageBoxes())
        captions.push_back(box.caption);
    return captions;
}

std::vector<std::string> UninstallTest::Commands() const
{
    std::vector<std::string> commands;
    for (const auto &command : session_->StartedCommands())
        commands.push_back(command.commandLine);
    return commands;
}

}  // namespace tarvik::test
