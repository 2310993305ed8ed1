// tarvik_usb on the full-speed wire model, as an application sees it: the
// package installed without the upper filter, the printer plugged in, its
// bulk-out pipe opened through the pipes interface.
//
//   - Bulk-out throughput of WriteFile on "if0pipe0": 4 KiB and 64 KiB writes
//     one at a time, and 4 KiB writes with two in flight (overlapped), as a
//     fraction of the wire's 1.216 MB/s.
//   - How long a waiting IOCTL_BULK_READ takes to return once another thread
//     has sent IOCTL_BULK_ABORT_READ (median and worst of 100).
#include <benchmark/benchmark.h>
#include <harness.h>
#include <windows.h>
#include <setupapi.h>

#include <initguid.h>
#include "tarvik_usb_ioctl.h"
#include "tarvik_usb.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace winsim::usb;
using Clock = std::chrono::steady_clock;

std::string PipesInterfacePath()
{
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_PIPES, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    std::string path;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_PIPES, 0, &data)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

// A machine with the function driver started on the printer.
struct Printer {
    explicit Printer(WireModel wire)
    {
        HostOptions options;
        options.wire = wire;
        machine.SetUsbOptions(options);
        machine.InstallWithoutUpperFilters(true);
        ok = machine.InstallPackage(TARVIK_PACKAGE_INF).ok;
        device = machine.PlugPrinter();
        path = PipesInterfacePath();
        ok = ok && !path.empty();
    }
    HANDLE Open(const std::string &name, bool overlapped)
    {
        std::string full = name.empty() ? path : path + "\\" + name;
        return CreateFileA(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    }

    winsim::harness::TestMachine machine;
    std::shared_ptr<UsbDevice> device;
    std::string path;
    bool ok = false;
};

// One overlapped write that is sent again each time it has completed.
struct Write {
    Write(HANDLE h, size_t length) : handle(h), data(length, 0x5A)
    {
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Write() { CloseHandle(overlapped.hEvent); }
    bool Send()
    {
        ResetEvent(overlapped.hEvent);
        return WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), nullptr, &overlapped) ||
               GetLastError() == ERROR_IO_PENDING;
    }
    DWORD Wait()
    {
        DWORD written = 0;
        return GetOverlappedResult(handle, &overlapped, &written, TRUE) ? written : 0;
    }
    HANDLE handle;
    std::vector<UCHAR> data;
    OVERLAPPED overlapped{};
};

void BulkOut(benchmark::State &state, size_t length, size_t inFlight)
{
    Printer printer(WireModel::FullSpeed);
    HANDLE out = printer.ok ? printer.Open("if0pipe0", true) : INVALID_HANDLE_VALUE;
    if (out == INVALID_HANDLE_VALUE) {
        state.SkipWithError("the printer's write pipe did not open");
        return;
    }
    std::vector<std::unique_ptr<Write>> writes;
    for (size_t i = 0; i < inFlight; i++) {
        writes.push_back(std::make_unique<Write>(out, length));
        writes.back()->Send();
    }
    size_t next = 0;
    uint64_t bytes = 0;
    Clock::time_point start = Clock::now();
    for (auto _ : state) {
        // The oldest write in flight completes and goes out again at once.
        DWORD written = writes[next]->Wait();
        if (written != length) {
            state.SkipWithError("a write failed");
            break;
        }
        bytes += written;
        writes[next]->Send();
        next = (next + 1) % inFlight;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto &w : writes)
        w->Wait();
    writes.clear();
    CloseHandle(out);

    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["percent_of_wire"] = seconds > 0 ? 100.0 * bytes / seconds / kFullSpeedBulkBytesPerSecond : 0;
}

void BM_WriteFile4KiBOneAtATime(benchmark::State &state) { BulkOut(state, 4096, 1); }
void BM_WriteFile64KiBOneAtATime(benchmark::State &state) { BulkOut(state, 64 * 1024, 1); }
void BM_WriteFile4KiBTwoInFlight(benchmark::State &state) { BulkOut(state, 4096, 2); }

BENCHMARK(BM_WriteFile4KiBOneAtATime)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_WriteFile64KiBOneAtATime)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_WriteFile4KiBTwoInFlight)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Each iteration: a bulk read waits on the device handle; once it is inside
// the driver, IOCTL_BULK_ABORT_READ goes down on a pipe handle from this
// thread, and the time until the read has returned is taken.
void BM_BulkReadAbortToReturn(benchmark::State &state)
{
    Printer printer(WireModel::FullSpeed);
    HANDLE in = printer.ok ? printer.Open("if0pipe1", false) : INVALID_HANDLE_VALUE;
    HANDLE device = printer.ok ? printer.Open("", false) : INVALID_HANDLE_VALUE;
    if (in == INVALID_HANDLE_VALUE || device == INVALID_HANDLE_VALUE) {
        state.SkipWithError("the printer did not open");
        return;
    }
    PDEVICE_OBJECT fdo = printer.machine.PdoOf(winsim::harness::TestMachine::InstanceIdOf(*printer.device))
                             ->AttachedDevice;
    auto *extension = static_cast<PUSB_DEVICE_EXTENSION>(fdo->DeviceExtension);
    std::vector<double> millis;
    for (auto _ : state) {
        auto read = std::async(std::launch::async, [&] {
            UCHAR record[72];
            DWORD returned = 0;
            DeviceIoControl(device, IOCTL_BULK_READ, nullptr, 0, record, sizeof record, &returned, nullptr);
            return Clock::now();
        });
        // The read is inside the driver once it holds a reference beside the base one.
        while (__atomic_load_n(&extension->OutstandingIo, __ATOMIC_SEQ_CST) < 2)
            std::this_thread::yield();
        DWORD returned = 0;
        Clock::time_point aborted = Clock::now();
        DeviceIoControl(in, IOCTL_BULK_ABORT_READ, nullptr, 0, nullptr, 0, &returned, nullptr);
        Clock::time_point done = read.get();
        millis.push_back(std::chrono::duration<double, std::milli>(done - aborted).count());
    }
    CloseHandle(device);
    CloseHandle(in);
    std::sort(millis.begin(), millis.end());
    state.counters["median_ms"] = millis[millis.size() / 2];
    state.counters["worst_ms"] = millis.back();
}

BENCHMARK(BM_BulkReadAbortToReturn)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
