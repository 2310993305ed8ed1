// The low-resource simulation fails each allocation site a driver reaches
// once per distinct call stack, reproducibly, and counts the sites; the random
// mode fails allocations from a seeded generator.
#include "fixture.h"

namespace winsim::test {
namespace {

constexpr ULONG kRun = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class LowResources : public testing::Test {
protected:
    void SetUp() override
    {
        PDEVICE_OBJECT pdo = machine_.BuildStack("ROOT\\ALLOCS\\0000", {"allocs"});
        ASSERT_NE(pdo, nullptr);
        machine_.CreateLink("\\??\\ALLOCS0", pdo);
        handle_ = CreateFileA("\\\\.\\ALLOCS0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        SetLowResourceMode(LowResourceMode::Off);
        CloseHandle(handle_);
        EXPECT_TRUE(machine_.Shutdown().empty());
    }
    DWORD Run()
    {
        DWORD bytes;
        SetLastError(0);
        DeviceIoControl(handle_, kRun, nullptr, 0, nullptr, 0, &bytes, nullptr);
        return GetLastError();
    }

    harness::TestMachine machine_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(LowResources, SystematicModeFailsEachSiteOnceThenLetsItSucceed)
{
    SetLowResourceMode(LowResourceMode::Systematic);
    std::vector<DWORD> results;
    for (int i = 0; i < 6; i++)
        results.push_back(Run());
    EXPECT_EQ(results, (std::vector<DWORD>{ERROR_NO_SYSTEM_RESOURCES, ERROR_NO_SYSTEM_RESOURCES,
                                           ERROR_NO_SYSTEM_RESOURCES, ERROR_NO_SYSTEM_RESOURCES, 0, 0}));
    LowResourceReport report = GetLowResourceReport();
    EXPECT_EQ(report.sitesFailed, 4u);
    ASSERT_EQ(report.sites.size(), 4u);
    EXPECT_NE(report.sites[0].find("ExAllocatePoolWithTag <- allocs!"), std::string::npos) << report.sites[0];
    EXPECT_NE(report.sites[2].find("IoAllocateIrp"), std::string::npos) << report.sites[2];
    EXPECT_NE(report.sites[3].find("IoAllocateWorkItem"), std::string::npos) << report.sites[3];
}

TEST_F(LowResources, RandomModeIsReproducibleForASeed)
{
    auto pattern = [&](uint64_t seed) {
        SetLowResourceMode(LowResourceMode::Random, 0.3, seed);
        std::string p;
        for (int i = 0; i < 40; i++)
            p += Run() == 0 ? '.' : 'x';
        return p;
    };
    std::string first = pattern(7);
    EXPECT_EQ(first, pattern(7));
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
}

}  // namespace
}  // namespace winsim::test
