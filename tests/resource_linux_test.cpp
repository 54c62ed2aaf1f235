// Guards against slow paths coming back, without timing anything: the executable runs under
// ptrace, which counts the system calls of all its threads, and just before it exits the kernel's
// own counters are read from /proc: its peak resident memory (VmHWM) and its number of write-type
// system calls (syscw, which counts write, pwrite, writev, sendfile and copy_file_range alike).

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

struct Traced {
    bool ptraceRefused = false;
    int exitCode = -1;
    long peakRssKiB = -1;
    long writeCalls = -1;
    long systemCalls = 0;  // of every thread, from the exec on
};

std::string drainFd(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
}

// Runs the program with `input` on its standard input and reads its counters at its exit.
Traced runTraced(const std::vector<std::string>& args, const std::string& input) {
    Traced traced;
    signal(SIGPIPE, SIG_IGN);
    Child child = startChild(args, [] {
        // LeakSanitizer can't run under ptrace; the other tests check for leaks.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    });
    // The answers fit in the pipe's buffer, so they can be written before the child runs.
    if (!input.empty()) {
        EXPECT_EQ(write(child.in, input.data(), input.size()), ssize_t(input.size()));
    }
    close(child.in);
    bool optionsSet = false;
    std::set<pid_t> threads{child.pid};
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, __WALL);
        if (pid < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "waitpid: " << strerror(errno);
            break;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (pid != child.pid) continue;  // one of its threads
            traced.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        int deliver = 0;
        const int stop = WSTOPSIG(status);
        if (!optionsSet) {
            // The stop after exec: from now on, stop at every system call of every thread, and
            // once more just before the exit.
            optionsSet = true;
            const long options = PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD |
                                 PTRACE_O_TRACECLONE;
            EXPECT_EQ(
                ptrace(PTRACE_SETOPTIONS, child.pid, nullptr, reinterpret_cast<void*>(options)), 0);
        } else if (stop == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info{};
            if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info) >
                    0 &&
                info.op == PTRACE_SYSCALL_INFO_ENTRY) {
                ++traced.systemCalls;
            }
        } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            if (pid == child.pid) {
                const std::string proc = "/proc/" + std::to_string(child.pid);
                traced.peakRssKiB = procValue(proc + "/status", "VmHWM:");
                traced.writeCalls = procValue(proc + "/io", "syscw:");
            }
        } else if (status >> 16 != 0) {
            // Another event (a thread started): nothing to pass on.
        } else if (stop == SIGSTOP && threads.insert(pid).second) {
            // A new thread's first stop, which tracing it brings.
        } else {
            deliver = stop;  // a signal of the program's own: pass it on
        }
        ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(long(deliver)));
    }
    const std::string out = drainFd(child.out);
    const std::string err = drainFd(child.err);
    close(child.out);
    close(child.err);
    traced.ptraceRefused = traced.exitCode == 126 && !optionsSet;
    EXPECT_TRUE(traced.ptraceRefused || traced.exitCode == 0) << out << err;
    return traced;
}

bool sanitizedBuild() {
#ifdef ZEM_SANITIZED_BUILD
    return true;
#else
    return false;
#endif
}

// Skips when the kernel refuses tracing here; in CI that is a failure, since CI must run the guard.
#define SKIP_OR_FAIL_WITHOUT_PTRACE(traced)                                                 \
    if ((traced).ptraceRefused) {                                                           \
        if (std::getenv("CI")) FAIL() << "ptrace is refused, so the guard can't run in CI"; \
        GTEST_SKIP() << "ptrace is refused on this machine";                                \
    }

TEST(ResourceGuard, ALargeFilePacksInBoundedMemory) {
    if (sanitizedBuild()) {
        GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine inflate the peak RSS; "
                        "the plain build runs this guard";
    }
    TempDir tmp;
    makeDirs(tmp / "pack");
    writeFile(tmp / "pack/large.bin", std::string(size_t(64) << 20, 'x'));
    const Traced traced = runTraced({tmp / "pack"}, "\n\n");
    SKIP_OR_FAIL_WITHOUT_PTRACE(traced);
    ASSERT_GT(traced.peakRssKiB, 0);
    EXPECT_LT(traced.peakRssKiB, 32 * 1024) << "peak RSS in KiB while packing a 64 MiB file";
    EXPECT_EQ(readFile(tmp / "pack.zem").size(), 28 + (size_t(64) << 20) + 4 + 20 + 10);
}

TEST(ResourceGuard, SmallFilesTakeFewCalls) {
    TempDir tmp;
    const int kFiles = 1000;
    size_t dataBytes = 0;
    for (int folder = 0; folder < 10; ++folder) {
        const std::string dir = tmp / ("pack/f" + std::to_string(folder));
        makeDirs(dir);
        for (int i = 0; i < kFiles / 10; ++i) {
            const size_t size = size_t(i) * 97 % 8192;  // 0 to 8 KiB, odd lengths too
            writeFile(dir + "/" + std::to_string(i), std::string(size, char('a' + i % 26)));
            dataBytes += size;
        }
    }
    makeDirs(tmp / "empty");
    const Traced traced = runTraced({tmp / "pack"}, "\n\n");
    SKIP_OR_FAIL_WITHOUT_PTRACE(traced);
    ASSERT_GE(traced.writeCalls, 0);
    // One write (or kernel copy) per file would be 1,000 calls at least; the files' bytes are
    // gathered instead, so the calls are a small fraction of the file count.
    EXPECT_LE(traced.writeCalls, kFiles / 8) << "write-type calls for " << kFiles << " files";
    // Against a run on an empty folder, which makes the calls of starting and ending (more of
    // them under the sanitizers): each file costs a stat in the scan, then an open, a stat, a
    // read and a close.
    const long perFiles = traced.systemCalls - runTraced({tmp / "empty"}, "\n\n").systemCalls;
    EXPECT_GT(perFiles, 4 * kFiles) << "the calls of every file are counted";
    EXPECT_LT(perFiles, 6 * kFiles) << "system calls for " << kFiles << " files";
    if (!sanitizedBuild()) {
        EXPECT_LT(traced.peakRssKiB, 32 * 1024) << "peak RSS in KiB";
    }
    EXPECT_GT(readFile(tmp / "pack.zem").size(), dataBytes);
}

}  // namespace
