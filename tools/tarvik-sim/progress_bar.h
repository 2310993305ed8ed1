// A progress bar for long work, redrawn in place on a terminal:
//   printing [##########..........]  51%  140.0 KiB of 274.0 KiB  1.21 MB/s
// On a pipe or a file nothing is drawn; the caller's summary line says it all.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarvik::sim {

class ProgressBar {
public:
    ProgressBar(std::string label, uint64_t total);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // Redraws at most every 100 ms, and always at the end.
    void Update(uint64_t done);
    void Finish();

    // The bar's text for `done` of `total` after `elapsed` (for the tests).
    static std::string Render(const std::string &label, uint64_t done, uint64_t total,
                              std::chrono::duration<double> elapsed);

private:
    std::string label_;
    uint64_t total_;
    uint64_t done_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDraw_{};
    bool finished_ = false;
};

// "274.0 KiB", "1.2 MiB", "512 bytes".
std::string ByteCount(uint64_t bytes);
// "1.21 MB/s" (decimal megabytes, as the wire's 1.216 MB/s).
std::string Rate(double bytesPerSecond);

}  // namespace tarvik::sim
