// Runs a command on a machine whose system calls cost more: before it execs the command, it
// installs seccomp filters that every system call of the command (and of its children and
// threads) must run through. Each filter first loads the call's first argument, so that the
// kernel can't cache a verdict per call number, then adds to it as many times as asked, then
// allows the call. About a thousand instructions in all cost a microsecond or so per call.
//
//   dear-calls INSTRUCTIONS COMMAND [ARG...]
//   dear-calls INSTRUCTIONS --call-cost   prints the cost of one system call, in microseconds,
//                                         measured with that many instructions in the way
//
// Needs no privilege: PR_SET_NO_NEW_PRIVS lets any process install filters.

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A filter holds at most 4,096 instructions, and all of a process's filters 32,768 in all.
constexpr long kPerFilter = 4000;
constexpr long kMaxInstructions = 28000;

bool installFilter(long adds) {
    std::vector<sock_filter> program;
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    for (long i = 0; i < adds; ++i) program.push_back(BPF_STMT(BPF_ALU | BPF_ADD | BPF_K, 1));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(program.size());
    fprog.filter = program.data();
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog, 0, 0) == 0;
}

// The median over a few rounds of the time one getppid takes, in microseconds.
double callCost() {
    constexpr int kCalls = 200000;
    std::vector<double> rounds;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCalls; ++i) syscall(SYS_getppid);
        const std::chrono::duration<double, std::micro> took =
            std::chrono::steady_clock::now() - start;
        rounds.push_back(took.count() / kCalls);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: dear-calls INSTRUCTIONS (COMMAND [ARG...] | --call-cost)\n");
        return 2;
    }
    char* end = nullptr;
    const long instructions = strtol(argv[1], &end, 10);
    if (*end != '\0' || instructions < 0 || instructions > kMaxInstructions) {
        fprintf(stderr, "dear-calls: INSTRUCTIONS must be 0 to %ld\n", kMaxInstructions);
        return 2;
    }
    if (instructions > 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        perror("dear-calls: PR_SET_NO_NEW_PRIVS");
        return 1;
    }
    for (long left = instructions; left > 0; left -= kPerFilter) {
        if (!installFilter(std::min(left, kPerFilter))) {
            perror("dear-calls: installing a seccomp filter");
            return 1;
        }
    }
    if (strcmp(argv[2], "--call-cost") == 0) {
        printf("%.3f\n", callCost());
        return 0;
    }
    execvp(argv[2], argv + 2);
    fprintf(stderr, "dear-calls: cannot run %s: %s\n", argv[2], strerror(errno));
    return 127;
}
