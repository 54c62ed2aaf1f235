#include "archive/batch_read.h"

#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/input_file.h"
#include "archive/input_reader.h"

namespace {

// A round is the files whose last step fits the queue: a read and a close each.
constexpr unsigned kRingEntries = 128;
constexpr size_t kRoundFiles = kRingEntries / 2;

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

bool ioUringTurnedOff() {
    const char* value = std::getenv("ZEM_NO_IO_URING");
    return value && *value && strcmp(value, "0") != 0;
}

}  // namespace

struct BatchReader::Ring {
    io_uring ring{};
    bool live = false;  // set up, to be torn down
    // The round's files: their descriptors (-1 when not open), what their check found, and
    // whether the one-at-a-time path must read them after all.
    int fds[kRoundFiles];
    struct statx stats[kRoundFiles];
    bool alone[kRoundFiles];
    bool closeFailed[kRoundFiles];
    Ring() = default;
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;
    ~Ring() {
        if (live) io_uring_queue_exit(&ring);
    }
};

namespace {

// A ring whose every call this file makes is known to the kernel, or null. Any refusal (no
// io_uring in this kernel, turned off by kernel.io_uring_disabled, refused by a seccomp filter,
// out of locked memory) just means reading one file at a time.
std::unique_ptr<BatchReader::Ring> openRing() {
    if (ioUringTurnedOff()) return nullptr;
    auto ring = std::make_unique<BatchReader::Ring>();
    ring->live = io_uring_queue_init(kRingEntries, &ring->ring, 0) == 0;
    if (!ring->live) return nullptr;
    io_uring_probe* probe = io_uring_get_probe_ring(&ring->ring);
    const bool known = probe && io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                       io_uring_opcode_supported(probe, IORING_OP_STATX) &&
                       io_uring_opcode_supported(probe, IORING_OP_READ) &&
                       io_uring_opcode_supported(probe, IORING_OP_CLOSE);
    if (probe) io_uring_free_probe(probe);
    return known ? std::move(ring) : nullptr;
}

// Calls `onCompletion(userData, result)` for each of `queued` calls put in the submission queue,
// submitting them and waiting as needed. False when the ring failed in a way that leaves some of
// them unsubmitted (never seen on a working kernel); the submitted ones have completed then too.
template <typename OnCompletion>
bool complete(io_uring& ring, unsigned queued, const OnCompletion& onCompletion) {
    unsigned submitted = 0;
    unsigned completed = 0;
    bool failed = false;
    while (completed < submitted || (!failed && submitted < queued)) {
        if (!failed && submitted < queued) {
            const int n = io_uring_submit(&ring);
            if (n > 0) submitted += static_cast<unsigned>(n);
            // Busy or short of memory: what completes meanwhile makes room.
            if (n < 0 && n != -EINTR && n != -EAGAIN && n != -EBUSY) failed = true;
            if (completed == submitted) continue;
        }
        io_uring_cqe* cqe = nullptr;
        const int waited = io_uring_wait_cqe(&ring, &cqe);
        if (waited == -EINTR) continue;
        if (waited != 0) return false;  // the ring itself is gone: nothing more will complete
        unsigned head = 0;
        unsigned seen = 0;
        io_uring_for_each_cqe(&ring, head, cqe) {
            onCompletion(cqe->user_data, cqe->res);
            ++seen;
        }
        io_uring_cq_advance(&ring, seen);
        completed += seen;
    }
    return !failed;
}

// One round through the ring: opens, checks, reads and closes. Marks `alone` what it couldn't
// settle and `closeFailed` what it couldn't close. False when the ring failed; every file it
// opened is closed then.
bool readRound(BatchReader::Ring& r, const BatchFile* files, size_t count) {
    io_uring& ring = r.ring;
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
    // A path past PATH_MAX, or too many open files, is for the one-at-a-time path.
    bool working = complete(ring, static_cast<unsigned>(count), [&](uint64_t i, int result) {
        if (result >= 0) r.fds[i] = result;
        r.alone[i] = result < 0;
    });

    unsigned queued = 0;
    for (size_t i = 0; working && i < count; ++i) {
        if (r.fds[i] < 0) continue;
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);
        io_uring_prep_statx(sqe, r.fds[i], "", AT_EMPTY_PATH, STATX_TYPE, &r.stats[i]);
        io_uring_sqe_set_data64(sqe, i);
        ++queued;
    }
    if (working) {
        working = complete(ring, queued, [&](uint64_t i, int result) {
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
        working = complete(ring, queued, [&](uint64_t data, int result) {
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
        reader.ring = openRing();
        reader.setUp = true;
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
