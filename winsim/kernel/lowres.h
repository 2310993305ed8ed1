// Low-resource simulation: makes drivers' allocations fail on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

enum class LowResourceMode {
    Off,
    // Each distinct call stack that reaches an allocation site fails once, the
    // first time it is seen; later calls through it succeed. Reproducible.
    Systematic,
    // Each allocation fails with the given probability, from a seeded generator.
    Random,
};

struct LowResourceReport {
    size_t sitesFailed = 0;            // distinct call stacks failed (systematic)
    size_t allocationsFailed = 0;      // all failures
    std::vector<std::string> sites;    // "tarvik_usb!StartDevice <- ..." per failed stack
};

// The mode belongs to the process, not to one machine: a systematic run goes
// on over fresh machines, each failing only the call stacks not failed before.
void SetLowResourceMode(LowResourceMode mode, double probability = 0.0, uint64_t seed = 1);
LowResourceReport GetLowResourceReport();

}  // namespace winsim
