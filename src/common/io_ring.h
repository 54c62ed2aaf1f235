#pragma once
// Batches of system calls that the kernel runs after one crossing into it (io_uring, through
// liburing), for the scan's stats and the reading of small files. On a machine where every system
// call pays for switching page tables, the crossings cost as much as the work of a stat or of a
// small read; a batch pays for one. Linux only. Where the kernel has no io_uring, turns it off
// (kernel.io_uring_disabled), a seccomp filter refuses it, or ZEM_NO_IO_URING=1 is set, no ring
// is opened and the callers make their calls one at a time: never a failure.

#include <liburing.h>

#include <cstdint>
#include <functional>
#include <initializer_list>

struct IoRing {
    io_uring ring{};
    bool live = false;    // set up, to be torn down
    int workersCpu = -1;  // where keepWorkersNearby last put the kernel's threads
    IoRing() = default;
    IoRing(const IoRing&) = delete;
    IoRing& operator=(const IoRing&) = delete;
    ~IoRing() {
        if (live) io_uring_queue_exit(&ring);
    }
};

// Sets the ring up with room for `entries` calls at once, if the kernel runs every one of the
// `opcodes` (IORING_OP_...) in it. False when there is to be no ring.
bool openIoRing(IoRing& ring, unsigned entries, std::initializer_list<int> opcodes);

// Keeps the kernel threads that run the calls the kernel can't make at once (the stats) on the
// CPU the calling thread runs on now. The caller only waits for them meanwhile, and in a virtual
// machine waking a thread on another CPU, and being woken from there, costs more than a batch of
// stats. Only a hint; made again only when the caller has moved. Each thread's calls have threads
// of their own.
void keepWorkersNearby(IoRing& ring);

// Submits the `queued` calls put in the ring's submission queue, waits for them, and hands each
// one's user data and result to onCompletion. False when the ring itself failed (never seen on a
// working kernel): some calls may not have run then, the ring is of no further use, and the
// caller makes its calls one at a time.
bool runQueued(IoRing& ring, unsigned queued,
               const std::function<void(uint64_t userData, int result)>& onCompletion);
