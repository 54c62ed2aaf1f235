// Linux atomic files: an unnamed O_TMPFILE file in the target's folder where the file system
// allows it (a crash leaves nothing behind), else a file created exclusively under a fresh hidden
// name. The commit links an unnamed file in under its name, or renames a named one over it; every
// step is relative to the open folder. Named temporary files are listed for the signal cleanup
// for as long as they exist.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "archive/atomic_file.h"

namespace {

// The named temporary files that a terminating signal must remove. The handler may interrupt any
// step, so it reads nothing but lock-free atomics and what they guard: an entry's folder and name
// are filled in before its state says it is listed.
enum : int { kFree, kFilling, kListed };
struct PendingFile {
    std::atomic<int> state{kFree};
    int folder = -1;
    char name[256];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the states");
// One for each file that can be pending at once: the archive, or the file being extracted.
PendingFile g_pending[4];

// Lists a temporary file for the cleanup. Returns its entry, or -1 when the list is full or the
// name too long: the destructor still removes it.
int listPending(int folder, const std::string& name) {
    if (name.size() >= sizeof g_pending[0].name) return -1;
    for (int i = 0; i < static_cast<int>(sizeof g_pending / sizeof g_pending[0]); ++i) {
        PendingFile& entry = g_pending[i];
        int expected = kFree;
        if (!entry.state.compare_exchange_strong(expected, kFilling)) continue;
        entry.folder = folder;
        memcpy(entry.name, name.c_str(), name.size() + 1);
        entry.state.store(kListed);
        return i;
    }
    return -1;
}

void unlistPending(int& entry) {
    if (entry >= 0) g_pending[entry].state.store(kFree);
    entry = -1;
}

extern "C" void removePendingFiles(int sig) {
    for (PendingFile& entry : g_pending) {
        if (entry.state.load() == kListed) unlinkat(entry.folder, entry.name, 0);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

int fdOf(const FolderHandle& folder) { return static_cast<int>(folder.native); }

// Gives the file its name and lists it for the signal cleanup. It is listed only once the name
// is its own, so that the cleanup can never remove another file of that name.
void setName(TemporaryFile& file, const std::string& name) {
    file.name = name;
    file.signalCleanupEntry = listPending(fdOf(*file.folder), name);
}

// Calls `tryName` with fresh names from the prefix until it succeeds (returning that name) or
// fails for another reason than a taken name (returning "", with errno telling why).
template <typename TryName>
std::string withFreshName(const std::string& prefix, const TryName& tryName) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec now{};
        if (clock_gettime(CLOCK_REALTIME, &now) != 0) now = timespec{};  // it only spreads names
        char suffix[64];
        snprintf(suffix, sizeof suffix, "%ld.%lx.%u.tmp", static_cast<long>(getpid()),
                 static_cast<unsigned long>(now.tv_nsec), counter++);
        const std::string candidate = prefix + suffix;
        if (tryName(candidate)) return candidate;
        if (errno != EEXIST) return std::string();
    }
    return std::string();
}

// An unnamed file is linked in through its /proc entry (a link by descriptor alone would need a
// privilege).
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The one write loop: all of `size` bytes, at the end.
bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The failure of a step that puts the file at its name: the no-replace refusal when something is
// there already.
[[noreturn]] void failCommit(const AtomicFile& file, int code) {
    failAtomicFile(file, code == EEXIST ? FileStep::Exists : FileStep::Commit, code);
}

}  // namespace

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : path(std::move(other.path)), native(other.native) {
    other.native = -1;
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (native >= 0) close(static_cast<int>(native));
        path = std::move(other.path);
        native = other.native;
        other.native = -1;
    }
    return *this;
}

FolderHandle::~FolderHandle() {
    if (native >= 0) close(static_cast<int>(native));  // nothing written through it to report
}

