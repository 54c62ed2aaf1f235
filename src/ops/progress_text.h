#pragma once
// What a progress display shows, the same in every display.

#include <chrono>
#include <memory>
#include <string>

#include "platform/progress.h"

// "3 of 10 files, 12.5 of 256.0 MiB": files and bytes done of the total, the bytes in the unit
// that suits the total.
std::string progressText(const WriteProgress& progress);

// Share done, 0 to 100, by bytes; by files when there are no bytes; 100 when there is nothing.
int progressPercent(const WriteProgress& progress);

// Keeps a display to a few updates a second: the first update and the last (all files done)
// always pass, the others only when `interval` has gone by since the last one that passed.
struct UpdateThrottle {
    std::chrono::steady_clock::duration interval = std::chrono::milliseconds(250);
    bool started = false;
    std::chrono::steady_clock::time_point last{};
    bool due(const WriteProgress& progress, std::chrono::steady_clock::time_point now);
};

// The progress line on standard error that a terminal shows: the label ("Writing: ") and the text
// above with the share done, redrawn in place a few times a second, ended by a line break when it
// closes.
std::unique_ptr<ProgressDisplay> startTerminalProgress(const std::string& label = "Writing");
