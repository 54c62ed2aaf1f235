// Linux atomic files: an unnamed O_TMPFILE file in the target's folder where the file system
// allows it (a crash while it is written leaves nothing behind), else a file created exclusively
// under a fresh temporary name. The commit links an unnamed file in under a temporary name,
// closes the file and renames it to its name; every step is relative to the open folder. Named
// temporary files are listed for the signal cleanup for as long as they exist; what a process
// killed outright leaves, a later run removes (removeLeftoverTemporaryFiles).

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/atomic_file.h"

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
// One for each file that can be pending at once: the archive, or the files being extracted (those
// written and held for one sync of their data, and a few started ahead of the one written).
PendingFile g_pending[kMaxNamedTemporaryFiles + 16];

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

int fdOf(const FolderHandle& folder) { return folder.native.fd(); }

// Gives the file its name and lists it for the signal cleanup. It is listed only once the name
// is its own, so that the cleanup can never remove another file of that name.
void setName(TemporaryFile& file, const std::string& name) {
    file.name = name;
    file.signalCleanupEntry = listPending(fdOf(*file.folder), name);
}

// Calls `tryName` with fresh temporary names until it succeeds (returning that name) or fails
// for another reason than a taken name (returning "", with errno telling why).
template <typename TryName>
std::string withFreshName(const TryName& tryName) {
    static std::atomic<uint32_t> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = temporaryFileName(static_cast<uint32_t>(getpid()), counter++);
        if (tryName(candidate)) return candidate;
        if (errno != EEXIST) return std::string();
    }
    return std::string();
}

