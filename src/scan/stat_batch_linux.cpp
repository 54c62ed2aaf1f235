#include "scan/stat_batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

#include "common/io_ring.h"

namespace {

constexpr unsigned kRingEntries = 256;

}  // namespace

StatBatcher::StatBatcher() = default;
StatBatcher::~StatBatcher() = default;

bool statInBatches(StatBatcher& batcher, int folder, const std::vector<const char*>& names,
                   std::vector<EntryStat>& stats) {
    if (!batcher.setUp) {
        batcher.setUp = true;
        batcher.ring = std::make_unique<IoRing>();
        if (!openIoRing(*batcher.ring, kRingEntries, {IORING_OP_STATX})) batcher.ring.reset();
    }
    if (!batcher.ring) return false;
    keepWorkersNearby(*batcher.ring);
    stats.assign(names.size(), EntryStat());
    std::vector<struct statx> results(std::min<size_t>(names.size(), kRingEntries));
    for (size_t first = 0; first < names.size(); first += kRingEntries) {
        const size_t count = std::min<size_t>(kRingEntries, names.size() - first);
        for (size_t i = 0; i < count; ++i) {
            io_uring_sqe* sqe = io_uring_get_sqe(&batcher.ring->ring);
            io_uring_prep_statx(sqe, folder, names[first + i], 0,
                                STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME, &results[i]);
            io_uring_sqe_set_data64(sqe, i);
        }
        const bool ran =
            runQueued(*batcher.ring, static_cast<unsigned>(count), [&](uint64_t i, int result) {
                if (result != 0) return;  // as a failed fstatat
                const struct statx& x = results[i];
                EntryStat& stat = stats[first + i];
                stat.found = true;
                stat.mode = x.stx_mode;
                stat.device = makedev(x.stx_dev_major, x.stx_dev_minor);
                stat.inode = x.stx_ino;
                stat.size = x.stx_size;
                stat.modifiedSeconds = x.stx_mtime.tv_sec;
            });
        if (!ran) {
            batcher.ring.reset();  // a ring that failed once is not trusted again
            stats.clear();
            return false;
        }
    }
    return true;
}
