// The machine with the product on it (see product_machine.h).
#include "product_machine.h"

#include "registry_view.h"

#include "../../winsim/usb/printer_model.h"

namespace tarvik::sim {

using winsim::harness::TestMachine;

ProductMachine::ProductMachine(winsim::usb::WireModel wire)
{
    machine_.SetUsbOptions({.wire = wire});
}

ProductMachine::~ProductMachine() { Shutdown(); }

ProductMachine::Installed ProductMachine::Install(const std::string &inf)
{
    auto result = machine_.InstallPackage(inf);
    return {result.ok, result.publishedName, result.error};
}

winsim::usb::UsbDevice &ProductMachine::Plug()
{
    if (printer_ != nullptr) {
        if (printer_->Connected())
            return *printer_;
        std::vector<UCHAR> spool = printer_->Printer()->Spool();
        earlierPlugs_.insert(earlierPlugs_.end(), spool.begin(), spool.end());
    }
    printer_ = machine_.PlugPrinter();
    if (spoolFile_)
        printer_->Printer()->SetSpoolFile(*spoolFile_);
    return *printer_;
}

void ProductMachine::Unplug()
{
    if (Plugged())
        machine_.Unplug(*printer_);
}

std::string ProductMachine::InstanceId() const
{
    if (printer_ == nullptr)
        return "";
    return TestMachine::InstanceIdOf(*printer_);
}

std::string ProductMachine::PortName() const { return DevicePortName(InstanceId()); }

void ProductMachine::SpoolTo(const std::filesystem::path &path)
{
    spoolFile_ = path;
    if (printer_ != nullptr)
        printer_->Printer()->SetSpoolFile(path);
}

size_t ProductMachine::SpoolSizeOfCurrent() const
{
    return printer_ == nullptr ? 0 : printer_->Printer()->Spool().size();
}

std::vector<unsigned char> ProductMachine::TakePrinted()
{
    std::vector<unsigned char> all = earlierPlugs_;
    if (printer_ != nullptr) {
        std::vector<UCHAR> spool = printer_->Printer()->Spool();
        all.insert(all.end(), spool.begin(), spool.end());
    }
    std::vector<unsigned char> fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(taken_, all.size())),
                                     all.end());
    taken_ = all.size();
    return fresh;
}

size_t ProductMachine::PrintedCount() const { return earlierPlugs_.size() + SpoolSizeOfCurrent(); }

std::vector<std::string> ProductMachine::Shutdown()
{
    if (shutDown_)
        return {};
    shutDown_ = true;
    return machine_.Shutdown();
}

}  // namespace tarvik::sim
