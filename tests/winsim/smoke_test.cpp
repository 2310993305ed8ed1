#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>

using winsim::harness::TestMachine;

TEST(Smoke, WriteThroughPassThroughStack)
{
    TestMachine m;
    PDEVICE_OBJECT pdo = m.BuildStack("ROOT\\WINSIM\\0000", {"sink", "passthru", "passthru"});
    ASSERT_NE(pdo, nullptr);
    ASSERT_EQ(m.CreateLink("\\??\\TEST0", pdo), STATUS_SUCCESS);
    HANDLE h = CreateFileA("\\\\.\\TEST0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    char data[64] = "hello";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, data, sizeof data, &written, nullptr));
    EXPECT_EQ(written, 64u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(m.Shutdown().empty());
}
