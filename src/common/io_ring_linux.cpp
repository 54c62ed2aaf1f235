#include "common/io_ring.h"

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool openIoRing(IoRing& ring, unsigned entries, std::initializer_list<int> opcodes) {
    const char* off = std::getenv("ZEM_NO_IO_URING");
    if (off && *off && strcmp(off, "0") != 0) return false;
    ring.live = io_uring_queue_init(entries, &ring.ring, 0) == 0;
    if (!ring.live) return false;
    // A kernel with io_uring may still lack some of its calls: an older one, or a filter.
    io_uring_probe* probe = io_uring_get_probe_ring(&ring.ring);
    bool known = probe != nullptr;
    for (int opcode : opcodes) known = known && io_uring_opcode_supported(probe, opcode);
    if (probe) io_uring_free_probe(probe);
    if (!known) {
        io_uring_queue_exit(&ring.ring);
        ring.live = false;
    }
    return known;
}

void keepWorkersNearby(IoRing& ring) {
    const int cpu = sched_getcpu();
    if (cpu < 0 || cpu == ring.workersCpu) return;
    cpu_set_t here;
    CPU_ZERO(&here);
    CPU_SET(cpu, &here);
    // Refused before the thread's first batch has made its kernel threads: the next one asks
    // again.
    if (io_uring_register_iowq_aff(&ring.ring, sizeof here, &here) == 0) ring.workersCpu = cpu;
}

bool runQueued(IoRing& ring, unsigned queued,
               const std::function<void(uint64_t userData, int result)>& onCompletion) {
    unsigned submitted = 0;
    unsigned completed = 0;
    bool failed = false;
    while (completed < submitted || (!failed && submitted < queued)) {
        if (!failed && submitted < queued) {
            const int n = io_uring_submit(&ring.ring);
            if (n > 0) submitted += static_cast<unsigned>(n);
            // Busy or short of memory: what completes meanwhile makes room, if anything is
            // under way.
            const bool wait = (n == -EAGAIN || n == -EBUSY) && completed < submitted;
            if (n < 0 && n != -EINTR && !wait) failed = true;
            if (completed == submitted) continue;
        }
        io_uring_cqe* cqe = nullptr;
        const int waited = io_uring_wait_cqe(&ring.ring, &cqe);
        if (waited == -EINTR) continue;
        if (waited != 0) return false;  // nothing more can complete
        unsigned head = 0;
        unsigned seen = 0;
        io_uring_for_each_cqe(&ring.ring, head, cqe) {
            onCompletion(cqe->user_data, cqe->res);
            ++seen;
        }
        io_uring_cq_advance(&ring.ring, seen);
        completed += seen;
    }
    return !failed;
}
