#pragma once
// The scan's stats in batches (Linux): the entries of a folder that need a stat get theirs through
// io_uring, many per crossing into the kernel (common/io_ring.h), which runs them on threads of
// its own. Where there is no ring, the caller stats them itself.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

struct IoRing;

// What a stat that follows links tells of one entry, as far as the scan needs it.
struct EntryStat {
    bool found = false;  // false: a dangling link, or gone since the listing
    mode_t mode = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
};

// The kernel's queues for the scan's stats, set up at the first batch.
struct StatBatcher {
    std::unique_ptr<IoRing> ring;  // null: none to be had
    bool setUp = false;
    StatBatcher();
    StatBatcher(const StatBatcher&) = delete;
    StatBatcher& operator=(const StatBatcher&) = delete;
    ~StatBatcher();
};

// Stats the entries `names` of the open folder, following links, into `stats`, one for each
// name. False, with nothing filled in, where there is no ring.
bool statInBatches(StatBatcher& batcher, int folder, const std::vector<const char*>& names,
                   std::vector<EntryStat>& stats);
