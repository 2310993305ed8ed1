// Low-resource simulation. Only calls made by driver code are failed, never the
// simulator's own allocations; a call stack is identified by the driver frames
// in it (module and offset), so runs are reproducible across address layouts.
#include "lowres.h"

#include "internal.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <random>
#include <set>

namespace winsim {
namespace {

struct LowResourceState {
    std::mutex lock;
    LowResourceMode mode = LowResourceMode::Off;
    double probability = 0;
    std::mt19937_64 random;
    std::set<std::string> seen;
    LowResourceReport report;
};

LowResourceState &State()
{
    static LowResourceState state;
    return state;
}

// The driver frames of the current call stack, innermost first.
std::string StackSignature(const char *site, std::vector<const void *> *frames)
{
    void *raw[64];
    int n = backtrace(raw, 64);
    std::string signature = site;
    for (int i = 0; i < n; i++) {
        const Module *m = ModuleFromAddress(raw[i]);
        if (m == nullptr)
            continue;
        char buf[64];
        snprintf(buf, sizeof buf, "|%s+%lx", m->name.c_str(),
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(raw[i]) - m->base));
        signature += buf;
        frames->push_back(raw[i]);
    }
    return signature;
}

}  // namespace

void SetLowResourceMode(LowResourceMode mode, double probability, uint64_t seed)
{
    auto &s = State();
    std::lock_guard<std::mutex> lock(s.lock);
    s.mode = mode;
    s.probability = probability;
    s.random.seed(seed);
    s.seen.clear();
    s.report = {};
}

LowResourceReport GetLowResourceReport()
{
    auto &s = State();
    std::lock_guard<std::mutex> lock(s.lock);
    return s.report;
}

bool ShouldFailAllocation(const char *site, const void *caller)
{
    auto &s = State();
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.mode == LowResourceMode::Off)
            return false;
    }
    if (ModuleFromAddress(caller) == nullptr)
        return false;
    std::vector<const void *> frames;
    std::string signature = StackSignature(site, &frames);
    std::lock_guard<std::mutex> lock(s.lock);
    bool fail = false;
    if (s.mode == LowResourceMode::Systematic) {
        fail = s.seen.insert(signature).second;
        if (fail) {
            s.report.sitesFailed++;
            std::string where = site;
            for (const void *f : frames)
                where += " <- " + DescribeAddress(f);
            s.report.sites.push_back(where);
        }
    } else if (s.mode == LowResourceMode::Random) {
        fail = std::uniform_real_distribution<double>(0, 1)(s.random) < s.probability;
    }
    if (fail)
        s.report.allocationsFailed++;
    return fail;
}

}  // namespace winsim
