#include "archive/batch_read.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "archive/input_file.h"
#include "archive/input_reader.h"
#include "common/io_ring.h"

namespace {

// A round is the files whose last step fits the queue: a read and a close each.
constexpr unsigned kRingEntries = 128;
constexpr size_t kRoundFiles = kRingEntries / 2;

// A round holds a descriptor for each of its files at once, and two threads read rounds: under a
// descriptor limit below this, files are read one at a time, holding one each, as a limit that
// tight leaves no room for more.
constexpr rlim_t kMinDescriptorLimit = 8 * kRoundFiles;

// What a completion belongs to: the file's index in the round, and for the last step which of
// its two calls.
constexpr uint64_t kCloseTag = uint64_t(1) << 32;

// Reads one file with a call for each step. The failure's text, or an empty string.
std::string readAlone(const BatchFile& file) {
    InputFile in;
    if (!openInputFile(*file.path, in)) return inputOpenError(*file.path);
    const size_t length = static_cast<size_t>(file.size);
    if (readInputFile(in, file.into, length) != length || !closeInputFile(in)) {
        return inputReadError(*file.path);
    }
    return std::string();
}

}  // namespace

struct BatchReader::Ring {
    IoRing io;
    // The round's files: their descriptors (-1 when not open), what their check found, and
    // whether the one-at-a-time path must read them after all.
    int fds[kRoundFiles];
    struct statx stats[kRoundFiles];
    bool alone[kRoundFiles];
    bool closeFailed[kRoundFiles];
};

namespace {

// One round through the ring: opens, checks, reads and closes. Marks `alone` what it couldn't
// settle and `closeFailed` what it couldn't close. False when the ring failed; every file it
// opened is closed then.
bool readRound(BatchReader::Ring& r, const BatchFile* files, size_t count) {
    io_uring& ring = r.io.ring;
    for (size_t i = 0; i < count; ++i) {
        r.fds[i] = -1;
        r.alone[i] = false;
        r.closeFailed[i] = false;
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        // As openInputFile opens: never blocking on something that isn't a regular file.
        io_uring_prep_openat(sqe, AT_FDCWD, files[i].path->c_str(),
                             O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
        io_uring_sqe_set_data64(sqe, i);
    }
    // A path past PATH_MAX, or no descriptor to spare, is for the one-at-a-time path.
    bool working = runQueued(r.io, static_cast<unsigned>(count), [&](uint64_t i, int result) {
        if (result >= 0) r.fds[i] = result;
        r.alone[i] = result < 0;
    });

    unsigned queued = 0;
    keepWorkersNearby(r.io);
    for (size_t i = 0; working && i < count; ++i) {
        if (r.fds[i] < 0) continue;
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        io_uring_prep_statx(sqe, r.fds[i], "", AT_EMPTY_PATH, STATX_TYPE, &r.stats[i]);
        io_uring_sqe_set_data64(sqe, i);
        ++queued;
    }
    if (working) {
        working = runQueued(r.io, queued, [&](uint64_t i, int result) {
            if (result != 0 || !S_ISREG(r.stats[i].stx_mode)) r.alone[i] = true;
        });
    }

    queued = 0;
    for (size_t i = 0; working && i < count; ++i) {
        if (r.fds[i] < 0) continue;
        if (!r.alone[i] && files[i].size > 0) {
            io_uring_sqe* sqe = io_uring_get_sqe(&ring);
            io_uring_prep_read(sqe, r.fds[i], files[i].into, static_cast<unsigned>(files[i].size),
                               0);
            // The close follows the read whatever the read's result.
            sqe->flags |= IOSQE_IO_HARDLINK;
            io_uring_sqe_set_data64(sqe, i);
            ++queued;
        }
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        io_uring_prep_close(sqe, r.fds[i]);
        io_uring_sqe_set_data64(sqe, i | kCloseTag);
        ++queued;
    }
    if (working) {
        working = runQueued(r.io, queued, [&](uint64_t data, int result) {
            const size_t i = static_cast<size_t>(data & (kCloseTag - 1));
            if (data & kCloseTag) {
                if (result == 0) r.fds[i] = -1;
                r.closeFailed[i] = result != 0;
            } else if (result < 0 || static_cast<uint64_t>(result) != files[i].size) {
                r.alone[i] = true;  // a short read or a failed one: read afresh to decide
            }
        });
    }
    if (!working) {
        // The round is read again one file at a time; what the ring left open goes (only read
        // from: closing can lose nothing).
        for (size_t i = 0; i < count; ++i) {
            if (r.fds[i] >= 0 && !r.closeFailed[i]) close(r.fds[i]);
        }
    }
    return working;
}

}  // namespace

BatchReader::BatchReader() = default;
BatchReader::~BatchReader() = default;

bool readsInBatches(BatchReader& reader) {
    if (!reader.setUp) {
        reader.setUp = true;
        reader.ring = std::make_unique<BatchReader::Ring>();
        rlimit descriptors{};
        const bool roomy = getrlimit(RLIMIT_NOFILE, &descriptors) == 0 &&
                           descriptors.rlim_cur >= kMinDescriptorLimit;
        if (!roomy ||
            !openIoRing(reader.ring->io, kRingEntries,
                        {IORING_OP_OPENAT, IORING_OP_STATX, IORING_OP_READ, IORING_OP_CLOSE})) {
            reader.ring.reset();
        }
    }
    return reader.ring != nullptr;
}

size_t readBatch(BatchReader& reader, const BatchFile* files, size_t count, std::string& error) {
    for (size_t first = 0; first < count; first += kRoundFiles) {
        const size_t roundCount = std::min(kRoundFiles, count - first);
        const BatchFile* round = files + first;
        bool batched = readsInBatches(reader);
        if (batched && !readRound(*reader.ring, round, roundCount)) {
            reader.ring.reset();  // a ring that failed once is not trusted again
            batched = false;
        }
        for (size_t i = 0; i < roundCount; ++i) {
            if (!batched || reader.ring->alone[i]) {
                error = readAlone(round[i]);
            } else if (reader.ring->closeFailed[i]) {
                error = inputReadError(*round[i].path);
            }
            if (!error.empty()) return first + i;
        }
    }
    return count;
}
