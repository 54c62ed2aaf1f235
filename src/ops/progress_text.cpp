#include "ops/progress_text.h"

#include <cstdio>
#include <memory>

namespace {

// Both amounts in the unit of the total, so the two numbers compare at a glance.
std::string amountPair(uint64_t done, uint64_t total) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (total < 1024) return std::to_string(done) + " of " + std::to_string(total) + " bytes";
    double scale = 1024;
    size_t unit = 0;
    while (unit + 1 < sizeof kUnits / sizeof kUnits[0] &&
           static_cast<double>(total) >= scale * 1024) {
        scale *= 1024;
        ++unit;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%.1f of %.1f %s", static_cast<double>(done) / scale,
                  static_cast<double>(total) / scale, kUnits[unit]);
    return text;
}

// One line on standard error, redrawn in place with a carriage return; ended by a line break when
// the display closes, so later messages start on a line of their own.
struct TerminalProgress : ProgressDisplay {
    explicit TerminalProgress(const std::string& shownLabel) : label(shownLabel) {}

    std::string label;
    UpdateThrottle throttle;
    size_t shownLength = 0;
    bool shown = false;

    void update(const WriteProgress& progress) override {
        if (!throttle.due(progress, std::chrono::steady_clock::now())) return;
        std::string line = label + ": " + progressText(progress) + " (" +
                           std::to_string(progressPercent(progress)) + "%)";
        const size_t length = line.size();
        // Blanks over what is left of a longer previous line.
        if (length < shownLength) line.append(shownLength - length, ' ');
        shownLength = length;
        std::fprintf(stderr, "\r%s", line.c_str());
        std::fflush(stderr);
        shown = true;
    }

    ~TerminalProgress() override {
        if (!shown) return;
        std::fprintf(stderr, "\n");
        std::fflush(stderr);
    }
};

}  // namespace

std::string progressText(const WriteProgress& progress) {
    return std::to_string(progress.filesDone) + " of " + std::to_string(progress.fileCount) +
           " files, " + amountPair(progress.bytesDone, progress.byteCount);
}

int progressPercent(const WriteProgress& progress) {
    uint64_t done = progress.bytesDone;
    uint64_t total = progress.byteCount;
    if (total == 0) {
        done = progress.filesDone;
        total = progress.fileCount;
    }
    if (total == 0 || done >= total) return 100;
    // Truncated, so 100 appears only when everything is done.
    return static_cast<int>(static_cast<double>(done) * 100 / static_cast<double>(total));
}

bool UpdateThrottle::due(const WriteProgress& progress, std::chrono::steady_clock::time_point now) {
    const bool final = progress.filesDone >= progress.fileCount;
    if (started && !final && now - last < interval) return false;
    started = true;
    last = now;
    return true;
}

std::unique_ptr<ProgressDisplay> startTerminalProgress(const std::string& label) {
    return std::make_unique<TerminalProgress>(label);
}
