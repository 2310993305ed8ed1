// What the USB stack's tests share: a machine with a USB host and the
// printer plugged in, and a test that plays the client driver on the
// printer's PDO, sending URBs the way a function driver does.
#pragma once

#include <gtest/gtest.h>
#include <harness.h>

#include "printer_model.h"
#include "usb_host.h"

extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace winsim::usb::test {

using namespace std::chrono_literals;

// The printer identity this build's package INF matches.
inline PrinterIdentity BuildIdentity() { return PrinterIdentity{TARVIK_USB_VID, TARVIK_USB_PID, TARVIK_USB_REV}; }

// A zeroed URB the test owns.
inline std::unique_ptr<URB> NewUrb() { return std::make_unique<URB>(); }

// One request sent the way a driver sends its own IRPs: allocated with
// IoAllocateIrp, a completion routine that hands it back, freed by the
// sender. It records where and how it was completed.
class PendingRequest {
public:
    PendingRequest(PDEVICE_OBJECT target, PVOID argument1, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);
    ~PendingRequest();  // waits for completion, then frees the IRP
    PendingRequest(const PendingRequest &) = delete;
    PendingRequest &operator=(const PendingRequest &) = delete;

    NTSTATUS Send();                              // what IoCallDriver returned
    bool Wait(std::chrono::milliseconds timeout = 5s);
    bool Completed() const;
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }
    NTSTATUS Status() const { return irp_->IoStatus.Status; }
    PIRP Irp() const { return irp_; }

    KIRQL completionIrql = 0xFF;
    PKTHREAD completionThread = nullptr;
    PKTHREAD senderThread = nullptr;
    bool pendingReturned = false;
    std::chrono::steady_clock::time_point completedAt;

private:
    static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context);
    PDEVICE_OBJECT target_;
    PIRP irp_;
    KEVENT done_;
    bool sent_ = false;
};

// The I/O manager's way: IoBuildDeviceIoControlRequest, waited for.
NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PURB urb);
NTSTATUS ResetPort(PDEVICE_OBJECT pdo);

// The pipes of the printer's configuration, as select-configuration
// reported them.
struct Configuration {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    std::vector<USBD_PIPE_INFORMATION> pipes;
    USBD_PIPE_HANDLE Out() const { return pipes.size() > 0 ? pipes[0].PipeHandle : nullptr; }
    USBD_PIPE_HANDLE In() const { return pipes.size() > 1 ? pipes[1].PipeHandle : nullptr; }
};

std::vector<UCHAR> ReadConfigurationDescriptor(PDEVICE_OBJECT pdo);
// Reads the configuration descriptor and selects it with every interface in
// its first alternate setting.
Configuration Configure(PDEVICE_OBJECT pdo);

// URB builders for the transfers the tests send.
void BuildBulk(URB &urb, USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, ULONG flags, PMDL mdl = nullptr);
void BuildVendor(URB &urb, USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, void *buffer,
                 ULONG length);
void BuildPipeRequest(URB &urb, USHORT function, USBD_PIPE_HANDLE pipe);

// Sends a PnP request to the PDO and returns its status and Information.
struct PnpAnswer {
    NTSTATUS status;
    ULONG_PTR information;
};
PnpAnswer SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setUp = {});
// IRP_MN_QUERY_ID: the strings of the answer (one, or each of a MULTI_SZ).
std::vector<std::u16string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, NTSTATUS *status = nullptr);

// A machine, a USB host and the printer on port 1.
class UsbTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual HostOptions Options() { return {}; }

    std::unique_ptr<harness::TestMachine> machine_;
    std::unique_ptr<UsbHost> host_;
    std::shared_ptr<UsbDevice> printer_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace winsim::usb::test
