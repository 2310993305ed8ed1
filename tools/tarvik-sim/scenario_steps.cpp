// The scenario steps: one entry per step word, with its syntax, what it does
// and how it is compiled from a line's tokens into an action.
#include "scenario_steps.h"

#include "comm_names.h"
#include "package_location.h"
#include "registry_view.h"
#include "scenario_context.h"
#include "scenario_values.h"
#include "win32_errors.h"

#include "../../winsim/usb/printer_model.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace tarvik::sim {
namespace {

using winsim::harness::TestMachine;

// A line cut at the word "expect": the step's arguments and its expectation.
struct Line {
    std::vector<Token> args;
    bool hasExpect = false;
    std::vector<Token> expect;
};

using Compiled = std::variant<StepAction, std::string>;

struct StepSpec {
    const char *verb;
    const char *syntax;
    const char *what;
    Compiled (*compile)(const Line &);
};

std::string Words(std::span<const Token> tokens)
{
    std::string text;
    for (const Token &t : tokens)
        text += (text.empty() ? "" : " ") + t.text;
    return text;
}

std::string Hex2(unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "%02X", value);
    return text;
}

// ---------------------------------------------------------------- checks shared by steps
StepOutcome NoPort()
{
    return StepOutcome::Fail("no port is open: add an 'open' step before this one");
}

StepOutcome NoPrinter()
{
    return StepOutcome::Fail("no printer is plugged in: add a 'plug' step before this one");
}

std::optional<std::string> NoArgs(const Line &line, const char *verb, bool expectAllowed)
{
    if (!line.args.empty())
        return std::string("'") + verb + "' takes no arguments; found '" + Words(line.args) + "'";
    if (line.hasExpect && !expectAllowed)
        return std::string("'") + verb + "' takes no 'expect'";
    return std::nullopt;
}

// Flags from words ("rxchar txempty" or "none").
std::variant<unsigned long, std::string> ParseFlags(std::span<const Token> words, const std::vector<FlagName> &table,
                                                    const char *what)
{
    if (words.empty())
        return std::string("list the ") + what + " (" + FlagWords(table) + ") or write none";
    if (words.size() == 1 && words[0].IsWord("none"))
        return 0ul;
    unsigned long value = 0;
    for (const Token &w : words) {
        auto flag = FlagValue(w.text, table);
        if (!flag)
            return "unknown " + std::string(what) + " '" + w.text + "' (known: " + FlagWords(table) + ")";
        value |= *flag;
    }
    return value;
}

// Calls that return a status to compare: the common "[expect ok|error [NAME]]".
template <typename Call>
Compiled CallStep(const Line &line, Call call)
{
    std::string why;
    auto expected = ParseCallExpectation(line.expect, &why);
    if (!expected)
        return why;
    return StepAction([call, expected = *expected](ScenarioContext &ctx) {
        ComPort &port = ctx.Port();
        if (!port.IsOpen())
            return NoPort();
        auto [name, ok, done] = call(ctx, port);
        return CheckCall(name, ok, port.LastError(), expected, done);
    });
}

struct CallResult {
    std::string name;
    bool ok;
    std::string done;
};

// ---------------------------------------------------------------- machine and Plug and Play
Compiled CompileWire(const Line &line)
{
    if (line.args.size() != 1 || line.hasExpect || (!line.args[0].IsWord("instant") && !line.args[0].IsWord("full-speed")))
        return std::string("write 'wire instant' or 'wire full-speed'");
    auto wire = line.args[0].IsWord("instant") ? winsim::usb::WireModel::Instant : winsim::usb::WireModel::FullSpeed;
    return StepAction([wire, text = line.args[0].text](ScenarioContext &ctx) {
        if (ctx.UsbStarted())
            return StepOutcome::Fail("the wire model is chosen before the first 'plug'");
        ctx.SetWire(wire);
        return StepOutcome::Pass(text + " wire");
    });
}

Compiled CompileInstall(const Line &line)
{
    if (line.args.size() > 1)
        return std::string("write 'install' (the package tarvik-sim was given) or 'install PATH'");
    std::string why;
    auto expected = ParseCallExpectation(line.expect, &why);
    if (!expected)
        return why;
    std::string path = line.args.empty() ? "" : line.args[0].text;
    return StepAction([path, expected = *expected](ScenarioContext &ctx) {
        PackageLocation package = LocatePackage(path.empty() ? ctx.Options().packagePath : ctx.Resolve(path));
        if (package.inf.empty())
            return StepOutcome::Fail(package.error);
        auto installed = ctx.Machine().Install(package.inf);
        if (installed.ok != expected.succeed)
            return StepOutcome::Fail(installed.ok ? "the package installed as " + installed.publishedName +
                                                        ", but it was expected to fail"
                                                  : "the package did not install: " + installed.error);
        return StepOutcome::Pass(installed.ok ? "staged as " + installed.publishedName
                                              : "refused, as expected: " + installed.error);
    });
}

