// The simulated machine's trace, tapped for the tool: with --trace every line
// is printed (one per request as it passes each device object, plus driver
// loads and device arrivals); an observer may watch the lines as well, for
// instance to narrate the drivers being loaded.
#pragma once

#include <functional>
#include <string>

namespace tarvik::sim {

class TraceTap {
public:
    using Observer = std::function<void(const std::string &)>;
    // Taps the machine's trace while the object lives.
    TraceTap(bool print, Observer observer = {});
    ~TraceTap();
    TraceTap(const TraceTap &) = delete;
    TraceTap &operator=(const TraceTap &) = delete;
};

}  // namespace tarvik::sim
