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
