// What a running scenario's steps share: the machine, the application's
// port handle, the hang guard and the settings given on the command line.
#pragma once

#include "com_port.h"
#include "command_line.h"
#include "product_machine.h"
#include "watchdog.h"

#include <string>

namespace tarvik::sim {

class ScenarioContext {
public:
    ScenarioContext(const GlobalOptions &options, std::string scenarioDirectory, Watchdog &dog)
        : options_(options), scenarioDirectory_(std::move(scenarioDirectory)), dog_(dog)
    {
    }

    ProductMachine &Machine() { return machine_; }
    ComPort &Port() { return port_; }
    Watchdog &Dog() { return dog_; }
    const GlobalOptions &Options() const { return options_; }
    // Relative paths in a scenario are relative to its own folder.
    std::string Resolve(const std::string &path) const;

    bool UsbStarted() const { return usbStarted_; }
    void MarkUsbStarted() { usbStarted_ = true; }
    void SetWire(winsim::usb::WireModel wire);

private:
    const GlobalOptions &options_;
    std::string scenarioDirectory_;
    Watchdog &dog_;
    ProductMachine machine_;
    ComPort port_;  // after the machine: closed before it shuts down
    bool usbStarted_ = false;
};

}  // namespace tarvik::sim
