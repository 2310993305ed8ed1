// The progress bar (see progress_bar.h).
#include "progress_bar.h"

#include "console.h"

#include <cstdio>

namespace tarvik::sim {

std::string ByteCount(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else
        snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

std::string Rate(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond >= 1e6)
        snprintf(text, sizeof text, "%.2f MB/s", bytesPerSecond / 1e6);
    else
        snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    return text;
}

std::string ProgressBar::Render(const std::string &label, uint64_t done, uint64_t total,
                                std::chrono::duration<double> elapsed)
{
    constexpr int kWidth = 30;
    if (total == 0)  // size unknown (standard input)
        return label + " " + ByteCount(done) +
               (elapsed.count() > 0 && done > 0 ? "  " + Rate(static_cast<double>(done) / elapsed.count()) : "");
    double fraction = static_cast<double>(done) / static_cast<double>(total);
    if (fraction > 1.0)
        fraction = 1.0;
    int filled = static_cast<int>(fraction * kWidth);
    std::string bar = label + " [" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
    char percent[8];
    snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
    bar += percent;
    bar += "  " + ByteCount(done) + " of " + ByteCount(total);
    if (elapsed.count() > 0 && done > 0)
        bar += "  " + Rate(static_cast<double>(done) / elapsed.count());
    return bar;
}

ProgressBar::ProgressBar(std::string label, uint64_t total) : label_(std::move(label)), total_(total) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(uint64_t done)
{
    done_ = done;
    auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100) && done != total_)
        return;
    lastDraw_ = now;
    console::Status(Render(label_, done_, total_, now - start_));
}

void ProgressBar::Finish()
{
    if (finished_)
        return;
    finished_ = true;
    console::Status(Render(label_, done_, total_, std::chrono::steady_clock::now() - start_));
    console::EndStatus();
}

}  // namespace tarvik::sim
