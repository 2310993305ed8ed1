// The cost of one request through the simulated I/O path: a 64-byte WriteFile
// on a synchronous handle, down three pass-through filters to a driver that
// completes it, next to a 64-byte write and read on a Linux pipe.
#include <benchmark/benchmark.h>
#include <harness.h>
#include <unistd.h>
#include <windows.h>

namespace {

void BM_WriteFileThroughThreeFilters(benchmark::State &state)
{
    winsim::harness::TestMachine m;
    PDEVICE_OBJECT pdo = m.BuildStack("ROOT\\BENCH\\0000", {"sink", "passthru", "passthru", "passthru"});
    m.CreateLink("\\??\\BENCH0", pdo);
    HANDLE h = CreateFileA("\\\\.\\BENCH0", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char data[64] = {};
    DWORD written;
    for (auto _ : state) {
        if (!WriteFile(h, data, sizeof data, &written, nullptr) || written != sizeof data)
            state.SkipWithError("WriteFile failed");
    }
    CloseHandle(h);
    state.SetBytesProcessed(state.iterations() * sizeof data);
}
BENCHMARK(BM_WriteFileThroughThreeFilters);

void BM_LinuxPipeWriteRead(benchmark::State &state)
{
    int fds[2];
    if (pipe(fds) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    char data[64] = {}, back[64];
    for (auto _ : state) {
        if (write(fds[1], data, sizeof data) != sizeof data || read(fds[0], back, sizeof back) != sizeof back)
            state.SkipWithError("pipe I/O failed");
    }
    close(fds[0]);
    close(fds[1]);
    state.SetBytesProcessed(state.iterations() * sizeof data);
}
BENCHMARK(BM_LinuxPipeWriteRead);

}  // namespace

BENCHMARK_MAIN();
