// What the setup tests share: a booted machine with an empty Windows folder
// of its own, and driver packages written from text.
#pragma once

#include <gtest/gtest.h>
#include <harness.h>
#include <registry/registry.h>
#include <setup/installer.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteText(const fs::path &path, const std::string &text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The 1-based line of the first occurrence of needle.
inline int LineOf(const std::string &text, const std::string &needle)
{
    size_t at = text.find(needle);
    return at == std::string::npos ? -1 : 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
}

inline std::string Replace(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "the test package has no '" << from << "'";
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

class SetupTest : public ::testing::Test {
protected:
    SetupTest() : root_(MakeTempDir()), setup_(ConfigFor(root_ / "Windows"))
    {
        winsim::registry::Boot();
    }

    ~SetupTest() override
    {
        fs::remove_all(root_);
        EXPECT_TRUE(machine_.Shutdown().empty());
    }

    static winsim::setup::SetupConfig ConfigFor(const fs::path &windows)
    {
        winsim::setup::SetupConfig config;
        config.windowsDirectory = windows;
        return config;
    }

    static fs::path MakeTempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "winsim-setup-XXXXXX").string();
        return fs::path(mkdtemp(pattern.data()));
    }

    static std::string ComPortInf() { return ReadText(fs::path(SETUP_TEST_PACKAGES) / "com_port" / "winsim_port.inf"); }

    // A package folder holding inf (as name) and the named files.
    fs::path WritePackage(const std::string &folder, const std::string &inf, const std::string &name = "winsim_port.inf",
                          const std::vector<std::string> &files = {"sink.sys", "passthru.sys"})
    {
        fs::path dir = root_ / "packages" / folder;
        WriteText(dir / name, inf);
        for (auto &file : files)
            WriteText(dir / file, "image of " + file + "\n");
        return dir / name;
    }

    winsim::setup::PackageResult StageComPort()
    {
        return setup_.InstallPackage(fs::path(SETUP_TEST_PACKAGES) / "com_port" / "winsim_port.inf");
    }

    fs::path Windows(const std::string &relative) const { return root_ / "Windows" / relative; }

    winsim::harness::TestMachine machine_;
    fs::path root_;
    winsim::setup::DriverSetup setup_;
};

// The IDs a USB stack reports for the test port's device.
inline const std::vector<std::string> kPortHardwareIds = {"USB\\VID_F00D&PID_0001&REV_0100", "USB\\VID_F00D&PID_0001"};
inline const std::vector<std::string> kPortCompatibleIds = {"USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF"};
