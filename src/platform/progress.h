#pragma once
// How far the writer has come, for a progress display. The writer reports before the first file,
// after each file, and within a large file after each piece (filesDone unchanged, bytesDone
// counting the piece); a display may throw Cancelled (common/fatal_error.h) from update() to stop
// the run.

#include <cstdint>

#include "common/fatal_error.h"

// A display moves a few times a second on a large file, reported at the end of each piece of this
// size.
constexpr uint64_t kProgressPiece = uint64_t(8) << 20;

struct WriteProgress {
    uint64_t filesDone = 0;
    uint64_t fileCount = 0;
    // File data only: the header, index and records are too small to matter.
    uint64_t bytesDone = 0;
    uint64_t byteCount = 0;
};

struct ProgressDisplay {
    virtual ~ProgressDisplay() = default;
    virtual void update(const WriteProgress& progress) = 0;
};

// The counting both the writer and extraction report by: the start, each piece boundary crossed
// inside a file (but at its end, which the file's own report follows), and each file done.
// Without a display nothing is reported; a display may throw Cancelled from any report.
struct ProgressCount {
    ProgressDisplay* display = nullptr;
    WriteProgress done;
    uint64_t ofFile = 0;  // bytes of the current file reported to progressWithin so far
};

inline void startProgress(ProgressCount& count, ProgressDisplay* display, uint64_t fileCount,
                          uint64_t byteCount) {
    count.display = display;
    count.done = WriteProgress{};
    count.done.fileCount = fileCount;
    count.done.byteCount = byteCount;
    count.ofFile = 0;
    if (display) display->update(count.done);
}

// `ofFile` bytes of the current file, of `size` in all, are written.
inline void progressWithin(ProgressCount& count, uint64_t ofFile, uint64_t size) {
    const uint64_t before = count.ofFile;
    count.ofFile = ofFile;
    if (!count.display || ofFile >= size || ofFile / kProgressPiece == before / kProgressPiece) {
        return;
    }
    WriteProgress partial = count.done;
    partial.bytesDone += ofFile;
    count.display->update(partial);
}

inline void progressFileDone(ProgressCount& count, uint64_t size) {
    ++count.done.filesDone;
    count.done.bytesDone += size;
    count.ofFile = 0;
    if (count.display) count.display->update(count.done);
}
