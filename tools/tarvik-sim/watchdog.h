// A guard against hangs: while a step is armed, a watcher thread waits for
// it to end; if it does not end within the limit, the tool says which step
// hung and exits with status 1 (a simulated machine with a thread stuck in a
// driver cannot be shut down cleanly). Whatever the printer received is
// already on disk when a spool file is in use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tarvik::sim {

class Watchdog {
public:
    explicit Watchdog(std::chrono::milliseconds limit);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    void SetLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds Limit() const;

    // Arms the watchdog for one step until the returned guard goes.
    class Armed {
    public:
        explicit Armed(Watchdog &dog) : dog_(dog) {}
        ~Armed() { dog_.Disarm(); }
        Armed(const Armed &) = delete;
        Armed &operator=(const Armed &) = delete;

    private:
        Watchdog &dog_;
    };
    [[nodiscard]] Armed Arm(const std::string &step);

    // The limit from $TARVIK_SIM_STEP_TIMEOUT_MS, or `fallback`.
    static std::chrono::milliseconds LimitFromEnvironment(std::chrono::milliseconds fallback);

private:
    void Disarm();
    void Watch(std::stop_token stop);

    mutable std::mutex lock_;
    std::condition_variable_any changed_;
    std::chrono::milliseconds limit_;
    std::optional<std::string> step_;
    std::chrono::steady_clock::time_point deadline_;
    std::jthread watcher_;
};

}  // namespace tarvik::sim
