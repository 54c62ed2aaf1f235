// POSIX extraction: every folder is opened relative to its parent with O_NOFOLLOW, and every
// file is created and named relative to its open folder, so a symbolic link put in place while
// extraction runs can't send a write outside the destination. Files are written as unnamed
// O_TMPFILE files where the file system allows it (an interrupted run leaves nothing behind) and
// linked in under their name only when complete.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "archive/fatal_error.h"
#include "zem/extract_fs.h"

namespace {

[[noreturn]] void fail(const std::string& operation, const std::string& path) {
    fatalError("cannot " + operation + " \"" + path + "\": " + strerror(errno));
}

std::string inside(const FolderHandle& folder, const std::string& name) {
    return folder.path + "/" + name;
}

int fdOf(const FolderHandle& folder) { return static_cast<int>(folder.native); }

// A hidden name for a file being written; uniqueness comes from O_EXCL / EEXIST at the caller.
std::string temporaryName() {
    static std::atomic<unsigned> counter{0};
    return ".zem-" + std::to_string(static_cast<long>(getpid())) + "-" +
           std::to_string(counter++) + ".tmp";
}

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

NameRules platformNameRules() { return NameRules::Posix; }

PathKind pathKind(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return PathKind::Missing;
        fail("look at", path);
    }
    if (S_ISLNK(st.st_mode)) return PathKind::Link;
    if (S_ISDIR(st.st_mode)) return PathKind::Folder;
    if (S_ISREG(st.st_mode)) return PathKind::File;
    return PathKind::Other;
}

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
    if (native >= 0) close(static_cast<int>(native));  // read-only folder: nothing to report
}

FolderHandle openDestination(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) fail("create folder", path);
    FolderHandle folder;
    folder.path = path;
    folder.native = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.native < 0) fail("open folder", path);
    return folder;
}

FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name) {
    FolderHandle folder;
    folder.path = inside(parent, name);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(fdOf(parent), name.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        if (mkdirat(fdOf(parent), name.c_str(), 0777) != 0 && errno != EEXIST) {
            fail("create folder", folder.path);
        }
        fd = openat(fdOf(parent), name.c_str(), flags);
    }
    if (fd < 0) {
        const int openError = errno;
        struct stat st {};
        if (fstatat(fdOf(parent), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) fatalError(linkRefusalText(folder.path));
            if (!S_ISDIR(st.st_mode)) fatalError("\"" + folder.path + "\" is not a folder");
        }
        errno = openError;
        fail("open folder", folder.path);
    }
    folder.native = fd;
    return folder;
}

NewFile::~NewFile() {
    // Only reached without a commit, on the way out of a failure: nothing more to report.
    if (native >= 0) close(static_cast<int>(native));
    if (folder && !tempName.empty()) unlinkat(fdOf(*folder), tempName.c_str(), 0);
}

void createNewFile(const FolderHandle& folder, const std::string& name, NewFile& file) {
    file.folder = &folder;
    file.name = name;
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(fdOf(folder), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.native = fd;
            return;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            fail("create a file in", folder.path);
        }
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = temporaryName();
        const int fd = openat(fdOf(folder), candidate.c_str(),
                              O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file.native = fd;
            file.tempName = candidate;
            return;
        }
        if (errno != EEXIST) break;
    }
    fail("create a file in", folder.path);
}

void writeNewFile(NewFile& file, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(static_cast<int>(file.native), p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write", inside(*file.folder, file.name));
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void commitNewFile(NewFile& file, bool hasTime, int64_t utcSeconds, bool replace) {
    const FolderHandle& folder = *file.folder;
    const int dir = fdOf(folder);
    const std::string target = inside(folder, file.name);
    const int fd = static_cast<int>(file.native);
    if (hasTime) {
        timespec times[2];
        times[0].tv_sec = static_cast<time_t>(utcSeconds);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (futimens(fd, times) != 0) fail("set the time of", target);
    }
    if (file.tempName.empty()) {
        // Unnamed: linking it in fails with EEXIST when something is at the name, which is the
        // no-replace rule without a window between a check and the write.
        if (!replace) {
            if (linkat(AT_FDCWD, procPath(fd).c_str(), dir, file.name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno == EEXIST) fatalError(alreadyExistsText(target));
                fail("create", target);
            }
        } else {
            for (int attempt = 0; attempt < 100 && file.tempName.empty(); ++attempt) {
                const std::string candidate = temporaryName();
                if (linkat(AT_FDCWD, procPath(fd).c_str(), dir, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                    file.tempName = candidate;
                } else if (errno != EEXIST) {
                    fail("create", target);
                }
            }
            if (file.tempName.empty()) fail("create", target);
        }
    }
    file.native = -1;
    if (close(fd) != 0) fail("write", target);
    if (file.tempName.empty()) return;  // linked in above

    if (replace) {
        if (renameat(dir, file.tempName.c_str(), dir, file.name.c_str()) != 0) fail("create", target);
    } else if (renameat2(dir, file.tempName.c_str(), dir, file.name.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) fatalError(alreadyExistsText(target));
        if (errno != EINVAL && errno != ENOSYS) fail("create", target);
        // No RENAME_NOREPLACE on this file system: a hard link refuses an existing name as well.
        if (linkat(dir, file.tempName.c_str(), dir, file.name.c_str(), 0) != 0) {
            if (errno == EEXIST) fatalError(alreadyExistsText(target));
            fail("create", target);
        }
        if (unlinkat(dir, file.tempName.c_str(), 0) != 0) fail("remove", inside(folder, file.tempName));
    }
    file.tempName.clear();
}