bool openFolderOf(const std::string& filePath, FolderHandle& folder, std::string& name) {
    const size_t slash = filePath.rfind('/');
    folder.path = slash == std::string::npos ? "." : slash == 0 ? "/" : filePath.substr(0, slash);
    name = slash == std::string::npos ? filePath : filePath.substr(slash + 1);
    // O_PATH: creating, linking and renaming in the folder need no read permission on it.
    folder.native = open(folder.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return folder.native >= 0;
}

std::string pathInside(const FolderHandle& folder, const std::string& name) {
    return folder.path + "/" + name;
}

bool isFolderAt(const FolderHandle& folder, const std::string& name) {
    struct stat st {};
    return fstatat(fdOf(folder), name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
}

int lastSystemError() { return errno; }

std::string systemErrorText(int code) { return strerror(code); }

TemporaryFile::~TemporaryFile() {
    // Reached with the file still here only on the way out of a failure: nothing more to report.
    if (native >= 0) close(static_cast<int>(native));
    if (!name.empty()) unlinkat(fdOf(*folder), name.c_str(), 0);
    unlistPending(signalCleanupEntry);
}

bool createTemporaryFile(TemporaryFile& file, const FolderHandle& folder,
                         const std::string& prefix) {
    file.folder = &folder;
    file.prefix = prefix;
    if (access("/proc/self/fd", X_OK) == 0) {  // without it an unnamed file can't be linked in
        const int fd = openat(fdOf(folder), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.native = fd;
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    }
    int fd = -1;
    const std::string name = withFreshName(prefix, [&](const std::string& candidate) {
        fd = openat(fdOf(folder), candidate.c_str(),
                    O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
        return fd >= 0;
    });
    if (name.empty()) return false;
    file.native = fd;
    setName(file, name);
    return true;
}

void writeAtomicFile(AtomicFile& file, const void* data, size_t size) {
    if (!writeAll(static_cast<int>(file.temp.native), data, size)) {
        failAtomicFile(file, FileStep::Write, errno);
    }
}

void commitAtomicFile(AtomicFile& file, CommitOptions options) {
    TemporaryFile& temp = file.temp;
    const int folder = fdOf(*temp.folder);
    const int fd = static_cast<int>(temp.native);
    if (options.durable && fsync(fd) != 0) failAtomicFile(file, FileStep::Write, errno);
    bool inPlace = false;
    if (temp.name.empty()) {
        const std::string proc = procPath(fd);
        if (!options.replace) {
            // Linking fails with EEXIST when something is at the name: the no-replace rule without
            // a window between a check and the write.
            if (linkat(AT_FDCWD, proc.c_str(), folder, file.name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                failCommit(file, errno);
            }
            inPlace = true;
        } else {
            // A link can't replace what is at the name: a temporary one first, then a rename.
            const std::string name = withFreshName(temp.prefix, [&](const std::string& candidate) {
                return linkat(AT_FDCWD, proc.c_str(), folder, candidate.c_str(),
                              AT_SYMLINK_FOLLOW) == 0;
            });
            if (name.empty()) failAtomicFile(file, FileStep::Commit, errno);
            setName(temp, name);
        }
    }
    temp.native = -1;
    if (close(fd) != 0) failAtomicFile(file, FileStep::Write, errno);

    if (!inPlace) {
        const char* from = temp.name.c_str();
        const char* to = file.name.c_str();
        if (options.replace) {
            if (renameat(folder, from, folder, to) != 0)
                failAtomicFile(file, FileStep::Commit, errno);
        } else if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) != 0) {
            if (errno != EINVAL && errno != ENOSYS) failCommit(file, errno);
            // No RENAME_NOREPLACE on this file system: a hard link refuses an existing name too.
            if (linkat(folder, from, folder, to, 0) != 0) failCommit(file, errno);
            if (unlinkat(folder, from, 0) != 0) {
                failAtomicFile(file, FileStep::RemoveTemporary, errno);
            }
        }
        temp.name.clear();
        unlistPending(temp.signalCleanupEntry);
    }

    if (options.durable) {
        const int dir = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) failAtomicFile(file, FileStep::Write, errno);
        // Some file systems can't sync a folder (EINVAL); the rename is as durable as they allow.
        const bool synced = fsync(dir) == 0 || errno == EINVAL;
        const int syncError = errno;
        if (close(dir) != 0) failAtomicFile(file, FileStep::Write, errno);
        if (!synced) failAtomicFile(file, FileStep::Write, syncError);
    }
}

void installSignalHandling() {
    // sigaction fails only for an invalid signal or handler, which these are not.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
    struct sigaction cleanup {};
    cleanup.sa_handler = removePendingFiles;
    sigemptyset(&cleanup.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &cleanup, nullptr);
}
