// Ctrl-C (SIGINT) and SIGTERM turned into a request to stop. While an
// Interrupts object lives the two signals are blocked in every thread
// (create it before the simulated machine, whose threads inherit the mask)
// and one thread of its own waits for them, so no driver or simulator
// thread is ever interrupted. Long work checks Requested() between steps;
// loops that wait in poll() include Fd(), readable once a signal came. A
// second signal ends the process at once.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

namespace tarvik::sim {

class Interrupts {
public:
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts &) = delete;
    Interrupts &operator=(const Interrupts &) = delete;

    bool Requested() const { return signal_.load() != 0; }
    // The signal that arrived (SIGINT or SIGTERM), 0 if none.
    int Signal() const { return signal_.load(); }
    // Readable once a stop was requested.
    int Fd() const { return pipe_[0]; }

private:
    void Wait();

    sigset_t set_{};
    sigset_t oldMask_{};
    int pipe_[2] = {-1, -1};
    std::atomic<int> signal_{0};
    std::atomic<bool> closing_{false};
    std::thread waiter_;
};

}  // namespace tarvik::sim
