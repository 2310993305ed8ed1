// The hang guard (see watchdog.h).
#include "watchdog.h"

#include "console.h"
#include "exit_codes.h"

#include <unistd.h>

#include <cstdlib>

namespace tarvik::sim {

Watchdog::Watchdog(std::chrono::milliseconds limit)
    : limit_(limit), watcher_([this](std::stop_token stop) { Watch(stop); })
{
}

Watchdog::~Watchdog()
{
    watcher_.request_stop();
    changed_.notify_all();
}

void Watchdog::SetLimit(std::chrono::milliseconds limit)
{
    std::lock_guard<std::mutex> lock(lock_);
    limit_ = limit;
}

std::chrono::milliseconds Watchdog::Limit() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return limit_;
}

Watchdog::Armed Watchdog::Arm(const std::string &step)
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        step_ = step;
        deadline_ = std::chrono::steady_clock::now() + limit_;
    }
    changed_.notify_all();
    return Armed(*this);
}

void Watchdog::Disarm()
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        step_.reset();
    }
    changed_.notify_all();
}

void Watchdog::Watch(std::stop_token stop)
{
    std::unique_lock<std::mutex> lock(lock_);
    while (!stop.stop_requested()) {
        if (!step_) {
            changed_.wait(lock, stop, [this] { return step_.has_value(); });
            continue;
        }
        auto deadline = deadline_;
        if (changed_.wait_until(lock, stop, deadline, [&] { return !step_ || deadline_ != deadline; }))
            continue;
        if (stop.stop_requested())
            break;
        console::Error("tarvik-sim: \"" + *step_ + "\" did not finish within " + std::to_string(limit_.count()) +
                       " ms; the port or the machine hangs. (The limit is set by $TARVIK_SIM_STEP_TIMEOUT_MS"
                       " or a scenario's 'timeout' step.)");
        _exit(kExitFailed);
    }
}

std::chrono::milliseconds Watchdog::LimitFromEnvironment(std::chrono::milliseconds fallback)
{
    const char *value = std::getenv("TARVIK_SIM_STEP_TIMEOUT_MS");
    if (value == nullptr || *value == '\0')
        return fallback;
    char *end = nullptr;
    long ms = std::strtol(value, &end, 10);
    return (*end == '\0' && ms > 0) ? std::chrono::milliseconds(ms) : fallback;
}

}  // namespace tarvik::sim