Compiled CompilePlug(const Line &line)
{
    if (auto error = NoArgs(line, "plug", false))
        return *error;
    return StepAction([](ScenarioContext &ctx) {
        ctx.MarkUsbStarted();
        ProductMachine &m = ctx.Machine();
        if (m.Plugged())
            return StepOutcome::Fail("the printer is plugged in already");
        m.Plug();
        std::string port = m.PortName();
        return StepOutcome::Pass(m.InstanceId() + " " + m.Harness().DeviceState(m.InstanceId()) +
                                 (port.empty() ? ", no COM name" : ", " + port));
    });
}

Compiled CompileUnplug(const Line &line)
{
    if (auto error = NoArgs(line, "unplug", false))
        return *error;
    return StepAction([](ScenarioContext &ctx) {
        ProductMachine &m = ctx.Machine();
        if (!m.Plugged())
            return NoPrinter();
        m.Unplug();
        return StepOutcome::Pass("unplugged; the device is " + m.Harness().DeviceState(m.InstanceId()));
    });
}

Compiled CompileState(const Line &line)
{
    if (!line.args.empty() || line.expect.empty())
        return std::string("write 'state expect STATE', e.g. state expect started");
    std::string wanted = Words(line.expect);
    return StepAction([wanted](ScenarioContext &ctx) {
        ProductMachine &m = ctx.Machine();
        if (m.Printer() == nullptr)
            return NoPrinter();
        // A removal the last close lets go of may come a moment after it.
        std::string state = m.Harness().AwaitDeviceState(m.InstanceId(), wanted, std::chrono::seconds(2));
        if (state != wanted)
            return StepOutcome::Fail("the device is " + state + ", expected " + wanted);
        return StepOutcome::Pass(state);
    });
}

Compiled CompilePortName(const Line &line)
{
    if (!line.args.empty() || line.expect.size() != 1)
        return std::string("write 'port-name expect COMn' (or expect none)");
    std::string wanted = line.expect[0].text == "none" ? "" : line.expect[0].text;
    return StepAction([wanted](ScenarioContext &ctx) {
        ProductMachine &m = ctx.Machine();
        if (m.Printer() == nullptr)
            return NoPrinter();
        std::string name = m.PortName();
        if (name != wanted)
            return StepOutcome::Fail("the device's PortName is " + (name.empty() ? "not set" : name) + ", expected " +
                                     (wanted.empty() ? "none" : wanted));
        return StepOutcome::Pass(name.empty() ? "no PortName" : "PortName " + name);
    });
}

Compiled CompileSerialComm(const Line &line)
{
    if (!line.args.empty() || line.expect.empty())
        return std::string("write 'serialcomm expect COM1 ...' (the names listed, in any order) or expect none");
    std::vector<std::string> wanted;
    if (!(line.expect.size() == 1 && line.expect[0].IsWord("none")))
        for (const Token &t : line.expect)
            wanted.push_back(t.text);
    std::sort(wanted.begin(), wanted.end());
    return StepAction([wanted](ScenarioContext &) {
        std::vector<std::string> names;
        for (const SerialCommEntry &e : SerialCommPorts())
            names.push_back(e.portName);
        std::sort(names.begin(), names.end());
        auto show = [](const std::vector<std::string> &list) {
            std::string text;
            for (auto &n : list)
                text += (text.empty() ? "" : " ") + n;
            return text.empty() ? std::string("none") : text;
        };
        if (names != wanted)
            return StepOutcome::Fail("SERIALCOMM lists " + show(names) + ", expected " + show(wanted));
        return StepOutcome::Pass("SERIALCOMM lists " + show(names));
    });
}

Compiled CompilePnp(const Line &line)
{
    static const char *const kActions[] = {"stop-restart", "query-remove", "cancel-remove", "cancel-stop",
                                           "disable",      "enable",       "uninstall"};
    if (line.args.size() != 1 ||
        std::none_of(std::begin(kActions), std::end(kActions), [&](const char *a) { return line.args[0].IsWord(a); }))
        return std::string("write 'pnp ACTION' with ACTION one of stop-restart, query-remove, cancel-remove, "
                           "cancel-stop, disable, enable, uninstall");
    bool wantOk = true;
    if (line.hasExpect) {
        if (line.expect.size() == 1 && line.expect[0].IsWord("ok"))
            wantOk = true;
        else if (line.expect.size() == 1 && line.expect[0].IsWord("fails"))
            wantOk = false;
        else
            return std::string("a pnp step expects 'ok' or 'fails' (a veto)");
    }
    std::string action = line.args[0].text;
    return StepAction([action, wantOk](ScenarioContext &ctx) {
        ProductMachine &m = ctx.Machine();
        if (m.Printer() == nullptr)
            return NoPrinter();
        TestMachine &h = m.Harness();
        std::string id = m.InstanceId();
        bool ok;
        std::string result;
        if (action == "uninstall") {
            ok = h.Uninstall(id);
            result = ok ? "removed" : "vetoed: a restart is needed";
        } else {
            NTSTATUS status = action == "stop-restart"    ? h.StopAndRestart(id)
                              : action == "query-remove"  ? h.QueryRemoveAndRemove(id)
                              : action == "cancel-remove" ? h.CancelledQueryRemove(id)
                              : action == "cancel-stop"   ? h.CancelledQueryStop(id)
                              : action == "disable"       ? h.Disable(id)
                                                          : h.Enable(id);
            ok = NT_SUCCESS(status);
            result = winsim::harness::StatusName(status);
        }
        result += "; the device is " + h.DeviceState(id);
        if (ok != wantOk)
            return StepOutcome::Fail(action + (ok ? " succeeded" : " failed") + " (" + result + "), expected it to " +
                                     (wantOk ? "succeed" : "fail"));
        return StepOutcome::Pass(result);
    });
}

