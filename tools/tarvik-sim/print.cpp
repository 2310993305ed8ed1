// tarvik-sim print FILE: prints a file through the COM port to the simulated
// printer, with a progress bar and a summary that compares what was sent
// with what the printer received.
#include "checksum.h"
#include "com_port.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "package_location.h"
#include "product_machine.h"
#include "progress_bar.h"
#include "trace.h"
#include "watchdog.h"

#include "../../winsim/usb/printer_model.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

namespace tarvik::sim {
namespace {

using winsim::usb::WireModel;

constexpr size_t kDefaultChunk = 4096;

// The bytes the printer is expected to print: everything sent, except the
// status requests (ESC s ?), which it answers instead of printing.
class ExpectedPrint {
public:
    void Add(std::span<const unsigned char> bytes)
    {
        for (unsigned char b : bytes) {
            if (b == winsim::usb::kStatusRequest[matched_]) {
                if (++matched_ == sizeof winsim::usb::kStatusRequest) {
                    matched_ = 0;
                    statusRequests_++;
                }
                continue;
            }
            Emit({winsim::usb::kStatusRequest, matched_});
            matched_ = b == winsim::usb::kStatusRequest[0] ? 1 : 0;
            if (matched_ == 0)
                Emit({&b, 1});
        }
    }
    // Bytes held back as the start of a request that never completed are printed.
    void End()
    {
        Emit({winsim::usb::kStatusRequest, matched_});
        matched_ = 0;
    }
    const Crc32 &Checksum() const { return crc_; }
    uint64_t Count() const { return count_; }
    size_t StatusRequests() const { return statusRequests_; }

private:
    void Emit(std::span<const unsigned char> bytes)
    {
        crc_.Add(bytes);
        count_ += bytes.size();
    }
    size_t matched_ = 0, statusRequests_ = 0;
    uint64_t count_ = 0;
    Crc32 crc_;
};

struct PrintOptions {
    std::string file;
    std::optional<std::string> spool;
    WireModel wire = WireModel::Instant;
    size_t chunk = kDefaultChunk;
};

// The input, a file or standard input ("-").
class Input {
public:
    bool Open(const std::string &name, std::string *error)
    {
        if (name == "-") {
            stream_ = &std::cin;
            return true;
        }
        file_ = std::make_unique<std::ifstream>(name, std::ios::binary);
        if (!*file_) {
            *error = "cannot read " + name + ": " + strerror(errno);
            return false;
        }
        file_->seekg(0, std::ios::end);
        size_ = static_cast<uint64_t>(file_->tellg());
        file_->seekg(0);
        stream_ = file_.get();
        return true;
    }
    // 0 when unknown (standard input).
    uint64_t Size() const { return size_; }
    size_t Read(std::vector<unsigned char> &buffer)
    {
        stream_->read(reinterpret_cast<char *>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
        return static_cast<size_t>(stream_->gcount());
    }
    bool Failed() const { return stream_->bad(); }

private:
    std::unique_ptr<std::ifstream> file_;
    std::istream *stream_ = nullptr;
    uint64_t size_ = 0;
};

int Print(const GlobalOptions &global, const PrintOptions &options)
{
    Interrupts interrupts;
    std::string error;
    Input input;
    if (!input.Open(options.file, &error)) {
        console::Error("tarvik-sim print: " + error);
        return kExitBadInput;
    }
    if (options.spool) {
        // Truncated now, so the file holds this run's print and nothing else.
        std::ofstream truncate(*options.spool, std::ios::binary | std::ios::trunc);
        if (!truncate) {
            console::Error("tarvik-sim print: cannot write the spool file " + *options.spool + ": " + strerror(errno));
            return kExitBadInput;
        }
    }
    PackageLocation package = LocatePackage(global.packagePath);
    if (package.inf.empty()) {
        console::Error("tarvik-sim print: " + package.error);
        return kExitEnvironment;
    }

    TraceTap tap(global.trace);
    Watchdog dog(Watchdog::LimitFromEnvironment(std::chrono::seconds(20)));
    ProductMachine machine(options.wire);
    if (auto installed = machine.Install(package.inf); !installed.ok) {
        console::Error("tarvik-sim print: the driver package did not install: " + installed.error);
        return kExitFailed;
    }
    machine.Plug();
    if (options.spool)
        machine.SpoolTo(*options.spool);
    std::string portName = machine.PortName();
    ComPort port;
    {
        auto armed = dog.Arm("opening " + portName);
        if (portName.empty() || !port.Open(portName)) {
            console::Error("tarvik-sim print: the printer's COM port does not open: " +
                           (portName.empty() ? std::string("it has no name") : port.Failure("CreateFile")));
            return kExitFailed;
        }
    }
    console::Line("printing " + (options.file == "-" ? std::string("standard input") : options.file) + " on " +
                  portName + " (" + (options.wire == WireModel::FullSpeed ? "full-speed" : "instant") + " wire)");

    Crc32 sentCrc;
    ExpectedPrint expected;
    uint64_t sent = 0;
    bool writeFailed = false;
    std::vector<unsigned char> buffer(options.chunk);
    auto start = std::chrono::steady_clock::now();
    {
        ProgressBar bar("printing", input.Size());
        while (!interrupts.Requested()) {
            size_t n = input.Read(buffer);
            if (n == 0)
                break;
            std::span<const unsigned char> chunk(buffer.data(), n);
            sentCrc.Add(chunk);
            expected.Add(chunk);
            DWORD written = 0;
            auto armed = dog.Arm("WriteFile of " + std::to_string(n) + " bytes at offset " + std::to_string(sent));
            if (!port.Write(chunk, &written) || written != n) {
                sent += written;
                writeFailed = true;
                break;
            }
            sent += n;
            bar.Update(sent);
        }
        expected.End();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (writeFailed)
        console::Line("WriteFile stopped after " + std::to_string(sent) + " bytes: " + port.Failure("WriteFile"));
    if (input.Failed())
        console::Error("tarvik-sim print: reading " + options.file + " failed after " + std::to_string(sent) + " bytes");
    {
        auto armed = dog.Arm("closing " + portName);
        port.Close();
    }

    std::vector<unsigned char> printed = machine.TakePrinted();
    Crc32 receivedCrc;
    receivedCrc.Add(printed);
    bool complete = !writeFailed && !interrupts.Requested() && !input.Failed();
    bool identical = printed.size() == expected.Count() && receivedCrc.Value() == expected.Checksum().Value();

    console::Line("");
    console::Line("  sent        " + std::to_string(sent) + " bytes, CRC-32 " + sentCrc.Hex() +
                  (complete ? "" : " (incomplete)"));
    if (expected.StatusRequests() > 0)
        console::Line("              of which " + std::to_string(expected.StatusRequests()) +
                      " status requests (ESC s ?), answered by the printer and not printed");
    console::Line("  received    " + std::to_string(printed.size()) + " bytes, CRC-32 " + receivedCrc.Hex() + ", " +
                  (identical ? "identical to what was sent" : "DIFFERENT from what was sent"));
    char time[32];
    snprintf(time, sizeof time, "%.3f s", seconds);
    std::string rate = seconds > 0 ? Rate(static_cast<double>(sent) / seconds) : "-";
    if (options.wire == WireModel::FullSpeed) {
        char share[64];
        snprintf(share, sizeof share, " (%.0f%% of the full-speed wire's %s)",
                 seconds > 0 ? 100.0 * static_cast<double>(sent) / seconds / winsim::usb::kFullSpeedBulkBytesPerSecond
                             : 0.0,
                 Rate(winsim::usb::kFullSpeedBulkBytesPerSecond).c_str());
        rate += share;
    } else {
        rate += " (instant wire: no bus limit; --wire full-speed times it as USB 1.1 does)";
    }
    console::Line("  time        " + std::string(time) + ", " + rate);
    if (options.spool)
        console::Line("  spool       " + *options.spool + " holds what the printer received");

    std::vector<std::string> findings = machine.Shutdown();
    for (const std::string &f : findings)
        console::Line("  left behind " + f);
    if (interrupts.Requested()) {
        console::Line("interrupted after " + std::to_string(sent) + " bytes");
        return kExitInterrupted;
    }
    if (input.Failed())
        return kExitBadInput;
    return complete && identical && findings.empty() ? kExitOk : kExitFailed;
}

}  // namespace

Command PrintCommand()
{
    return {
        .name = "print",
        .operands = "FILE",
        .summary = "print a file through the COM port to the simulated printer",
        .description =
            "Boots a machine with the product installed and the printer plugged in, opens\n"
            "the printer's COM port and writes FILE to it (\"-\" reads standard input),\n"
            "with a progress bar. Then it compares what the printer received with what\n"
            "was sent (byte counts and CRC-32 checksums) and reports the time taken and\n"
            "the throughput against the USB wire's limit. The printer answers status\n"
            "requests (ESC s ?) in the data instead of printing them; the summary counts\n"
            "them. Exits 0 only when the printer received exactly what it was meant to.",
        .options =
            {
                {"--spool", "PATH", "keep what the printer received in PATH (written as it arrives)"},
                {"--wire", "MODEL", "instant (default) or full-speed (USB 1.1 timing, 1.216 MB/s at most)"},
                {"--chunk", "BYTES", "bytes per WriteFile call (default 4096)"},
            },
        .minOperands = 1,
        .maxOperands = 1,
        .run =
            [](const GlobalOptions &global, const Arguments &arguments) {
                PrintOptions options;
                options.file = arguments.Operands()[0];
                options.spool = arguments.Value("--spool");
                if (auto wire = arguments.Value("--wire")) {
                    if (*wire == "full-speed")
                        options.wire = WireModel::FullSpeed;
                    else if (*wire != "instant") {
                        console::Error("tarvik-sim print: --wire is 'instant' or 'full-speed', not '" + *wire + "'");
                        return static_cast<int>(kExitUsage);
                    }
                }
                if (auto chunk = arguments.Value("--chunk")) {
                    char *end = nullptr;
                    unsigned long value = strtoul(chunk->c_str(), &end, 10);
                    if (chunk->empty() || *end != '\0' || value == 0 || value > (1u << 24)) {
                        console::Error("tarvik-sim print: --chunk is a byte count from 1 to 16777216, not '" +
                                       *chunk + "'");
                        return static_cast<int>(kExitUsage);
                    }
                    options.chunk = value;
                }
                return Print(global, options);
            },
    };
}

}  // namespace tarvik::sim
