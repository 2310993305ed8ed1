// The verifier's stop: a report that names the broken rule, the driver and
// where it happened, then the machine (the process) ends.
#include "internal.h"
#include "machine.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace winsim {

std::string Hex(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

namespace {

// Looks a code address up in the debug information of its image. Called only
// while the machine is stopping, so the cost of a child process does not matter.
std::string SymbolFromDebugInfo(const std::string &image, uintptr_t offset)
{
    std::string cmd = "addr2line -f -C -e '" + image + "' " + Hex(reinterpret_cast<void *>(offset)) + " 2>/dev/null";
    FILE *pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr)
        return {};
    char function[512] = {0}, line[512] = {0};
    if (fgets(function, sizeof function, pipe) == nullptr)
        function[0] = 0;
    if (fgets(line, sizeof line, pipe) == nullptr)
        line[0] = 0;
    pclose(pipe);
    std::string f(function), l(line);
    while (!f.empty() && (f.back() == '\n'))
        f.pop_back();
    while (!l.empty() && (l.back() == '\n'))
        l.pop_back();
    if (f.empty() || f == "??")
        return {};
    auto slash = l.rfind('/');
    if (slash != std::string::npos)
        l = l.substr(slash + 1);
    return l.empty() || l[0] == '?' ? f : f + " (" + l + ")";
}

}  // namespace

std::string DescribeAddress(const void *address)
{
    if (address == nullptr)
        return "?";
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return Hex(address);
    std::string image = info.dli_fname;
    std::string shortName = image.substr(image.rfind('/') + 1);
    if (const Module *m = ModuleFromAddress(address))
        shortName = m->name;
    // Return addresses point after the call; look up the call itself.
    uintptr_t offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase) - 1;
    std::string symbol = SymbolFromDebugInfo(image, offset);
    if (symbol.empty() && info.dli_sname != nullptr) {
        int status = 0;
        char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        symbol = status == 0 && demangled ? demangled : info.dli_sname;
        free(demangled);
    }
    return shortName + "!" + (symbol.empty() ? Hex(reinterpret_cast<void *>(offset)) : symbol);
}

void BugCheck(const char *rule, const std::string &detail, const void *caller)
{
    static std::atomic<bool> stopping{false};
    if (stopping.exchange(true)) {
        // Another thread is already writing the report.
        for (;;)
            pause();
    }
    std::ostringstream report;
    report << "\n*** STOP: winsim verifier: " << rule << "\n";
    report << "    " << detail << "\n";
    const Module *module = ModuleFromAddress(caller);
    report << "    driver: " << (module ? module->name : std::string("(not a driver)")) << "\n";
    if (caller)
        report << "    where:  " << DescribeAddress(caller) << "\n";
    void *frames[48];
    int n = backtrace(frames, 48);
    report << "    stack:\n";
    for (int i = 1; i < n; i++) {
        Dl_info info{};
        if (dladdr(frames[i], &info) == 0)
            continue;
        report << "      " << DescribeAddress(frames[i]) << "\n";
    }
    std::string text = report.str();
    fputs(text.c_str(), stderr);
    fflush(stderr);
    _exit(kBugCheckExitCode);
}


}  // namespace winsim

extern "C" VOID KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    char detail[160];
    snprintf(detail, sizeof detail, "KeBugCheckEx(0x%X, 0x%llX, 0x%llX, 0x%llX, 0x%llX) called by a driver", code, p1, p2,
             p3, p4);
    winsim::BugCheck("DRIVER_BUGCHECK", detail, __builtin_return_address(0));
}

extern "C" VOID KeBugCheck(ULONG code)
{
    char detail[80];
    snprintf(detail, sizeof detail, "KeBugCheck(0x%X) called by a driver", code);
    winsim::BugCheck("DRIVER_BUGCHECK", detail, __builtin_return_address(0));
}
