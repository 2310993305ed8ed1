// Bulk OUT throughput through winsim's USB bus driver on the full-speed wire
// model, as a client driver sees it: transfers of 4 KiB and 64 KiB sent to
// the printer's PDO one at a time, and 4 KiB with two in flight. Reported as
// bytes per second and as a fraction of the wire's 1.216 MB/s (19 packets of
// 64 bytes per 1 ms frame).
//
// One at a time, a transfer leaves a frame unused between itself and the
// next (submitted during the frame its predecessor completed at the end of,
// it starts one frame later), so 4 KiB (4 frames) reaches at most 4/5 of the
// wire and 64 KiB (54 frames) at most 54/55 of it, less the part of the
// last frame it leaves empty. With two in flight the second starts where the
// first ends, inside the same frame, and the wire stays busy.
#include <benchmark/benchmark.h>
#include <harness.h>

#include "usb_host.h"

extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

using namespace winsim::usb;

// A bulk OUT transfer the benchmark sends again and again, each time in a
// new IRP of its own, as a driver that allocates its requests does.
class Transfer {
public:
    Transfer(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length) : pdo_(pdo), pipe_(pipe), data_(length, 0x5A)
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
    }
    ~Transfer()
    {
        if (irp_ != nullptr)
            IoFreeIrp(irp_);
    }

    void Send()
    {
        UsbBuildInterruptOrBulkTransferRequest(&urb_, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe_,
                                               data_.data(), nullptr, static_cast<ULONG>(data_.size()), 0, nullptr);
        if (irp_ != nullptr)
            IoFreeIrp(irp_);
        irp_ = IoAllocateIrp(pdo_->StackSize, FALSE);
        KeClearEvent(&done_);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, Done, &done_, TRUE, TRUE, TRUE);
        IoCallDriver(pdo_, irp_);
    }

    // Waits for the transfer; returns the bytes it moved (0 on failure).
    ULONG Wait()
    {
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
        return NT_SUCCESS(irp_->IoStatus.Status) ? urb_.UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    }

private:
    static NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    USBD_PIPE_HANDLE pipe_;
    std::vector<UCHAR> data_;
    URB urb_{};
    PIRP irp_ = nullptr;
    KEVENT done_;
};

// Synchronous URB submission, for the set-up.
NTSTATUS Submit(PDEVICE_OBJECT pdo, PURB urb)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// Reads the printer's configuration descriptor and selects it; returns the
// bulk OUT pipe.
USBD_PIPE_HANDLE SelectPrinterConfiguration(PDEVICE_OBJECT pdo)
{
    std::vector<UCHAR> descriptor(512);
    URB get{};
    UsbBuildGetDescriptorRequest(&get, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                 0, 0, descriptor.data(), nullptr, static_cast<ULONG>(descriptor.size()), nullptr);
    if (!NT_SUCCESS(Submit(pdo, &get)))
        return nullptr;
    auto c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(c, c, 0, -1, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(c, list);
    if (select == nullptr)
        return nullptr;
    USBD_PIPE_HANDLE out = NT_SUCCESS(Submit(pdo, select)) ? list[0].Interface->Pipes[0].PipeHandle : nullptr;
    ExFreePool(select);
    return out;
}

void BulkOut(benchmark::State &state, ULONG length, size_t inFlight)
{
    winsim::harness::TestMachine machine;
    HostOptions options;
    options.wire = WireModel::FullSpeed;
    auto host = std::make_unique<UsbHost>(options);
    auto printer = host->Plug(PrinterConfig(PrinterIdentity{TARVIK_USB_VID, TARVIK_USB_PID, TARVIK_USB_REV}));
    PDEVICE_OBJECT pdo = printer->Pdo();
    USBD_PIPE_HANDLE out = SelectPrinterConfiguration(pdo);
    if (out == nullptr) {
        state.SkipWithError("the printer could not be configured");
        return;
    }

    std::vector<std::unique_ptr<Transfer>> transfers;
    for (size_t i = 0; i < inFlight; i++)
        transfers.push_back(std::make_unique<Transfer>(pdo, out, length));
    for (auto &t : transfers)
        t->Send();

    size_t next = 0;
    uint64_t bytes = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        // The oldest transfer in flight completes; it goes out again at once.
        ULONG moved = transfers[next]->Wait();
        if (moved != length) {
            state.SkipWithError("a transfer failed");
            break;
        }
        bytes += moved;
        transfers[next]->Send();
        next = (next + 1) % inFlight;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto &t : transfers)
        t->Wait();
    transfers.clear();

    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["fraction_of_1.216MB/s"] = seconds > 0 ? bytes / seconds / kFullSpeedBulkBytesPerSecond : 0;
    host.reset();
    printer.reset();
}

void BM_BulkOut4KiBOneAtATime(benchmark::State &state) { BulkOut(state, 4096, 1); }
void BM_BulkOut64KiBOneAtATime(benchmark::State &state) { BulkOut(state, 64 * 1024, 1); }
void BM_BulkOut4KiBTwoInFlight(benchmark::State &state) { BulkOut(state, 4096, 2); }

BENCHMARK(BM_BulkOut4KiBOneAtATime)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BulkOut64KiBOneAtATime)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BulkOut4KiBTwoInFlight)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
