// The COM port on the full-speed wire model, as a printing application sees
// it: the package installed with both drivers, the printer plugged in, COM1
// opened with CreateFile.
//
//   - Print throughput of a 1 MiB job: 4 KiB and 64 KiB WriteFiles on a
//     synchronous handle, and 4 KiB WriteFiles with two in flight on an
//     overlapped handle, as a fraction of the wire's 1.216 MB/s.
//   - Receive throughput while the printer streams without pause, and the
//     time from a packet's arrival at the printer's bulk-in endpoint to the
//     return of the ReadFile waiting for it (median and 99th percentile).
//     On the full-speed wire winsim's bus plays no frame for a bulk-in
//     request that has gone idle, so bytes that arrive while the receive
//     worker's read waits stay at the printer: the full-speed stream counts
//     its stalls, and the latency and a second stream run on the instant
//     wire, where the figures are the drivers' own (polling and worker).
//   - How long CloseHandle takes while the receive worker waits in its
//     bulk-in read (median and worst).
#include <benchmark/benchmark.h>
#include <harness.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace winsim::usb;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kJob = 1024 * 1024;

// A machine with the port started on the printer.
struct Port {
    explicit Port(WireModel wire = WireModel::FullSpeed)
    {
        HostOptions options;
        options.wire = wire;
        machine.SetUsbOptions(options);
        ok = machine.InstallPackage(TARVIK_PACKAGE_INF).ok;
        printer = machine.PlugPrinter();
    }
    HANDLE Open(bool overlapped)
    {
        return CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    }

    winsim::harness::TestMachine machine;
    std::shared_ptr<UsbDevice> printer;
    bool ok = false;
};

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * (values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Each iteration prints one 1 MiB job in writes of `length`, `inFlight` at a
// time (1: a synchronous handle), and waits until the printer has it all.
void PrintJob(benchmark::State &state, size_t length, size_t inFlight)
{
    Port port;
    bool overlapped = inFlight > 1;
    HANDLE h = port.ok ? port.Open(overlapped) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) {
        state.SkipWithError("COM1 did not open");
        return;
    }
    std::vector<UCHAR> data(length, 'P');
    std::vector<OVERLAPPED> requests(inFlight);
    for (OVERLAPPED &o : requests)
        o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint64_t printed = 0;
    double seconds = 0;
    std::vector<bool> busy(inFlight, false);
    auto finish = [&](size_t slot) {
        DWORD n = 0;
        busy[slot] = false;
        return GetOverlappedResult(h, &requests[slot], &n, TRUE) && n == length;
    };
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        bool failed = false;
        size_t next = 0;
        for (size_t sent = 0; sent < kJob; sent += length) {
            DWORD n = 0;
            if (!overlapped) {
                failed |= !WriteFile(h, data.data(), static_cast<DWORD>(length), &n, nullptr) || n != length;
                continue;
            }
            // The oldest write finishes before its slot is used again.
            if (busy[next])
                failed |= !finish(next);
            OVERLAPPED &o = requests[next];
            ResetEvent(o.hEvent);
            if (!WriteFile(h, data.data(), static_cast<DWORD>(length), nullptr, &o) &&
                GetLastError() != ERROR_IO_PENDING)
                failed = true;
            busy[next] = true;
            next = (next + 1) % inFlight;
        }
        for (size_t i = 0; i < inFlight; i++, next = (next + 1) % inFlight)
            if (busy[next])
                failed |= !finish(next);
        printed += kJob;
        if (failed || !port.printer->WaitReceived(printed, 10s)) {
            state.SkipWithError("the job did not reach the printer");
            break;
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    for (OVERLAPPED &o : requests)
        CloseHandle(o.hEvent);
    CloseHandle(h);
    state.SetBytesProcessed(static_cast<int64_t>(printed));
    state.counters["MB_per_s"] = seconds > 0 ? printed / seconds / 1e6 : 0;
    state.counters["percent_of_wire"] = seconds > 0 ? 100.0 * printed / seconds / kFullSpeedBulkBytesPerSecond : 0;
}

void BM_PrintJob4KiBWrites(benchmark::State &state) { PrintJob(state, 4096, 1); }
void BM_PrintJob64KiBWrites(benchmark::State &state) { PrintJob(state, 64 * 1024, 1); }
void BM_PrintJob4KiBWritesTwoInFlight(benchmark::State &state) { PrintJob(state, 4096, 2); }

BENCHMARK(BM_PrintJob4KiBWrites)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrintJob64KiBWrites)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrintJob4KiBWritesTwoInFlight)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The printer has 128 KiB queued on its bulk-in endpoint at the start of
// each iteration; the application reads in 4 KiB ReadFiles until it has all
// of it or nothing comes for 500 ms (a stall). The time counted ends with
// the last bytes read. Bytes lost to a full receive queue are counted.
void ReceiveStream(benchmark::State &state, WireModel wire)
{
    constexpr size_t kStream = 128 * 1024;
    Port port(wire);
    HANDLE h = port.ok ? port.Open(false) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) {
        state.SkipWithError("COM1 did not open");
        return;
    }
    SetupComm(h, 8192, 8192);
    COMMTIMEOUTS timeouts{0, 0, 500, 0, 0};
    SetCommTimeouts(h, &timeouts);
    std::vector<UCHAR> stream(kStream, 'R');
    std::vector<UCHAR> buffer(4096);
    uint64_t received = 0;
    DWORD overruns = 0, stalls = 0;
    double seconds = 0;
    for (auto _ : state) {
        port.printer->TakeReceived();
        Clock::time_point start = Clock::now(), last = start;
        port.printer->FeedBulkIn(stream);
        size_t got = 0;
        while (got < kStream) {
            DWORD n = 0;
            if (!ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) || n == 0)
                break;
            got += n;
            last = Clock::now();
        }
        seconds += std::chrono::duration<double>(last - start).count();
        received += got;
        stalls += got < kStream;
        DWORD errors = 0;
        ClearCommError(h, &errors, nullptr);
        overruns += (errors & CE_RXOVER) != 0;
        PurgeComm(h, PURGE_RXCLEAR);
    }
    CloseHandle(h);
    state.SetBytesProcessed(static_cast<int64_t>(received));
    state.counters["MB_per_s"] = seconds > 0 ? received / seconds / 1e6 : 0;
    state.counters["percent_of_wire"] = seconds > 0 ? 100.0 * received / seconds / kFullSpeedBulkBytesPerSecond : 0;
    state.counters["received_KiB"] = received / 1024.0;
    state.counters["stalls"] = stalls;
    state.counters["overruns"] = overruns;
}