Compiled CompileSleep(const Line &line)
{
    static const std::pair<const char *, SYSTEM_POWER_STATE> kStates[] = {
        {"S1", PowerSystemSleeping1}, {"S2", PowerSystemSleeping2}, {"S3", PowerSystemSleeping3}};
    auto it = line.args.size() == 1 ? std::find_if(std::begin(kStates), std::end(kStates),
                                                   [&](auto &s) { return line.args[0].IsWord(s.first); })
                                    : std::end(kStates);
    if (it == std::end(kStates))
        return std::string("write 'sleep S1', 'sleep S2' or 'sleep S3'");
    bool wantOk = !(line.expect.size() == 1 && line.expect[0].IsWord("fails"));
    if (line.hasExpect && !(line.expect.size() == 1 && (line.expect[0].IsWord("ok") || line.expect[0].IsWord("fails"))))
        return std::string("a sleep step expects 'ok' or 'fails' (a veto)");
    SYSTEM_POWER_STATE state = it->second;
    return StepAction([state, wantOk](ScenarioContext &ctx) {
        ctx.MarkUsbStarted();
        NTSTATUS status = ctx.Machine().Harness().Sleep(state);
        std::string result = winsim::harness::StatusName(status);
        if (NT_SUCCESS(status) != wantOk)
            return StepOutcome::Fail("the sleep request ended with " + result + ", expected it to " +
                                     (wantOk ? "succeed" : "fail"));
        return StepOutcome::Pass("asleep (" + result + ")");
    });
}

Compiled CompileResume(const Line &line)
{
    if (auto error = NoArgs(line, "resume", false))
        return *error;
    return StepAction([](ScenarioContext &ctx) {
        ctx.Machine().Harness().Resume();
        return StepOutcome::Pass("resumed");
    });
}

// ---------------------------------------------------------------- the printer
Compiled CompilePrinter(const Line &line)
{
    const char *usage = "write 'printer online', 'printer offline', 'printer stall out|in', "
                        "'printer nak out|in on|off', 'printer send DATA' or 'printer status HH HH HH HH'";
    if (line.args.empty() || line.hasExpect)
        return std::string(usage);
    const std::string &what = line.args[0].text;
    auto endpoint = [&](const Token &t) -> std::optional<UCHAR> {
        if (t.IsWord("out"))
            return 0x01;
        if (t.IsWord("in"))
            return 0x82;
        return std::nullopt;
    };
    using Action = std::function<std::string(winsim::usb::UsbDevice &)>;
    Action action;
    if ((what == "online" || what == "offline") && line.args.size() == 1) {
        bool online = what == "online";
        action = [online](winsim::usb::UsbDevice &p) {
            p.Printer()->SetOnline(online);
            return std::string(online ? "online" : "offline: not ready, its OUT endpoint NAKs");
        };
    } else if (what == "stall" && line.args.size() == 2 && endpoint(line.args[1])) {
        UCHAR e = *endpoint(line.args[1]);
        action = [e](winsim::usb::UsbDevice &p) {
            p.Stall(e);
            return "endpoint " + Hex2(e) + " stalled until the host resets it";
        };
    } else if (what == "nak" && line.args.size() == 3 && endpoint(line.args[1]) &&
               (line.args[2].IsWord("on") || line.args[2].IsWord("off"))) {
        UCHAR e = *endpoint(line.args[1]);
        bool nak = line.args[2].IsWord("on");
        action = [e, nak](winsim::usb::UsbDevice &p) {
            p.SetNak(e, nak);
            return "endpoint " + Hex2(e) + (nak ? " NAKs every transfer" : " transfers again");
        };
    } else if (what == "send" && line.args.size() > 1) {
        auto data = ParseData(std::span(line.args).subspan(1));
        if (auto *error = std::get_if<std::string>(&data))
            return *error;
        Bytes bytes = std::get<Bytes>(data);
        action = [bytes](winsim::usb::UsbDevice &p) {
            p.FeedBulkIn(bytes);
            return "queued on the IN endpoint: " + ShowBytes(bytes);
        };
    } else if (what == "status" && line.args.size() > 1) {
        auto data = ParseData(std::span(line.args).subspan(1));
        if (auto *error = std::get_if<std::string>(&data))
            return *error;
        Bytes bytes = std::get<Bytes>(data);
        if (bytes.size() != 4)
            return std::string("the printer's status is 4 bytes, like printer status hex 08 00 00 00");
        action = [bytes](winsim::usb::UsbDevice &p) {
            p.SetStatusBytes({bytes[0], bytes[1], bytes[2], bytes[3]});
            return "status bytes " + ShowBytes(bytes);
        };
    } else {
        return std::string(usage);
    }
    return StepAction([action](ScenarioContext &ctx) {
        ProductMachine &m = ctx.Machine();
        if (!m.Plugged())
            return NoPrinter();
        return StepOutcome::Pass(action(*m.Printer()));
    });
}

