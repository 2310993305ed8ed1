// tarvik-sim demo: a simulated machine at work, narrated step by step.
#include "commands.h"
#include "narrator.h"

#include <harness.h>
#include <windows.h>

namespace tarvik::sim {

const char kDemoHelp[] =
    "usage: tarvik-sim [--trace] demo\n"
    "\n"
    "Boots a simulated Windows machine, loads test drivers and stacks them on a\n"
    "device, opens the device as an application would, sends a write and a\n"
    "control request down the stack and back, closes it, and shuts the machine\n"
    "down with the verifier's verdict.\n";

int RunDemo(const GlobalOptions &options)
{
    Narrator say(options.trace);
    say.Step("Booting a simulated Windows 10 machine");
    winsim::harness::TestMachine machine;

    say.Step("Building a device stack: a root-enumerated PDO, the 'sink' function driver, two 'passthru' filters");
    PDEVICE_OBJECT pdo = machine.BuildStack("ROOT\\DEMO\\0000", {"sink", "passthru", "passthru"});
    if (pdo == nullptr)
        return say.Fail("the drivers could not be loaded or attached");
    say.Detail("stack, top first:");
    for (const std::string &line : winsim::harness::DescribeStack(pdo))
        say.Detail("  " + line);
    machine.CreateLink("\\??\\DEMO0", pdo);
    say.Detail("symbolic link \\??\\DEMO0 -> the PDO, so applications can open \\\\.\\DEMO0");

    say.Step("An application opens \\\\.\\DEMO0 and writes 64 bytes");
    HANDLE h = CreateFileA("\\\\.\\DEMO0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return say.Fail("CreateFile failed with error " + std::to_string(GetLastError()));
    char data[64] = "a request travelling down the stack and back";
    DWORD written = 0;
    if (!WriteFile(h, data, sizeof data, &written, nullptr))
        return say.Fail("WriteFile failed with error " + std::to_string(GetLastError()));
    say.Detail("WriteFile wrote " + std::to_string(written) + " bytes");

    say.Step("It sends a buffered control request and reads the answer back");
    char in[16] = "ping", out[16] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), in, sizeof in,
                         out, sizeof out, &returned, nullptr))
        return say.Fail("DeviceIoControl failed with error " + std::to_string(GetLastError()));
    say.Detail("DeviceIoControl returned " + std::to_string(returned) + " bytes: \"" + out + "\"");

    say.Step("It closes the handle (cleanup, then close, travel down the stack)");
    CloseHandle(h);

    say.Step("Shutting the machine down: devices removed, drivers unloaded, leaks checked");
    auto findings = machine.Shutdown();
    return say.Verdict(findings);
}

}  // namespace tarvik::sim
