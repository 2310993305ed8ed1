// tarvik-sim demo: the product at work on a fresh machine, narrated step by
// step: installation, the printer plugged in, the drivers stacked, the COM
// port named and used by an application, unplug and replug.
#include "com_port.h"
#include "comm_names.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "narrator.h"
#include "package_location.h"
#include "product_machine.h"
#include "registry_view.h"
#include "trace.h"
#include "watchdog.h"
#include "win32_errors.h"

#include "../../winsim/usb/printer_model.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace tarvik::sim {
namespace {

const char kJob[] =
    "TARVIK TEST PAGE\r\n"
    "Printed through COM port, tarvik_serial and tarvik_usb.\r\n"
    "\f";

std::string Hex(unsigned value, int digits)
{
    char text[16];
    snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string Quoted(const std::string &bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7F)
            out += "\\x" + Hex(c, 2);
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

// What the summary at the end reports.
struct Outcome {
    std::string package, instanceId, stack, portName;
    bool sameNameAfterReplug = false;
    size_t jobBytes = 0;
    bool jobExact = false;
    std::string statusReply, modemReady, modemOffline, events;
};

class Demo {
public:
    explicit Demo(const GlobalOptions &options)
        : options_(options), dog_(Watchdog::LimitFromEnvironment(std::chrono::seconds(20))),
          tap_(options.trace, [this](const std::string &line) { Observe(line); })
    {
    }

    int Run();

private:
    int Install();
    int PlugIn();
    int UseThePort();
    int UnplugAndReplug();
    int Summary(const std::vector<std::string> &findings);
    void Observe(const std::string &traceLine);

    std::vector<std::string> Loaded();

    // What the trace observer fills in comes first: it lives longer than the tap.
    std::atomic<unsigned> requests_{0};
    std::mutex loadedLock_;
    std::vector<std::string> loaded_;  // drivers as they load
    Outcome outcome_;
    const GlobalOptions &options_;
    Watchdog dog_;
    Narrator say_;
    TraceTap tap_;
    ProductMachine machine_;
};

std::vector<std::string> Demo::Loaded()
{
    std::lock_guard<std::mutex> lock(loadedLock_);
    return loaded_;
}

void Demo::Observe(const std::string &line)
{
    if (line.find(" -> ") != std::string::npos && line.find(" returned ") == std::string::npos)
        requests_++;
    if (line.starts_with("driver ") && line.ends_with(" loaded")) {
        std::lock_guard<std::mutex> lock(loadedLock_);
        loaded_.push_back(line.substr(7, line.size() - 14));
    }
}

int Demo::Run()
{
    say_.Step("A simulated Windows 10 machine has booted (kernel, Plug and Play and power managers,");
    say_.Detail("USB host controller with an empty root hub, registry, Win32).");
    if (int status = Install(); status != kExitOk)
        return status;
    if (int status = PlugIn(); status != kExitOk)
        return status;
    if (int status = UseThePort(); status != kExitOk)
        return status;
    if (int status = UnplugAndReplug(); status != kExitOk)
        return status;
    say_.Step("Shutting the machine down: devices removed, drivers unloaded, leaks checked");
    return Summary(machine_.Shutdown());
}

int Demo::Install()
{
    PackageLocation package = LocatePackage(options_.packagePath);
    if (package.inf.empty()) {
        console::Error("tarvik-sim demo: " + package.error);
        return kExitEnvironment;
    }
    say_.Step("Installing the driver package, as 'pnputil /add-driver tarvik.inf' does");
    auto installed = machine_.Install(package.inf);
    if (!installed.ok)
        return say_.Fail("the package did not install: " + installed.error);
    outcome_.package = installed.publishedName + " (from " + package.inf + ")";
    say_.Detail("staged in the driver store as " + installed.publishedName + "; nothing is loaded until a device needs it");
    return kExitOk;
}

int Demo::PlugIn()
{
    say_.Step("Plugging the printer into port 1 of the root hub");
    winsim::usb::UsbDevice &printer = machine_.Plug();
    const auto &config = printer.Config();
    outcome_.instanceId = machine_.InstanceId();
    say_.Detail("the hub reports USB\\VID_" + Hex(config.vendorId, 4) + "&PID_" + Hex(config.productId, 4) +
                "; device instance " + outcome_.instanceId);
    std::string state = machine_.Harness().DeviceState(outcome_.instanceId);
    if (state != "started")
        return say_.Fail("the device is " + state + ", not started: the package's drivers did not take it");
    for (const std::string &driver : Loaded())
        say_.Detail("driver " + driver + " loaded (DriverEntry ran)");

    say_.Step("The Plug and Play manager matched the INF, stacked the drivers and started the device");
    say_.Detail("device stack, top first:");
    std::vector<std::string> stack = winsim::harness::DescribeStack(machine_.Harness().PdoOf(outcome_.instanceId));
    for (const std::string &line : stack) {
        say_.Detail("  " + line);
        std::string driver = line.substr(0, line.find(' '));
        outcome_.stack += (outcome_.stack.empty() ? "" : " > ") + driver.substr(driver.rfind('\\') + 1);
    }

    say_.Step("tarvik_usb configured the printer");
    say_.Detail("configuration " + std::to_string(printer.ConfigurationValue()) + " selected; interface 0 pipes:");
    for (const auto &iface : config.interfaces)
        for (size_t i = 0; i < iface.endpoints.size(); i++) {
            const auto &e = iface.endpoints[i];
            bool in = (e.address & 0x80) != 0;
            say_.Detail("  if0pipe" + std::to_string(i) + ": bulk " + (in ? "IN " : "OUT") + " endpoint 0x" +
                        Hex(e.address, 2) + ", " + std::to_string(e.maxPacketSize) + "-byte packets" +
                        (in ? " (status replies from the printer)" : " (print data)"));
        }

    say_.Step("tarvik_serial made it a COM port");
    outcome_.portName = machine_.PortName();
    if (outcome_.portName.empty())
        return say_.Fail("the device has no PortName: the Ports class installer named no port");
    say_.Detail("the COM Name Arbiter gave it " + outcome_.portName + ", kept in HKLM\\" +
                DeviceParametersKey(outcome_.instanceId) + " (PortName)");
    bool listed = false;
    for (const SerialCommEntry &entry : SerialCommPorts()) {
        say_.Detail("HKLM\\" + std::string(kSerialCommKey) + ": " + entry.valueName + " = " + entry.portName);
        listed = listed || entry.portName == outcome_.portName;
    }
    if (!listed)
        return say_.Fail(outcome_.portName + " is missing from HKLM\\" + kSerialCommKey +
                         ", where applications look for COM ports");
    say_.Detail("and the symbolic link \\DosDevices\\" + outcome_.portName + " lets applications open \\\\.\\" +
                outcome_.portName);
    return kExitOk;
}

int Demo::UseThePort()
{
    ComPort port;
    const std::string &name = outcome_.portName;
    winsim::usb::UsbDevice &printer = *machine_.Printer();
    auto fail = [&](const std::string &call) { return say_.Fail(port.Failure(call)); };

    say_.Step("An application opens \\\\.\\" + name + " and sets it up");
    {
        auto armed = dog_.Arm("CreateFile " + name);
        if (!port.Open(name))
            return fail("CreateFile(\\\\.\\" + name + ")");
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
    {
        auto armed = dog_.Arm("setting up " + name);
        if (!port.Check(SetupComm(port.Handle(), 4096, 4096)))
            return fail("SetupComm");
        if (!port.Check(GetCommState(port.Handle(), &dcb)))
            return fail("GetCommState");
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!port.Check(SetCommState(port.Handle(), &dcb)))
            return fail("SetCommState");
        if (!port.Check(SetCommTimeouts(port.Handle(), &timeouts)))
            return fail("SetCommTimeouts");
        if (!port.Check(SetCommMask(port.Handle(), EV_RXCHAR | EV_TXEMPTY)))
            return fail("SetCommMask");
    }
    say_.Detail("SetupComm 4096/4096, SetCommState 9600 8N1, SetCommTimeouts (reads give up after 2 s),");
    say_.Detail("SetCommMask EV_RXCHAR|EV_TXEMPTY");

    say_.Step("It prints a small job");
    std::string job = kJob;
    DWORD written = 0;
    {
        auto armed = dog_.Arm("WriteFile of the job");
        if (!port.Write({reinterpret_cast<const unsigned char *>(job.data()), job.size()}, &written))
            return fail("WriteFile");
    }
    std::vector<unsigned char> printed = machine_.TakePrinted();
    outcome_.jobBytes = job.size();
    outcome_.jobExact = written == job.size() && printed == std::vector<unsigned char>(job.begin(), job.end());
    say_.Detail("WriteFile wrote " + std::to_string(written) + " bytes: " + Quoted(job));
    if (!outcome_.jobExact)
        return say_.Fail("the printer received " + std::to_string(printed.size()) + " bytes: " +
                         Quoted(std::string(printed.begin(), printed.end())));
    say_.Detail("the printer received exactly these " + std::to_string(printed.size()) + " bytes");

    say_.Step("It asks the printer for its status (ESC s ?) and waits for the reply");
    const unsigned char request[] = {0x1B, 0x73, 0x3F};
    DWORD seen = 0;
    {
        auto armed = dog_.Arm("the status request and its reply");
        if (!port.Write(request, &written))
            return fail("WriteFile");
        // WaitCommEvent reports what happened since the last call: the
        // written data left (EV_TXEMPTY), then the reply arrived (EV_RXCHAR).
        while ((seen & EV_RXCHAR) == 0) {
            DWORD events = 0;
            if (!port.Check(WaitCommEvent(port.Handle(), &events, nullptr)))
                return fail("WaitCommEvent");
            say_.Detail("WaitCommEvent: " + FlagsText(events, kEventFlags));
            seen |= events;
        }
    }
    outcome_.events = FlagsText(seen, kEventFlags);
    DWORD errors = 0;
    COMSTAT comstat{};
    std::vector<unsigned char> reply;
    {
        auto armed = dog_.Arm("reading the status reply");
        if (!port.Check(ClearCommError(port.Handle(), &errors, &comstat)))
            return fail("ClearCommError");
        say_.Detail("ClearCommError: " + std::to_string(comstat.cbInQue) + " bytes waiting, errors " +
                    FlagsText(errors, kCommErrors));
        if (!port.Read(4, &reply))
            return fail("ReadFile");
    }
    if (reply.size() != 4)
        return say_.Fail("ReadFile returned " + std::to_string(reply.size()) + " bytes of the 4-byte status reply");
    unsigned spooled = reply[1] | reply[2] << 8 | reply[3] << 16;
    outcome_.statusReply = std::string((reply[0] & winsim::usb::kStatusNotReady) ? "not ready" : "ready") + ", " +
                           std::to_string(spooled) + " bytes printed";
    say_.Detail("ReadFile: " + Hex(reply[0], 2) + " " + Hex(reply[1], 2) + " " + Hex(reply[2], 2) + " " +
                Hex(reply[3], 2) + " = " + outcome_.statusReply);
    if (spooled != job.size())
        return say_.Fail("the printer says it printed " + std::to_string(spooled) + " bytes, not " +
                         std::to_string(job.size()));

    say_.Step("It reads the modem status: DSR follows the printer's ready state");
    DWORD modem = 0;
    {
        auto armed = dog_.Arm("GetCommModemStatus");
        if (!port.Check(GetCommModemStatus(port.Handle(), &modem)))
            return fail("GetCommModemStatus");
        outcome_.modemReady = FlagsText(modem, kModemFlags);
        say_.Detail("printer ready:   GetCommModemStatus = " + outcome_.modemReady);
        printer.Printer()->SetOnline(false);
        if (!port.Check(GetCommModemStatus(port.Handle(), &modem)))
            return fail("GetCommModemStatus");
        outcome_.modemOffline = FlagsText(modem, kModemFlags);
        say_.Detail("printer offline: GetCommModemStatus = " + outcome_.modemOffline);
        printer.Printer()->SetOnline(true);
    }
    if (outcome_.modemReady != "MS_DSR_ON" || outcome_.modemOffline != "none")
        return say_.Fail("DSR does not follow the printer's ready state");

    say_.Step("It closes the port");
    {
        auto armed = dog_.Arm("CloseHandle");
        if (!port.Close())
            return fail("CloseHandle");
    }
    return kExitOk;
}

int Demo::UnplugAndReplug()
{
    const std::string &name = outcome_.portName;
    say_.Step("The printer is unplugged");
    machine_.Unplug();
    say_.Detail("surprise removal, then removal: the device is " + machine_.Harness().DeviceState(outcome_.instanceId));
    say_.Detail(SerialCommPorts().empty() ? "HKLM\\" + std::string(kSerialCommKey) + " is empty again"
                                          : "HKLM\\" + std::string(kSerialCommKey) + " still lists a port");
    ComPort port;
    if (port.Open(name))
        return say_.Fail("\\\\.\\" + name + " still opens after the printer has gone");
    say_.Detail("CreateFile(\\\\.\\" + name + ") now fails: " + Win32ErrorText(port.LastError()));

    say_.Step("It is plugged in again");
    machine_.Plug();
    std::string again = machine_.PortName();
    outcome_.sameNameAfterReplug = again == name;
    say_.Detail("same device instance " + machine_.InstanceId() + ", so the same hardware key and the same name: " +
                again);
    if (!outcome_.sameNameAfterReplug)
        return say_.Fail("the port came back as " + again + ", not " + name);
    {
        auto armed = dog_.Arm("CreateFile after replug");
        if (!port.Open(name))
            return say_.Fail(port.Failure("CreateFile(\\\\.\\" + name + ") after replug"));
    }
    port.Close();
    say_.Detail("\\\\.\\" + name + " opens again");
    return kExitOk;
}

int Demo::Summary(const std::vector<std::string> &findings)
{
    console::Line("");
    console::Line("Summary");
    console::Line("  package        " + outcome_.package);
    console::Line("  device         " + outcome_.instanceId);
    console::Line("  stack          " + outcome_.stack);
    console::Line("  COM port       " + outcome_.portName + " (SERIALCOMM and Device Parameters\\PortName), " +
                  (outcome_.sameNameAfterReplug ? "the same after replug" : "changed after replug"));
    console::Line("  print job      " + std::to_string(outcome_.jobBytes) + " bytes, " +
                  (outcome_.jobExact ? "byte-exact at the printer" : "NOT what the printer received"));
    console::Line("  status reply   " + outcome_.statusReply);
    console::Line("  modem status   " + outcome_.modemReady + " while ready, " + outcome_.modemOffline +
                  " while offline");
    console::Line("  events         " + outcome_.events);
    console::Line("  requests       " + std::to_string(requests_.load()) +
                  " dispatches to drivers (see them with --trace)");
    return say_.Verdict(findings);
}

}  // namespace

Command DemoCommand()
{
    return {
        .name = "demo",
        .summary = "show the product at work: install, plug in, print, unplug, replug",
        .description =
            "Boots a simulated Windows machine, installs the driver package and plugs in\n"
            "the simulated printer, then narrates what happens: the drivers loaded and\n"
            "stacked, the printer configured, the COM name and where Windows records it,\n"
            "an application opening the port, setting it up, printing a small job\n"
            "(checked byte for byte at the printer), reading the printer's status reply\n"
            "and the modem status, waiting on events, closing; then an unplug and replug\n"
            "that gives the same COM name. Ends with a summary and the verifier's verdict.",
        .run = [](const GlobalOptions &options, const Arguments &) { return Demo(options).Run(); },
    };
}

}  // namespace tarvik::sim