Compiled CompilePrinted(const Line &line)
{
    if (!line.args.empty() || line.expect.empty())
        return std::string("write 'printed expect DATA' (or expect nothing): the bytes printed since the last "
                           "'printed' step");
    Bytes wanted;
    if (!(line.expect.size() == 1 && line.expect[0].IsWord("nothing"))) {
        auto data = ParseData(line.expect);
        if (auto *error = std::get_if<std::string>(&data))
            return *error;
        wanted = std::get<Bytes>(data);
    }
    return StepAction([wanted](ScenarioContext &ctx) {
        Bytes printed = ctx.Machine().TakePrinted();
        if (printed != wanted) {
            auto diff = std::mismatch(printed.begin(), printed.end(), wanted.begin(), wanted.end());
            size_t at = static_cast<size_t>(diff.first - printed.begin());
            return StepOutcome::Fail("printed " + ShowBytes(printed) + "; expected " + ShowBytes(wanted) +
                                     "; they differ from byte " + std::to_string(at));
        }
        return StepOutcome::Pass("printed " + ShowBytes(printed));
    });
}

// ---------------------------------------------------------------- the application's port
Compiled CompileOpen(const Line &line)
{
    if (line.args.size() > 1)
        return std::string("write 'open' (the printer's COM port) or 'open COMn'");
    std::string why;
    auto expected = ParseCallExpectation(line.expect, &why);
    if (!expected)
        return why;
    std::string given = line.args.empty() ? "" : line.args[0].text;
    return StepAction([given, expected = *expected](ScenarioContext &ctx) {
        std::string name = given.empty() ? ctx.Machine().PortName() : given;
        if (name.empty())
            return StepOutcome::Fail("the printer has no COM name yet: plug it in first, or name the port");
        ComPort attempt;
        bool ok = attempt.Open(name);
        StepOutcome outcome =
            CheckCall("CreateFile(\\\\.\\" + name + ")", ok, attempt.LastError(), expected, "opened " + name);
        if (ok && ctx.Port().IsOpen())
            return StepOutcome::Fail("CreateFile(\\\\.\\" + name + ") succeeded while " + ctx.Port().Name() +
                                     " was open: the port is not exclusive");
        if (ok && outcome.ok)
            ctx.Port() = std::move(attempt);
        return outcome;
    });
}

Compiled CompileClose(const Line &line)
{
    if (!line.args.empty())
        return std::string("'close' takes no arguments");
    return CallStep(line, [](ScenarioContext &, ComPort &port) {
        std::string name = port.Name();
        return CallResult{"CloseHandle", port.Close(), "closed " + name};
    });
}