void BM_ReceiveStream(benchmark::State &state) { ReceiveStream(state, WireModel::FullSpeed); }
void BM_ReceiveStreamInstantWire(benchmark::State &state) { ReceiveStream(state, WireModel::Instant); }

BENCHMARK(BM_ReceiveStream)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiveStreamInstantWire)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// Each iteration: a ReadFile with no time-outs waits on its own thread; after
// a random 3 to 12 ms the printer queues a 4-byte reply, and the time until
// ReadFile has returned with it is taken.
void ArrivalToReadFile(benchmark::State &state, WireModel wire)
{
    Port port(wire);
    HANDLE h = port.ok ? port.Open(false) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) {
        state.SkipWithError("COM1 did not open");
        return;
    }
    COMMTIMEOUTS unlimited{0, 0, 0, 0, 0};
    SetCommTimeouts(h, &unlimited);
    const UCHAR reply[4] = {0, 1, 2, 3};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause(3000, 12000);
    std::vector<double> millis;
    for (auto _ : state) {
        auto read = std::async(std::launch::async, [h] {
            UCHAR buffer[16];
            DWORD n = 0;
            ReadFile(h, buffer, sizeof buffer, &n, nullptr);
            return std::make_pair(Clock::now(), n);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        Clock::time_point arrived = Clock::now();
        port.printer->FeedBulkIn(reply);
        auto [returned, n] = read.get();
        if (n != sizeof reply) {
            state.SkipWithError("the reply was not read whole");
            break;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(returned - arrived).count());
    }
    CloseHandle(h);
    state.counters["median_ms"] = Percentile(millis, 0.5);
    state.counters["p99_ms"] = Percentile(millis, 0.99);
}

void BM_ArrivalToReadFile(benchmark::State &state) { ArrivalToReadFile(state, WireModel::FullSpeed); }
void BM_ArrivalToReadFileInstantWire(benchmark::State &state) { ArrivalToReadFile(state, WireModel::Instant); }

BENCHMARK(BM_ArrivalToReadFile)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArrivalToReadFileInstantWire)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

// Each iteration opens the port, lets the receive worker settle into its
// bulk-in read on the silent printer, and times CloseHandle.
void BM_CloseWhileWorkerWaits(benchmark::State &state)
{
    Port port;
    if (!port.ok) {
        state.SkipWithError("the package did not install");
        return;
    }
    std::vector<double> millis;
    for (auto _ : state) {
        HANDLE h = port.Open(false);
        if (h == INVALID_HANDLE_VALUE) {
            state.SkipWithError("COM1 did not open");
            break;
        }
        std::this_thread::sleep_for(20ms);
        Clock::time_point start = Clock::now();
        CloseHandle(h);
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    state.counters["median_ms"] = Percentile(millis, 0.5);
    state.counters["worst_ms"] = millis.empty() ? 0 : *std::max_element(millis.begin(), millis.end());
}

BENCHMARK(BM_CloseWhileWorkerWaits)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
