// A simulated machine with the uninstaller's program folder, its uninstall
// information file and a user who answers the message boxes from a script;
// what a test needs to run tarvik_uninstall and look at what it did.
#pragma once

#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>

#include "../../winsim/kernel/machine.h"
#include "../../winsim/kernel/pnp.h"
#include "../../winsim/registry/registry.h"
#include "../../winsim/setup/installer.h"
#include "../../winsim/win32/session.h"

#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tarvik::test {

using winsim::win32::MessageBoxShown;
using winsim::win32::Session;
using winsim::win32::SessionConfig;

// Where the program is installed, as Windows names it.
inline constexpr char kProgramFolder[] = "C:\\Program Files\\Tarvik";
inline constexpr char kProgramPath[] = "C:\\Program Files\\Tarvik\\tarvik_uninstall.exe";
inline constexpr char kInformationFile[] = "C:\\Program Files\\Tarvik\\tarvik_uninstall.DEL";

// [Version] of the Ports class and a [DefaultUninstall] with nothing to do,
// followed by the test's [Uninstall_PID] lines.
std::string InformationFile(const std::string &pidLines);

// The text of a box, code page 932 bytes decoded to UTF-8.
std::string FromCodePage932(const std::string &bytes);

class UninstallTest : public testing::Test {
protected:
    UninstallTest();
    ~UninstallTest() override;

    // A fresh session (the program's process and its user); the answers are
    // given to the boxes in order, and the run fails the test if more boxes
    // come than answers.
    void StartSession(SessionConfig config = {});
    void Answer(std::vector<int> answers) { answers_.assign(answers.begin(), answers.end()); }
    // Runs the program to its end and waits for the commands it started.
    int Run(const char *commandLine = "");

    void WriteProgramFile(const std::string &name, const std::string &text);
    // A file under the machine's Windows folder, host separators ("inf/oem3.inf").
    void WriteWindowsFile(const std::string &relative, const std::string &text);
    bool WindowsFileExists(const std::string &relative) const;
    std::filesystem::path WindowsFolder() const;

    // A device on the root bus with these hardware IDs, served by the
    // recording serial test driver, which vetoes removal while it is open.
    winsim::pnp::DeviceNode *AddDevice(const std::string &instanceId, std::vector<std::string> hardwareIds);

    std::vector<std::string> Captions() const;
    std::vector<std::string> Commands() const;
    Session &session() { return *session_; }

    winsim::harness::TestMachine machine_;
    std::filesystem::path programFolder_;

private:
    std::unique_ptr<Session> session_;
    std::deque<int> answers_;
};

}  // namespace tarvik::test