Compiled CompileSettings(const Line &line)
{
    struct Change {
        std::optional<unsigned long> baud, bits, parity, stop, rtscts, xonxoff;
    } change;
    const char *usage = "write 'settings' with one or more of baud=N bits=5..8 parity=none|odd|even|mark|space "
                        "stop=1|1.5|2 rtscts=on|off xonxoff=on|off";
    if (line.args.empty())
        return std::string(usage);
    for (const Token &t : line.args) {
        size_t eq = t.text.find('=');
        if (t.kind != Token::Kind::Word || eq == std::string::npos)
            return "'" + t.text + "' is not key=value; " + usage;
        std::string key = t.text.substr(0, eq), value = t.text.substr(eq + 1);
        auto onOff = [&]() -> std::optional<unsigned long> {
            if (value == "on")
                return 1;
            if (value == "off")
                return 0;
            return std::nullopt;
        };
        std::optional<unsigned long> *slot = nullptr;
        std::optional<unsigned long> parsed;
        if (key == "baud") {
            slot = &change.baud;
            parsed = ParseNumber(value);
        } else if (key == "bits") {
            slot = &change.bits;
            parsed = ParseNumber(value);
            if (parsed && (*parsed < 5 || *parsed > 8))
                parsed.reset();
        } else if (key == "parity") {
            slot = &change.parity;
            parsed = FlagValue(value, kParities);
        } else if (key == "stop") {
            slot = &change.stop;
            parsed = value == "1" ? std::optional<unsigned long>(ONESTOPBIT)
                     : value == "1.5" ? std::optional<unsigned long>(ONE5STOPBITS)
                     : value == "2" ? std::optional<unsigned long>(TWOSTOPBITS)
                                    : std::nullopt;
        } else if (key == "rtscts") {
            slot = &change.rtscts;
            parsed = onOff();
        } else if (key == "xonxoff") {
            slot = &change.xonxoff;
            parsed = onOff();
        } else {
            return "unknown setting '" + key + "'; " + usage;
        }
        if (!parsed)
            return "bad value in '" + t.text + "'; " + usage;
        *slot = parsed;
    }
    return CallStep(line, [change](ScenarioContext &, ComPort &port) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!port.Check(GetCommState(port.Handle(), &dcb)))
            return CallResult{"GetCommState", false, ""};
        if (change.baud)
            dcb.BaudRate = *change.baud;
        if (change.bits)
            dcb.ByteSize = static_cast<BYTE>(*change.bits);
        if (change.parity) {
            dcb.Parity = static_cast<BYTE>(*change.parity);
            dcb.fParity = *change.parity != NOPARITY;
        }
        if (change.stop)
            dcb.StopBits = static_cast<BYTE>(*change.stop);
        if (change.rtscts) {
            dcb.fOutxCtsFlow = *change.rtscts;
            dcb.fRtsControl = *change.rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        }
        if (change.xonxoff)
            dcb.fOutX = dcb.fInX = *change.xonxoff;
        if (!port.Check(SetCommState(port.Handle(), &dcb)))
            return CallResult{"SetCommState", false, ""};
        DCB back{};
        back.DCBlength = sizeof back;
        if (!port.Check(GetCommState(port.Handle(), &back)))
            return CallResult{"GetCommState", false, ""};
        static const char kParityLetters[] = "NOEMS";
        std::string shown = std::to_string(back.BaudRate) + " " + std::to_string(back.ByteSize) +
                            (back.Parity < 5 ? kParityLetters[back.Parity] : '?') +
                            (back.StopBits == ONESTOPBIT ? "1" : back.StopBits == ONE5STOPBITS ? "1.5" : "2");
        if (back.BaudRate != dcb.BaudRate || back.ByteSize != dcb.ByteSize || back.Parity != dcb.Parity ||
            back.StopBits != dcb.StopBits)
            return CallResult{"SetCommState", true, "GetCommState reads back " + shown + ", not what was set"};
        return CallResult{"SetCommState", true, "SetCommState " + shown};
    });
}

Compiled CompileTimeouts(const Line &line)
{
    const char *usage = "write 'timeouts' with any of interval=N multiplier=N constant=N write-multiplier=N "
                        "write-constant=N (milliseconds, or max; unnamed ones are 0)";
    COMMTIMEOUTS timeouts{};
    for (const Token &t : line.args) {
        size_t eq = t.text.find('=');
        auto value = eq == std::string::npos ? std::nullopt : ParseNumber(t.text.substr(eq + 1));
        std::string key = t.text.substr(0, eq);
        DWORD *slot = key == "interval"           ? &timeouts.ReadIntervalTimeout
                      : key == "multiplier"       ? &timeouts.ReadTotalTimeoutMultiplier
                      : key == "constant"         ? &timeouts.ReadTotalTimeoutConstant
                      : key == "write-multiplier" ? &timeouts.WriteTotalTimeoutMultiplier
                      : key == "write-constant"   ? &timeouts.WriteTotalTimeoutConstant
                                                  : nullptr;
        if (slot == nullptr || !value)
            return "'" + t.text + "' is not a timeout; " + usage;
        *slot = static_cast<DWORD>(*value);
    }
    return CallStep(line, [timeouts](ScenarioContext &, ComPort &port) {
        COMMTIMEOUTS set = timeouts;
        return CallResult{"SetCommTimeouts", port.Check(SetCommTimeouts(port.Handle(), &set)), "timeouts set"};
    });
}

Compiled CompileQueues(const Line &line)
{
    std::optional<unsigned long> in, out;
    if (line.args.size() == 2) {
        in = ParseNumber(line.args[0].text);
        out = ParseNumber(line.args[1].text);
    }
    if (!in || !out)
        return std::string("write 'queues IN OUT' (SetupComm's queue sizes in bytes)");
    return CallStep(line, [in = *in, out = *out](ScenarioContext &, ComPort &port) {
        return CallResult{"SetupComm", port.Check(SetupComm(port.Handle(), in, out)),
                          "queues " + std::to_string(in) + "/" + std::to_string(out)};
    });
}

