// A simulated machine with the product on it: booted, the driver package
// staged, the printer plugged in and unplugged on request, and what the
// printer printed collected across plugs. Every subcommand runs on one.
#pragma once

#include <harness.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::sim {

class ProductMachine {
public:
    explicit ProductMachine(winsim::usb::WireModel wire = winsim::usb::WireModel::Instant);
    ~ProductMachine();
    ProductMachine(const ProductMachine &) = delete;
    ProductMachine &operator=(const ProductMachine &) = delete;

    winsim::harness::TestMachine &Harness() { return machine_; }

    // Stages the package, as `pnputil /add-driver` does. Returns the
    // published name (oem<N>.inf) or the installer's error.
    struct Installed {
        bool ok = false;
        std::string publishedName;
        std::string error;
    };
    Installed Install(const std::string &inf);

    // Plugs the printer in (the Plug and Play manager installs and starts
    // its drivers) and returns it. Only one printer is simulated.
    winsim::usb::UsbDevice &Plug();
    // Pulls it out (surprise removal).
    void Unplug();
    bool Plugged() const { return printer_ != nullptr && printer_->Connected(); }
    // The printer plugged in last; nullptr before the first plug.
    winsim::usb::UsbDevice *Printer() const { return printer_.get(); }
    // Its device instance ID (it stays the same across plugs).
    std::string InstanceId() const;
    // The COM name the installer gave it (its PortName); empty if none.
    std::string PortName() const;

    // Every byte the printer prints from now on is also appended to this
    // file, flushed as it arrives, so nothing is lost on any exit.
    void SpoolTo(const std::filesystem::path &path);
    // The bytes printed since the last call, across unplug and replug.
    std::vector<unsigned char> TakePrinted();
    // All the bytes printed so far.
    size_t PrintedCount() const;

    // Shuts the machine down; returns what was left behind (empty: clean).
    std::vector<std::string> Shutdown();

private:
    size_t SpoolSizeOfCurrent() const;

    winsim::harness::TestMachine machine_;
    std::shared_ptr<winsim::usb::UsbDevice> printer_;
    std::optional<std::filesystem::path> spoolFile_;
    std::vector<unsigned char> earlierPlugs_;  // printed by printers unplugged since
    size_t taken_ = 0;                         // bytes handed out by TakePrinted
    bool shutDown_ = false;
};

}  // namespace tarvik::sim