// Links the unnamed file `fd` in under `name`. By its descriptor alone where the kernel lets this
// process (a privilege, or since Linux 6.10 a file it opened itself), which spares a walk through
// /proc; else through its /proc entry.
bool linkUnnamed(int fd, int folder, const std::string& name) {
    static std::atomic<bool> byDescriptor{true};
    if (byDescriptor.load()) {
        if (linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) return false;
        byDescriptor.store(false);  // refused: the kernel asks for the privilege
    }
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, proc.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

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

void openFolderOf(const std::string& filePath, FolderHandle& folder, std::string& name) {
    const size_t slash = filePath.rfind('/');
    folder.path = slash == std::string::npos ? "." : slash == 0 ? "/" : filePath.substr(0, slash);
    name = slash == std::string::npos ? filePath : filePath.substr(slash + 1);
    // Opened for reading, so that a durable commit can sync it. A folder that may be written but
    // not read is still held (O_PATH: creating, linking and renaming in it need no read
    // permission); its commits skip the folder's sync, so the new name is then as durable as the
    // file system makes a rename by itself, and nothing after the rename can fail.
    folder.native.reset(open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    folder.syncable = folder.native.valid();
    if (!folder.native.valid() && errno == EACCES) {
        folder.native.reset(open(folder.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!folder.native.valid()) failSystemCall("open folder", folder.path);
}

std::string pathInside(const FolderHandle& folder, const std::string& name) {
    return folder.path + "/" + name;
}

bool canPlaceFileAt(const FolderHandle& folder, const std::string& name) {
    // The file system's own limit, where it tells one; its lookup refuses a longer name too.
    const long maxName = fpathconf(fdOf(folder), _PC_NAME_MAX);
    if (maxName > 0 && name.size() > static_cast<unsigned long>(maxName)) return false;
    struct stat st {};
    if (fstatat(fdOf(folder), name.c_str(), &st, 0) == 0) return !S_ISDIR(st.st_mode);
    return errno != ENAMETOOLONG;  // anything else is for the creation and the commit to report
}

std::string hostIdentity() {
    // The host's name, and the namespace that the process ids of its names belong to: a process
    // in another container of the same machine may run under a number that is free here.
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    char pidNamespace[64] = {};
    if (readlink("/proc/self/ns/pid", pidNamespace, sizeof pidNamespace - 1) < 0) {
        pidNamespace[0] = '\0';  // no /proc: the host's name alone
    }
    return std::string(host) + "\n" + pidNamespace;
}

void removeLeftoverTemporaryFiles(const FolderHandle& folder) {
    // Best effort throughout: a leftover that stays is no failure of this run.
    UniqueHandle listing(openat(fdOf(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing.valid()) return;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(listing.fd()), closedir);
    if (!dir) return;
    listing.release();  // closed with the listing
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir.get())) {
        if (leftoverProcessId(entry->d_name) != 0) names.push_back(entry->d_name);
    }
    for (const std::string& name : names) {
        const uint32_t pid = leftoverProcessId(name);
        struct stat st {};
        // Never a link, a folder or another user's file; and only when that process is gone (a
        // number in use, even by an unrelated process, keeps the file for a later run).
        if (pid > static_cast<uint32_t>(INT32_MAX) ||
            fstatat(fdOf(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            continue;
        }
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            unlinkat(fdOf(folder), name.c_str(), 0);
        }
    }
}

TemporaryFile::~TemporaryFile() {
    // Reached with the file still here only on the way out of a failure: nothing more to report.
    native.reset();
    if (!name.empty()) unlinkat(fdOf(*folder), name.c_str(), 0);
    unlistPending(signalCleanupEntry);
}

void createTemporaryFile(TemporaryFile& file, const FolderHandle& folder) {
    file.folder = &folder;
    const auto fail = [&] { throw FileStepFailure(FileStep::Create, folder.path, errno); };
    // Without /proc an unnamed file can't be linked in; asked once, as extraction makes
    // thousands of files.
    static const bool procMounted = access("/proc/self/fd", X_OK) == 0;
    if (procMounted) {
        const int fd = openat(fdOf(folder), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.native.reset(fd);
            return;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail();
    }
    int fd = -1;
    const std::string name = withFreshName([&](const std::string& candidate) {
        fd = openat(fdOf(folder), candidate.c_str(),
                    O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
        return fd >= 0;
    });
    if (name.empty()) fail();
    file.native.reset(fd);
    setName(file, name);
}

bool writeWhole(intptr_t file, const void* data, size_t size) {
    return writeAll(static_cast<int>(file), data, size);
}

void writeAtomicFile(AtomicFile& file, const void* data, size_t size) {
    if (!writeAll(file.temp.native.fd(), data, size)) {
        failAtomicFile(file, FileStep::Write, errno);
    }
}

std::string commitAtomicFile(AtomicFile& file, CommitOptions options) {
    TemporaryFile& temp = file.temp;
    const FolderHandle& folderHandle = *temp.folder;
    const int folder = fdOf(folderHandle);
    const int fd = temp.native.fd();
    if (options.durable && fsync(fd) != 0) failAtomicFile(file, FileStep::Write, errno);
    if (!options.durable && options.dataFirst && fdatasync(fd) != 0) {
        failAtomicFile(file, FileStep::Write, errno);
    }
    if (temp.name.empty() && folderHandle.madeByThisRun && !options.durable) {
        // Nothing in the folder predates the run, so no one else's file can be at the name and
        // be lost: the file is linked straight under it. Should closing it then report a lost
        // write (a network file system), the name goes again.
        if (linkUnnamed(fd, folder, file.name)) {
            if (!temp.native.close()) {
                const int error = errno;
                unlinkat(folder, file.name.c_str(), 0);
                failAtomicFile(file, FileStep::Write, error);
            }
            return std::string();
        }
        // Something appeared at the name meanwhile: replaced, or refused, as anywhere else.
        if (errno != EEXIST) failAtomicFile(file, FileStep::Commit, errno);
        if (!options.replace) failCommit(file, errno);
    }
    if (temp.name.empty()) {
        // An unnamed file gets a temporary name first, so that it is closed (where a network file
        // system reports the last write errors) before anything is at its final name.
        const std::string name = withFreshName(
            [&](const std::string& candidate) { return linkUnnamed(fd, folder, candidate); });
        if (name.empty()) failAtomicFile(file, FileStep::Commit, errno);
        setName(temp, name);
    }
    if (!temp.native.close()) failAtomicFile(file, FileStep::Write, errno);

    // The one step that puts the file at its name. Whatever fails after it can't undo it, and
    // comes back as a warning: a failure means the name is as it was.
    const char* from = temp.name.c_str();
    const char* to = file.name.c_str();
    std::string warning;
    if (options.replace) {
        if (renameat(folder, from, folder, to) != 0) failAtomicFile(file, FileStep::Commit, errno);
    } else if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) failCommit(file, errno);
        // No RENAME_NOREPLACE on this file system: a hard link refuses an existing name too, and
        // leaves the temporary name to remove.
        if (linkat(folder, from, folder, to, 0) != 0) failCommit(file, errno);
        if (unlinkat(folder, from, 0) != 0) {
            warning =
                commitWarning(file,
                              "its temporary second name \"" + pathInside(folderHandle, temp.name) +
                                  "\" could not be removed",
                              errno, "");
        }
    }
    temp.name.clear();
    unlistPending(temp.signalCleanupEntry);

    // Some file systems can't sync a folder (EINVAL); the rename is as durable as they allow.
    if (options.durable && folderHandle.syncable && fsync(folder) != 0 && errno != EINVAL) {
        warning = commitWarning(file, "its folder could not be synced", errno,
                                "a system crash may still bring back what was there before");
    }
    return warning;
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
    // A reader that closes its pipe early ends the process as it ends tar and cat (status 141, no
    // message), after the same cleanup. Where the parent ignores SIGPIPE, the write fails with
    // EPIPE instead and is reported as a failed write.
    struct sigaction pipe {};
    if (sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler != SIG_IGN) {
        sigaction(SIGPIPE, &cleanup, nullptr);
    }
}