Compiled CompileMask(const Line &line)
{
    auto mask = ParseFlags(line.args, kEventFlags, "events");
    if (auto *error = std::get_if<std::string>(&mask))
        return *error;
    unsigned long value = std::get<unsigned long>(mask);
    return CallStep(line, [value](ScenarioContext &, ComPort &port) {
        if (!port.Check(SetCommMask(port.Handle(), value)))
            return CallResult{"SetCommMask", false, ""};
        DWORD back = 0;
        if (!port.Check(GetCommMask(port.Handle(), &back)))
            return CallResult{"GetCommMask", false, ""};
        if (back != value)
            return CallResult{"SetCommMask", true, "GetCommMask reads back " + FlagsText(back, kEventFlags)};
        return CallResult{"SetCommMask", true, "mask " + FlagsText(value, kEventFlags)};
    });
}

Compiled CompileWait(const Line &line)
{
    if (!line.args.empty())
        return std::string("write 'wait' or 'wait expect EVENTS' (WaitCommEvent; the events returned include each one "
                           "listed)");
    unsigned long wanted = 0;
    bool wantError = false;
    std::optional<unsigned long> wantCode;
    if (line.hasExpect) {
        if (!line.expect.empty() && line.expect[0].IsWord("error")) {
            std::string why;
            auto expected = ParseCallExpectation(line.expect, &why);
            if (!expected)
                return why;
            wantError = true;
            wantCode = expected->error;
        } else {
            auto mask = ParseFlags(line.expect, kEventFlags, "events");
            if (auto *error = std::get_if<std::string>(&mask))
                return *error;
            wanted = std::get<unsigned long>(mask);
        }
    }
    return StepAction([wanted, wantError, wantCode](ScenarioContext &ctx) {
        ComPort &port = ctx.Port();
        if (!port.IsOpen())
            return NoPort();
        DWORD events = 0;
        bool ok = port.Check(WaitCommEvent(port.Handle(), &events, nullptr));
        if (wantError || !ok)
            return CheckCall("WaitCommEvent", ok, port.LastError(), {!wantError, wantCode},
                             "events " + FlagsText(events, kEventFlags));
        if ((events & wanted) != wanted)
            return StepOutcome::Fail("WaitCommEvent returned " + FlagsText(events, kEventFlags) + ", expected " +
                                     FlagsText(wanted, kEventFlags));
        return StepOutcome::Pass("events " + FlagsText(events, kEventFlags));
    });
}

Compiled CompileWrite(const Line &line)
{
    auto data = ParseData(line.args);
    if (auto *error = std::get_if<std::string>(&data))
        return *error;
    Bytes bytes = std::get<Bytes>(data);
    return CallStep(line, [bytes](ScenarioContext &, ComPort &port) {
        DWORD written = 0;
        bool ok = port.Write(bytes, &written);
        if (ok && written != bytes.size())
            return CallResult{"WriteFile", true,
                              "wrote " + std::to_string(written) + " of " + std::to_string(bytes.size()) + " bytes"};
        return CallResult{"WriteFile", ok, "wrote " + ShowBytes(bytes)};
    });
}

Compiled CompileRead(const Line &line)
{
    std::optional<unsigned long> count = line.args.size() == 1 ? ParseNumber(line.args[0].text) : std::nullopt;
    if (!count || *count == 0 || *count > (16ul << 20))
        return std::string("write 'read N [expect DATA|nothing|error [NAME]]' with N from 1 to 16777216");
    std::optional<Bytes> wanted;
    CallExpectation call;
    if (line.hasExpect) {
        if (!line.expect.empty() && (line.expect[0].IsWord("error") || line.expect[0].IsWord("ok"))) {
            std::string why;
            auto expected = ParseCallExpectation(line.expect, &why);
            if (!expected)
                return why;
            call = *expected;
        } else if (line.expect.size() == 1 && line.expect[0].IsWord("nothing")) {
            wanted = Bytes{};
        } else {
            auto data = ParseData(line.expect);
            if (auto *error = std::get_if<std::string>(&data))
                return *error;
            wanted = std::get<Bytes>(data);
        }
    }
    return StepAction([count = *count, wanted, call](ScenarioContext &ctx) {
        ComPort &port = ctx.Port();
        if (!port.IsOpen())
            return NoPort();
        Bytes data;
        bool ok = port.Read(count, &data);
        StepOutcome outcome = CheckCall("ReadFile", ok, port.LastError(), call, "read " + ShowBytes(data));
        if (!outcome.ok || !ok || !wanted)
            return outcome;
        if (data != *wanted)
            return StepOutcome::Fail("ReadFile returned " + ShowBytes(data) + "; expected " + ShowBytes(*wanted));
        return outcome;
    });
}

