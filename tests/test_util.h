#pragma once
// Helpers for tests on real temporary trees and on the built executable.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void writeFile(const std::string& path, const std::string& contents);
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);
// Sets the file's last-write time (seconds since 1970, UTC) without following links.
void setModifiedTime(const std::string& path, int64_t utcSeconds);
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> listNames(const std::string& folder);
// Folders d0 to d11 in `folder`, each holding a file and four links to the next one, with names
// of 200 bytes: no loop, yet d0 alone lists 4^10 copies of a file under ever longer names.
void makeLinkFanOut(const std::string& folder);
// The UTC offset in force now in the process's time zone.
int64_t currentUtcOffset();

// Sets TZ for the process (and children) for one test, restoring the old value afterwards.
struct ScopedTimeZone {
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
    bool hadOld = false;
    std::string old;
};

// The built program, run with pipes on its standard streams.
struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    std::string stdoutText;
};

struct ChildResult {
    int exitCode = -1;  // 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// Starts the program with the arguments; `inChild` runs in the child just before exec.
Child startChild(const std::vector<std::string>& args, const std::function<void()>& inChild = {});
// The same for another executable than zem-builder.
Child startExecutable(const std::string& exe, const std::vector<std::string>& args,
                      const std::function<void()>& inChild = {});
// Reads standard output until it holds `marker` for the count-th time; false on end or timeout.
bool waitForOutput(Child& child, const std::string& marker, int count = 1);
void sendInput(Child& child, const std::string& text);
// Closes standard input, collects the rest of the output and the exit code.
ChildResult finishChild(Child& child);
// Starts, feeds all of `input`, and finishes.
ChildResult runProgram(const std::vector<std::string>& args, const std::string& input,
                       const std::function<void()>& inChild = {});
// The same for another executable than zem-builder.
ChildResult runExecutable(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& input, const std::function<void()>& inChild = {});

// Runs in a child before exec (as `inChild`), through a seccomp filter: the program can create no
// unnamed O_TMPFILE file, as on a file system without them, so its temporary files take their
// named fallback. Given a socket (made with SOCK_CLOEXEC), the program's writes to descriptors
// past the standard three are also held for the test to see (waitForHeldWrite), and the filter's
// listener goes to the test through the socket. A child whose kernel refuses the filter exits
// with kFilterRefused.
void refuseUnnamedFilesInChild(int socket = -1);
constexpr int kFilterRefused = 125;

// The test's end of a child's filter; the child's held write waits while this is open.
struct HeldWrites {
    HeldWrites() = default;
    HeldWrites(const HeldWrites&) = delete;
    HeldWrites& operator=(const HeldWrites&) = delete;
    ~HeldWrites();
    int listener = -1;
};
// Takes the listener from the child through `socket` (the test's end, with the child's end closed)
// and waits, a minute at most, until the child is held in a write to a file in `folder`. False when
// that doesn't come: the child exited without a filter, or it never wrote there.
bool waitForHeldWrite(int socket, const std::string& folder, HeldWrites& held);

// Skips when the kernel refuses the filter here; in CI that is a failure, since CI must run these.
#define SKIP_OR_FAIL_WITHOUT_FILTER(exitCode)                                                    \
    if ((exitCode) == kFilterRefused) {                                                          \
        if (std::getenv("CI")) FAIL() << "seccomp filters are refused, so this can't run in CI"; \
        GTEST_SKIP() << "seccomp filters are refused on this machine";                           \
    }
