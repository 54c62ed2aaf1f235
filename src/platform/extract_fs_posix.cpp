// POSIX extraction: every folder is opened relative to its parent with O_NOFOLLOW (the folder
// beside the archive too, relative to the folder that holds it), and every file is created and
// named relative to its open folder (by the atomic file), so a symbolic link put in place while
// extraction runs can't send a write outside the destination.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/fatal_error.h"
#include "platform/extract_fs.h"

namespace {

int fdOf(const FolderHandle& folder) { return folder.native.fd(); }

}  // namespace

NameRules platformNameRules() { return NameRules::Posix; }

const CodePage& platformCodePage() { return latin1CodePage(); }

void checkPathLengths(const std::string&, const std::vector<std::string>&) {}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Refuses what stands at a chosen destination, or at a folder on a file's way, instead of a
// folder; `st` is what is there, a link not followed.
[[noreturn]] void refuseNonFolder(const struct stat& st, const std::string& path) {
    if (S_ISLNK(st.st_mode)) fatalError(linkRefusalText(path));
    fatalError("\"" + path + "\" is not a folder");
}

// The destination is open as `fd`.
bool adoptFolder(Destination& dest, int fd) {
    dest.folder.native.reset(fd);
    dest.folder.syncable = true;
    dest.open = true;
    return true;
}

// Opens a chosen destination in its parent, never through a link.
bool openChosen(Destination& dest) {
    const int fd = openat(fdOf(dest.parent), dest.name.c_str(), kFolderFlags | O_NOFOLLOW);
    if (fd < 0) {
        const int openError = errno;
        struct stat st {};
        if (fstatat(fdOf(dest.parent), dest.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!S_ISDIR(st.st_mode)) refuseNonFolder(st, dest.path);
        } else if (errno == ENOENT) {
            return false;
        }
        errno = openError;
        failSystemCall("open folder", dest.path);
    }
    return adoptFolder(dest, fd);
}

// Opens a destination the user named, following a link there as the user meant.
bool openNamed(Destination& dest) {
    const int fd = open(dest.path.c_str(), kFolderFlags);
    if (fd < 0) {
        const int openError = errno;
        struct stat st {};
        if (stat(dest.path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) fatalError("\"" + dest.path + "\" is not a folder");
        } else if (errno == ENOENT && lstat(dest.path.c_str(), &st) != 0) {
            return false;  // missing, and no dangling link either
        }
        errno = openError;
        failSystemCall("open folder", dest.path);
    }
    return adoptFolder(dest, fd);
}

}  // namespace

Destination findDestination(const std::string& path, bool chosen) {
    Destination dest;
    dest.path = path;
    dest.chosen = chosen;
    dest.folder.path = path;
    if (!chosen) {
        openNamed(dest);
        return dest;
    }
    openFolderOf(path, dest.parent, dest.name);
    openChosen(dest);
    return dest;
}

const FolderHandle& openDestination(Destination& dest) {
    if (dest.open) return dest.folder;
    // A folder made meanwhile is taken as it is; what else appeared, the open refuses.
    if (dest.chosen) {
        dest.folder.madeByThisRun = mkdirat(fdOf(dest.parent), dest.name.c_str(), 0777) == 0;
        if (!dest.folder.madeByThisRun && errno != EEXIST)
            failSystemCall("create folder", dest.path);
        if (!openChosen(dest)) failSystemCall("open folder", dest.path);
    } else {
        dest.folder.madeByThisRun = mkdir(dest.path.c_str(), 0777) == 0;
        if (!dest.folder.madeByThisRun && errno != EEXIST)
            failSystemCall("create folder", dest.path);
        if (!openNamed(dest)) failSystemCall("open folder", dest.path);
    }
    return dest.folder;
}

PathKind kindInside(const FolderHandle& folder, const std::string& name) {
    struct stat st {};
    if (fstatat(fdOf(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return PathKind::Missing;
        failSystemCall("look at", pathInside(folder, name));
    }
    if (S_ISLNK(st.st_mode)) return PathKind::Link;
    if (S_ISDIR(st.st_mode)) return PathKind::Folder;
    if (S_ISREG(st.st_mode)) return PathKind::File;
    return PathKind::Other;
}

FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name, bool create) {
    FolderHandle folder;
    folder.path = pathInside(parent, name);
    const int flags = kFolderFlags | O_NOFOLLOW;
    int fd = openat(fdOf(parent), name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        folder.madeByThisRun = mkdirat(fdOf(parent), name.c_str(), 0777) == 0;
        if (!folder.madeByThisRun && errno != EEXIST) failSystemCall("create folder", folder.path);
        fd = openat(fdOf(parent), name.c_str(), flags);
    }
    if (fd < 0) {
        const int openError = errno;
        struct stat st {};
        if (fstatat(fdOf(parent), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode)) {
            refuseNonFolder(st, folder.path);
        }
        errno = openError;
        failSystemCall("open folder", folder.path);
    }
    folder.native.reset(fd);
    folder.syncable = true;
    return folder;
}

bool roomToStartFilesAhead() {
    rlimit descriptors{};
    return getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur >= 256;
}

void setFileTime(AtomicFile& file, int64_t utcSeconds) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(utcSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (futimens(file.temp.native.fd(), times) != 0) {
        failSystemCall("set the time of", pathInside(*file.temp.folder, file.name));
    }
}

size_t descriptorsForDataSync() {
    // A quarter of them: the rest stays for the files started ahead, their folders and the
    // caller's own. Beyond a few thousand files a sync more costs little.
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) return 1;
    const rlim_t share = descriptors.rlim_cur / 4;
    return share < 1 ? 1 : share > 4096 ? 4096 : static_cast<size_t>(share);
}

void noteWrittenFolder(WrittenFileSystems& written, const FolderHandle& folder) {
    struct stat st {};
    if (fstat(fdOf(folder), &st) != 0) {  // it was just opened: not seen to fail
        written.missed = true;
        return;
    }
    const uint64_t id = static_cast<uint64_t>(st.st_dev);
    for (uint64_t seen : written.ids) {
        if (seen == id) return;
    }
    // A descriptor of its own: the folder's handle closes before the end of extraction.
    const int fd = openat(fdOf(folder), ".", kFolderFlags);
    if (fd < 0) {  // nothing to hold it by: each file's data is synced on its own
        written.missed = true;
        return;
    }
    FolderHandle held;
    held.path = folder.path;
    held.native.reset(fd);
    written.folders.push_back(std::move(held));
    written.ids.push_back(id);
}

bool syncWrittenData(const WrittenFileSystems& written) {
    if (written.missed) return false;
    for (const FolderHandle& folder : written.folders) {
        if (syncfs(fdOf(folder)) != 0) failSystemCall("sync the file system of", folder.path);
    }
    return true;
}

std::vector<std::string> syncWrittenFileSystems(const WrittenFileSystems& written) {
    std::vector<std::string> warnings;
    for (const FolderHandle& folder : written.folders) {
        if (syncfs(fdOf(folder)) != 0) {
            warnings.push_back("the file system of \"" + folder.path + "\" could not be synced (" +
                               systemErrorText(errno) +
                               "): a system crash may still bring back what was there before");
        }
    }
    return warnings;
}