Compiled CompileModem(const Line &line)
{
    if (!line.args.empty() || !line.hasExpect)
        return std::string("write 'modem expect FLAGS' (dsr, cts, ring, rlsd) or 'modem expect none'");
    auto flags = ParseFlags(line.expect, kModemFlags, "modem lines");
    if (auto *error = std::get_if<std::string>(&flags))
        return *error;
    unsigned long wanted = std::get<unsigned long>(flags);
    return StepAction([wanted](ScenarioContext &ctx) {
        ComPort &port = ctx.Port();
        if (!port.IsOpen())
            return NoPort();
        DWORD status = 0;
        if (!port.Check(GetCommModemStatus(port.Handle(), &status)))
            return StepOutcome::Fail(port.Failure("GetCommModemStatus"));
        if (status != wanted)
            return StepOutcome::Fail("GetCommModemStatus returned " + FlagsText(status, kModemFlags) + ", expected " +
                                     FlagsText(wanted, kModemFlags));
        return StepOutcome::Pass(FlagsText(status, kModemFlags));
    });
}

Compiled CompileComstat(const Line &line)
{
    const char *usage = "write 'comstat' or 'comstat expect' with any of in=N out=N errors=FLAG[,FLAG]|none";
    if (!line.args.empty())
        return std::string(usage);
    std::optional<unsigned long> in, out, errors;
    for (const Token &t : line.expect) {
        size_t eq = t.text.find('=');
        if (eq == std::string::npos)
            return std::string(usage);
        std::string key = t.text.substr(0, eq), value = t.text.substr(eq + 1);
        if (key == "in" || key == "out") {
            auto n = ParseNumber(value);
            if (!n)
                return "'" + t.text + "': " + usage;
            (key == "in" ? in : out) = n;
        } else if (key == "errors") {
            std::vector<Token> words;
            for (size_t start = 0; start <= value.size();) {
                size_t comma = value.find(',', start);
                words.push_back({Token::Kind::Word, value.substr(start, comma - start)});
                start = comma == std::string::npos ? value.size() + 1 : comma + 1;
            }
            auto flags = ParseFlags(words, kCommErrors, "comm errors");
            if (auto *error = std::get_if<std::string>(&flags))
                return *error;
            errors = std::get<unsigned long>(flags);
        } else {
            return "unknown key '" + key + "'; " + usage;
        }
    }
    return StepAction([in, out, errors](ScenarioContext &ctx) {
        ComPort &port = ctx.Port();
        if (!port.IsOpen())
            return NoPort();
        DWORD got = 0;
        COMSTAT stat{};
        if (!port.Check(ClearCommError(port.Handle(), &got, &stat)))
            return StepOutcome::Fail(port.Failure("ClearCommError"));
        std::string shown = "in=" + std::to_string(stat.cbInQue) + " out=" + std::to_string(stat.cbOutQue) +
                            " errors=" + FlagsText(got, kCommErrors);
        if ((in && *in != stat.cbInQue) || (out && *out != stat.cbOutQue) || (errors && *errors != got))
            return StepOutcome::Fail("ClearCommError returned " + shown);
        return StepOutcome::Pass(shown);
    });
}

Compiled CompilePurge(const Line &line)
{
    auto flags = ParseFlags(line.args, kPurgeFlags, "purge flags");
    if (auto *error = std::get_if<std::string>(&flags))
        return *error;
    unsigned long value = std::get<unsigned long>(flags);
    return CallStep(line, [value](ScenarioContext &, ComPort &port) {
        return CallResult{"PurgeComm", port.Check(PurgeComm(port.Handle(), value)), FlagsText(value, kPurgeFlags)};
    });
}

Compiled CompileEscape(const Line &line)
{
    std::optional<unsigned long> function = line.args.size() == 1 ? FlagValue(line.args[0].text, kEscapeFunctions)
                                                                   : std::nullopt;
    if (!function)
        return "write 'escape FUNCTION' with FUNCTION one of " + FlagWords(kEscapeFunctions);
    std::string name = line.args[0].text;
    return CallStep(line, [f = *function, name](ScenarioContext &, ComPort &port) {
        return CallResult{"EscapeCommFunction", port.Check(EscapeCommFunction(port.Handle(), f)), name};
    });
}

// ---------------------------------------------------------------- the run itself
Compiled CompileTimeout(const Line &line)
{
    std::optional<unsigned long> ms = line.args.size() == 1 ? ParseNumber(line.args[0].text) : std::nullopt;
    if (!ms || *ms == 0 || line.hasExpect)
        return std::string("write 'timeout MS': how long one step may take before the run is declared hung");
    return StepAction([ms = *ms](ScenarioContext &ctx) {
        ctx.Dog().SetLimit(std::chrono::milliseconds(ms));
        return StepOutcome::Pass("a step may take up to " + std::to_string(ms) + " ms");
    });
}

