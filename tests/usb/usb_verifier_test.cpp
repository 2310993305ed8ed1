// Misuse of the USB stack that Windows would crash on, sooner or later,
// stops the machine at once with a report naming the rule. Each case
// commits one such fault; the process must end with the report.
#include "usb_test_support.h"

#include "../kernel/internal.h"

namespace winsim::usb::test {
namespace {

constexpr ULONG kRead = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

struct Fault {
    const char *name;
    const char *rule;
    void (*commit)(UsbHost &host, UsbDevice &printer, const Configuration &config);
};

void PrintTo(const Fault &f, std::ostream *os) { *os << f.name; }

void CommitAndFinish(const Fault &fault)
{
    harness::TestMachine machine;
    {
        UsbHost host;
        auto printer = host.Plug(PrinterConfig(BuildIdentity()));
        Configuration config = Configure(printer->Pdo());
        fault.commit(host, *printer, config);
    }
    exit(0);
}

class UsbVerifier : public testing::TestWithParam<Fault> {};

TEST_P(UsbVerifier, StopsTheMachineNamingTheRule)
{
    EXPECT_EXIT(CommitAndFinish(GetParam()), testing::ExitedWithCode(kBugCheckExitCode),
                std::string("STOP: winsim verifier: ") + GetParam().rule);
}

const Fault kFaults[] = {
    {"SubmitWithoutUrb", "BUGCODE_USB_DRIVER",
     [](UsbHost &, UsbDevice &printer, const Configuration &) { SubmitUrb(printer.Pdo(), nullptr); }},
    // The URB still belongs to a pending request when it is sent again.
    {"UrbInTwoRequests", "BUGCODE_USB_DRIVER",
     [](UsbHost &, UsbDevice &printer, const Configuration &config) {
         std::vector<UCHAR> buffer(64);
         auto urb = NewUrb();
         BuildBulk(*urb, config.In(), buffer.data(), 64, kRead);
         PendingRequest first(printer.Pdo(), urb.get()), second(printer.Pdo(), urb.get());
         first.Send();
         second.Send();
     }},
    // The same IRP sent down again while the stack still holds it.
    {"IrpSentTwice", "BUGCODE_USB_DRIVER",
     [](UsbHost &, UsbDevice &printer, const Configuration &config) {
         std::vector<UCHAR> buffer(64);
         auto urb = NewUrb();
         BuildBulk(*urb, config.In(), buffer.data(), 64, kRead);
         PIRP irp = IoAllocateIrp(2, FALSE);
         for (int i = 0; i < 2; i++) {
             PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
             next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
             next->Parameters.Others.Argument1 = urb.get();
             IoCallDriver(printer.Pdo(), irp);
         }
     }},
    // The controller would write past the memory the MDL describes.
    {"MdlShorterThanTransfer", "BUGCODE_USB_DRIVER",
     [](UsbHost &, UsbDevice &printer, const Configuration &config) {
         std::vector<UCHAR> buffer(64);
         PMDL mdl = IoAllocateMdl(buffer.data(), 32, FALSE, FALSE, nullptr);
         MmBuildMdlForNonPagedPool(mdl);
         auto urb = NewUrb();
         BuildBulk(*urb, config.In(), nullptr, 64, kRead, mdl);
         SubmitUrb(printer.Pdo(), urb.get());
     }},
    // IOCTL_INTERNAL_USB_RESET_PORT must be sent at PASSIVE_LEVEL.
    {"PortResetAtDispatchLevel", "IRQL_NOT_LESS_OR_EQUAL",
     [](UsbHost &, UsbDevice &printer, const Configuration &) {
         PendingRequest reset(printer.Pdo(), nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         reset.Send();
     }},
    // A PDO still referenced when its bus goes away would be freed under
    // whoever holds it.
    {"PdoReferencedWhenTheHostGoes", "USB_PDO_REFERENCED_AT_BUS_REMOVAL",
     [](UsbHost &, UsbDevice &printer, const Configuration &) { ObReferenceObject(printer.Pdo()); }},
};

INSTANTIATE_TEST_SUITE_P(Faults, UsbVerifier, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault> &info) { return info.param.name; });

}  // namespace
}  // namespace winsim::usb::test
