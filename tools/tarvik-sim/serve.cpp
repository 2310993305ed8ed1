// tarvik-sim serve --link PATH: the simulated printer's COM port as a Linux
// pseudo-terminal, so that real serial programs talk to the printer through
// both drivers.
#include "com_port.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "package_location.h"
#include "product_machine.h"
#include "pseudo_terminal.h"
#include "pty_bridge.h"
#include "trace.h"

#include <csignal>
#include <fstream>

namespace tarvik::sim {
namespace {

int Serve(const GlobalOptions &global, const Arguments &arguments)
{
    std::string link = *arguments.Value("--link");
    auto wireName = arguments.Value("--wire").value_or("instant");
    if (wireName != "instant" && wireName != "full-speed") {
        console::Error("tarvik-sim serve: --wire is 'instant' or 'full-speed', not '" + wireName + "'");
        return kExitUsage;
    }
    auto spool = arguments.Value("--spool");
    if (spool && !std::ofstream(*spool, std::ios::binary | std::ios::trunc)) {
        console::Error("tarvik-sim serve: cannot write the spool file " + *spool);
        return kExitBadInput;
    }
    PackageLocation package = LocatePackage(global.packagePath);
    if (package.inf.empty()) {
        console::Error("tarvik-sim serve: " + package.error);
        return kExitEnvironment;
    }

    Interrupts interrupts;  // before any thread of the machine exists
    PseudoTerminal pty(link);
    if (!pty.Ok()) {
        console::Error("tarvik-sim serve: " + pty.Error());
        return kExitEnvironment;
    }
    TraceTap tap(global.trace);
    ProductMachine machine(wireName == "full-speed" ? winsim::usb::WireModel::FullSpeed
                                                    : winsim::usb::WireModel::Instant);
    if (auto installed = machine.Install(package.inf); !installed.ok) {
        console::Error("tarvik-sim serve: the driver package did not install: " + installed.error);
        return kExitFailed;
    }
    machine.Plug();
    if (spool)
        machine.SpoolTo(*spool);
    std::string portName = machine.PortName();
    ComPort port;
    if (portName.empty() || !port.Open(portName, true)) {
        console::Error("tarvik-sim serve: the printer's COM port does not open: " +
                       (portName.empty() ? std::string("it has no name") : port.Failure("CreateFile")));
        return kExitFailed;
    }

    console::Line("serving " + portName + " at " + link + " (" + pty.TerminalName() + "); Ctrl-C stops");
    PtyBridge bridge(pty, port, [](const std::string &line) { console::Line("  " + line); });
    bool ok = bridge.Run(interrupts.Fd());
    if (!ok)
        console::Error("tarvik-sim serve: " + bridge.Error());

    port.Close();
    BridgeCounts counts = bridge.Counts();
    size_t printed = machine.PrintedCount();
    std::vector<std::string> findings = machine.Shutdown();
    console::Line("stopped: " + std::to_string(counts.toPrinter) + " bytes to the printer (" +
                  std::to_string(printed) + " printed), " + std::to_string(counts.fromPrinter) +
                  " bytes from it, " + std::to_string(counts.settingsApplied) + " line settings applied, " +
                  std::to_string(counts.purges) + " purges" + (spool ? "; spool in " + *spool : ""));
    for (const std::string &f : findings)
        console::Line("left behind: " + f);
    if (!ok || !findings.empty())
        return kExitFailed;
    return kExitOk;
}

}  // namespace

Command ServeCommand()
{
    return {
        .name = "serve",
        .summary = "expose the COM port as a pseudo-terminal for real serial programs",
        .description =
            "Boots a machine with the product installed and the printer plugged in, and\n"
            "links PATH to a Linux pseudo-terminal that stands for the printer's COM port.\n"
            "Serial programs (picocom, Python's serial module, ...) open PATH; what they\n"
            "write goes through tarvik_serial and tarvik_usb to the printer, what the\n"
            "printer answers comes back. Line settings a client makes (speed, stop bits,\n"
            "RTS/CTS and XON/XOFF flow control) reach the driver as SetCommState; speed 0\n"
            "drops DTR (EscapeCommFunction); a client's flush of its input or output\n"
            "becomes PurgeComm.\n"
            "\n"
            "Not mapped, because a pseudo-terminal cannot carry them: character size and\n"
            "parity (Linux keeps a pseudo-terminal at 8 bits without parity, and a\n"
            "client's request for others fails), the modem lines (a client cannot set DTR\n"
            "or RTS, nor see DSR, which follows the printer's ready state), breaks, and\n"
            "VMIN/VTIME (data is passed on as it arrives).\n"
            "\n"
            "Runs until Ctrl-C or SIGTERM, then shuts the machine down cleanly and prints\n"
            "what went each way. Try:  tarvik-sim serve --link /tmp/tarvik0 &\n"
            "                          picocom -b 9600 /tmp/tarvik0",
        .options =
            {
                {"--link", "PATH", "where the pseudo-terminal appears (a symbolic link; required)"},
                {"--spool", "PATH", "keep what the printer received in PATH (written as it arrives)"},
                {"--wire", "MODEL", "instant (default) or full-speed"},
            },
        .run =
            [](const GlobalOptions &global, const Arguments &arguments) {
                if (!arguments.Has("--link")) {
                    console::Error("tarvik-sim serve: --link PATH is required (where the terminal appears)\n"
                                   "Run 'tarvik-sim help serve' for its options.");
                    return static_cast<int>(kExitUsage);
                }
                return Serve(global, arguments);
            },
    };
}

}  // namespace tarvik::sim