Compiled CompileNote(const Line &line)
{
    if (line.args.empty() || line.hasExpect)
        return std::string("write 'note TEXT'");
    std::string text = Words(line.args);
    return StepAction([text](ScenarioContext &) { return StepOutcome::Pass(text); });
}

const StepSpec kSteps[] = {
    {"install", "install [PATH] [expect ok|error]", "stage the driver package, as pnputil /add-driver", CompileInstall},
    {"wire", "wire instant|full-speed", "the USB timing model (before the first plug)", CompileWire},
    {"plug", "plug", "plug the printer in and wait until Plug and Play is done with it", CompilePlug},
    {"unplug", "unplug", "pull the printer out (surprise removal)", CompileUnplug},
    {"state", "state expect STATE", "the device's state: started, stopped, surprise-removed, removed, disabled, failed", CompileState},
    {"port-name", "port-name expect COMn|none", "the device's PortName in its hardware key", CompilePortName},
    {"serialcomm", "serialcomm expect COMn...|none", "the ports listed in HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
     CompileSerialComm},
    {"pnp", "pnp ACTION [expect ok|fails]",
     "stop-restart, query-remove, cancel-remove, cancel-stop, disable, enable, uninstall", CompilePnp},
    {"sleep", "sleep S1|S2|S3 [expect ok|fails]", "put the machine to sleep", CompileSleep},
    {"resume", "resume", "wake the machine up", CompileResume},
    {"printer", "printer online|offline|stall out|in|nak out|in on|off|send DATA|status DATA",
     "what the printer does", CompilePrinter},
    {"printed", "printed expect DATA|nothing", "the bytes printed since the last 'printed'", CompilePrinted},
    {"open", "open [COMn] [expect ok|error [NAME]]", "CreateFile on the port (default: the printer's)", CompileOpen},
    {"close", "close [expect ...]", "CloseHandle", CompileClose},
    {"settings", "settings baud=N bits=N parity=P stop=S rtscts=on|off xonxoff=on|off [expect ...]",
     "GetCommState, change, SetCommState, read back", CompileSettings},
    {"timeouts", "timeouts interval=N multiplier=N constant=N write-multiplier=N write-constant=N [expect ...]",
     "SetCommTimeouts", CompileTimeouts},
    {"queues", "queues IN OUT [expect ...]", "SetupComm", CompileQueues},
    {"mask", "mask EVENTS|none [expect ...]", "SetCommMask (rxchar rxflag txempty cts dsr rlsd break err ring ...)",
     CompileMask},
    {"wait", "wait [expect EVENTS|error [NAME]]", "WaitCommEvent", CompileWait},
    {"write", "write DATA [expect ok|error [NAME]]", "WriteFile", CompileWrite},
    {"read", "read N [expect DATA|nothing|error [NAME]]", "ReadFile of up to N bytes", CompileRead},
    {"modem", "modem expect FLAGS|none", "GetCommModemStatus (dsr cts ring rlsd)", CompileModem},
    {"comstat", "comstat [expect in=N out=N errors=FLAGS|none]", "ClearCommError", CompileComstat},
    {"purge", "purge FLAGS [expect ...]", "PurgeComm (txabort rxabort txclear rxclear)", CompilePurge},
    {"escape", "escape FUNCTION [expect ...]", "EscapeCommFunction (setdtr clrdtr setrts ... setbreak clrbreak)",
     CompileEscape},
    {"timeout", "timeout MS", "how long a step may take before the run counts as hung (default 10000)",
     CompileTimeout},
    {"note", "note TEXT", "print TEXT in the run's output", CompileNote},
};

}  // namespace

std::variant<StepAction, std::string> CompileStep(const std::vector<Token> &tokens)
{
    const Token &verb = tokens.front();
    const StepSpec *spec = nullptr;
    for (const StepSpec &s : kSteps)
        if (verb.IsWord(s.verb))
            spec = &s;
    if (spec == nullptr) {
        std::string known;
        for (const StepSpec &s : kSteps)
            known += (known.empty() ? "" : ", ") + std::string(s.verb);
        return "unknown step '" + verb.text + "' (steps: " + known + ")";
    }
    Line line;
    for (size_t i = 1; i < tokens.size(); i++) {
        if (!line.hasExpect && tokens[i].IsWord("expect")) {
            line.hasExpect = true;
            continue;
        }
        (line.hasExpect ? line.expect : line.args).push_back(tokens[i]);
    }
    if (line.hasExpect && line.expect.empty())
        return std::string("nothing after 'expect'");
    Compiled compiled = spec->compile(line);
    if (auto *error = std::get_if<std::string>(&compiled))
        return std::string(spec->verb) + ": " + *error + "\n  usage: " + spec->syntax;
    return compiled;
}

std::string StepReference()
{
    std::ostringstream out;
    for (const StepSpec &s : kSteps)
        out << "  " << s.syntax << "\n      " << s.what << "\n";
    return out.str();
}

}  // namespace tarvik::sim
