// Linux writeback pacing through sync_file_range.

#include <fcntl.h>

#include <cerrno>

#include "platform/writeback.h"

namespace {

// Writeback is started each time this much more has been written.
constexpr uint64_t kWritebackStep = uint64_t(8) << 20;

}  // namespace

bool paceWriteback(Writeback& writeback, intptr_t file, uint64_t written) {
    if (!writeback.available || written - writeback.started < kWritebackStep) return true;
    if (sync_file_range(static_cast<int>(file), static_cast<off64_t>(writeback.started),
                        static_cast<off64_t>(written - writeback.started),
                        SYNC_FILE_RANGE_WRITE) != 0) {
        if (errno == EIO || errno == ENOSPC) return false;
        writeback.available = false;  // a file system without it: the commit's sync does it all
        return true;
    }
    writeback.started = written;
    return true;
}
