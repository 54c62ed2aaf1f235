#pragma once
// Helpers for tests on real temporary trees and on the built executables, on every platform. Paths
// are spelled with the platform's separator; `relative` arguments may use '/' on every platform.
// A helper that fails throws std::runtime_error naming the operation and the path; only listNames
// gives an empty list for a folder it can't list.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_list.h"
#include "platform/progress.h"

#ifndef _WIN32
#include <sys/types.h>

#include <functional>
#include <initializer_list>
#endif

// `relative` with every '/' turned into the platform's separator.
std::string native(const std::string& relative);
// folder, the platform's separator, and native(relative).
std::string join(const std::string& folder, const std::string& relative);

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string operator/(const std::string& relative) const { return join(path, relative); }
};

// Sets an environment variable (removes it, given null) for the process and the programs it starts,
// and puts back what was there when destroyed.
struct ScopedVariable {
    ScopedVariable(const char* name, const char* value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    std::string name;
    bool hadOld = false;
    std::string old;
};

void writeFile(const std::string& path, const std::string& contents);
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);
// Sets the file's last-write time (seconds since 1970, UTC) without following links.
void setModifiedTime(const std::string& path, int64_t utcSeconds);
// The file's last-write time in seconds since 1970 UTC.
int64_t modifiedTime(const std::string& path);
// Makes the file `size` bytes long without writing them: a sparse file where the system allows.
void setFileSize(const std::string& path, uint64_t size);
// Whether anything is at the path, without following a final link; whether a folder is there.
bool exists(const std::string& path);
bool isFolder(const std::string& path);
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> listNames(const std::string& folder);
// The UTC offset in force now, from the platform's zone rules.
int64_t currentUtcOffset();

// Hexadecimal bytes, separated by blanks, for readable failure messages.
std::string hex(const std::string& bytes);

// A folder "pack" in a fresh temporary folder, and the path of its archive beside it.
// A folder ("pack" unless named) inside a temporary folder, and its archive path beside it.
struct PackFolder {
    TempDir tmp;
    std::string root;
    std::string archive;
    FileList list;  // what add wrote, as a scan would list it
    explicit PackFolder(const std::string& name = "pack");
    // Writes a file below root, with its folders, lists it with `time` as its stored time, and
    // returns its path.
    std::string add(const std::string& relative, const std::string& contents, int64_t time = 0);
};

// The text of the fatal error that writing the archive ends with, or "(no failure)".
std::string failureOf(const std::string& archive, const FileList& list,
                      ProgressDisplay* progress = nullptr);

struct ChildResult {
    int exitCode = -1;  // 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// Runs another program to its end with `input` on its standard input.
ChildResult runExecutable(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& input);

#ifndef _WIN32

// Folders d0 to d11 in `folder`, each holding a file and four links to the next one, with names
// of 200 bytes: no loop, yet d0 alone lists 4^10 copies of a file under ever longer names.
void makeLinkFanOut(const std::string& folder);

// Sets TZ for the process (and children) for one test, restoring the old value afterwards. Windows
// programs take their zone from the system: there the test run sets it.
struct ScopedTimeZone {
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
    bool hadOld = false;
    std::string old;
};

// A started program with pipes on its standard streams.
struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    std::string stdoutText;
};

// The built zem-builder.
std::string builderExecutable();
// Starts zem-builder with the arguments; `inChild` runs in the child just before exec.
Child startChild(const std::vector<std::string>& args, const std::function<void()>& inChild = {});
// The same for another executable than zem-builder.
Child startExecutable(const std::string& exe, const std::vector<std::string>& args,
                      const std::function<void()>& inChild = {});
// Reads standard output until it holds `marker` for the count-th time; false on end or timeout.
bool waitForOutput(Child& child, const std::string& marker, int count = 1);
void sendInput(Child& child, const std::string& text);
// Closes standard input, collects the rest of the output and the exit code.
ChildResult finishChild(Child& child);
// Starts zem-builder, feeds all of `input`, and finishes.
ChildResult runProgram(const std::vector<std::string>& args, const std::string& input,
                       const std::function<void()>& inChild = {});
// The same for another executable than zem-builder.
ChildResult runExecutable(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& input, const std::function<void()>& inChild);

// The calls a child's filter can hold for the test: writes, syncs (fsync), or syncs of a whole
// file system (syncfs).
enum class HeldCall { Write, Sync, FileSystemSync };

// Runs in a child before exec (as `inChild`), through a seccomp filter: the program can create no
// unnamed O_TMPFILE file, as on a file system without them, so its temporary files take their
// named fallback. Given a socket (made with SOCK_CLOEXEC), the program's `held` calls on
// descriptors past the standard three are also held for the test to see (waitForHeldWrite,
// waitForHeldCall), and the filter's listener goes to the test through the socket. A child whose
// kernel refuses the filter exits with kFilterRefused.
void refuseUnnamedFilesInChild(int socket = -1, HeldCall held = HeldCall::Write);
constexpr int kFilterRefused = 125;

// Runs in a child before exec (as `inChild`), through a seccomp filter: the system calls
// `numbers` (four at most) fail with `error`, as under a container's seccomp profile or on a
// system without them. A child whose kernel refuses the filter exits with kFilterRefused.
void refuseSystemCallsInChild(std::initializer_list<long> numbers, int error);
// The number after `key` in a /proc file of "key value" lines ("/proc/PID/status", "VmHWM:"), or
// -1 when there is no such line.
long procValue(const std::string& file, const std::string& key);
// The kernel's copies between files (copy_file_range, sendfile) fail with ENOSYS, so the program
// copies through its own buffer.
void refuseKernelCopiesInChild();

// The test's end of a child's filter; the child's held call waits while this is open.
struct HeldWrites {
    HeldWrites() = default;
    HeldWrites(const HeldWrites&) = delete;
    HeldWrites& operator=(const HeldWrites&) = delete;
    ~HeldWrites();
    int listener = -1;
    uint64_t call = 0;  // the held call's id
};
// Takes the listener from the child through `socket` (the test's end, with the child's end closed)
// and waits, a minute at most, until the child is held in a call on a descriptor whose path
// `isHeld` accepts; the calls before it go on. False when that doesn't come: the child exited
// without a filter, or it never made that call.
bool waitForHeldCall(int socket, const std::function<bool(const std::string& path)>& isHeld,
                     HeldWrites& held);
// The same for a write to a file in `folder`.
bool waitForHeldWrite(int socket, const std::string& folder, HeldWrites& held);
// Ends the held call with the system error `error`; the child goes on from there.
bool failHeldCall(HeldWrites& held, int error);

// Skips when the kernel refuses the filter here; in CI that is a failure, since CI must run these.
#define SKIP_OR_FAIL_WITHOUT_FILTER(exitCode)                                                    \
    if ((exitCode) == kFilterRefused) {                                                          \
        if (std::getenv("CI")) FAIL() << "seccomp filters are refused, so this can't run in CI"; \
        GTEST_SKIP() << "seccomp filters are refused on this machine";                           \
    }

#endif  // !_WIN32
