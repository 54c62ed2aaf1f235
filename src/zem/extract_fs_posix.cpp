// POSIX extraction: every folder is opened relative to its parent with O_NOFOLLOW, and every
// file is created and named relative to its open folder (by the atomic file), so a symbolic link
// put in place while extraction runs can't send a write outside the destination.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "archive/fatal_error.h"
#include "zem/extract_fs.h"

namespace {

[[noreturn]] void fail(const std::string& operation, const std::string& path) {
    const int code = lastSystemError();
    fatalError("cannot " + operation + " \"" + path + "\": " + systemErrorText(code));
}

int fdOf(const FolderHandle& folder) { return static_cast<int>(folder.native); }

}  // namespace

NameRules platformNameRules() { return NameRules::Posix; }

const CodePage& platformCodePage() { return latin1CodePage(); }

std::string pathLengthProblem(const std::string&, const std::vector<std::string>&) { return ""; }

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

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

FolderHandle openDestination(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) fail("create folder", path);
    FolderHandle folder;
    folder.path = path;
    folder.native = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.native < 0) fail("open folder", path);
    folder.syncable = true;
    return folder;
}

FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name) {
    FolderHandle folder;
    folder.path = pathInside(parent, name);
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
    folder.syncable = true;
    return folder;
}

void setFileTime(AtomicFile& file, int64_t utcSeconds) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(utcSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (futimens(static_cast<int>(file.temp.native), times) != 0) {
        fail("set the time of", pathInside(*file.temp.folder, file.name));
    }
}
