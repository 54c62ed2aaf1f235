#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/fatal_error.h"
#include "platform/messages.h"
#include "platform/output_file.h"
#include "platform/output_target.h"

namespace {

bool isStreamable(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode); }

// The path a chain of symbolic links at `path` ends at, whether or not anything is there; false
// for a loop, or a link that can't be read.
bool followLinks(std::string path, std::string& end) {
    for (int hop = 0; hop < 40; ++hop) {  // the kernel's own limit for one lookup
        char target[PATH_MAX + 1];
        const ssize_t length = readlink(path.c_str(), target, sizeof target);
        if (length < 0) {
            // Not a link (EINVAL), or nothing there: the chain ends here. Anything else is for
            // the writer's open to report.
            end = path;
            return errno != ENOMEM;
        }
        if (static_cast<size_t>(length) >= sizeof target) return false;
        const std::string next(target, static_cast<size_t>(length));
        const size_t slash = path.rfind('/');
        path =
            next[0] == '/' || slash == std::string::npos ? next : path.substr(0, slash + 1) + next;
    }
    return false;
}

}  // namespace

void findOutputTarget(const std::string& archivePath, bool named, OutputTarget& target) {
    target.path = archivePath;
    struct stat st {};
    if (lstat(archivePath.c_str(), &st) != 0) return;  // missing: for the writer to create
    if (S_ISLNK(st.st_mode)) {
        if (!named) return;  // the link itself is replaced
        // What the link leads to decides; a dangling one leads to the file to create.
        if (stat(archivePath.c_str(), &st) != 0 ||
            !(isStreamable(st.st_mode) || S_ISSOCK(st.st_mode))) {
            if (!followLinks(archivePath, target.path)) fatalError(archiveOpenError(archivePath));
            return;
        }
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return;  // a folder: the writer's open error
    if (!named || !isStreamable(st.st_mode)) fatalError(archiveOpenError(archivePath));
    // Opening a named pipe waits for its reader, as writing to it would.
    const int fd = open(archivePath.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) fatalError(archiveOpenError(archivePath));
    target.stream.reset(fd);
    // What was opened may not be what was looked at: a regular file is never written in place.
    if (fstat(fd, &st) != 0 || !isStreamable(st.st_mode)) fatalError(archiveOpenError(archivePath));
}

void closeOutputTarget(OutputTarget& target, const std::string& archivePath) {
    if (!target.stream.valid()) return;
    if (!target.stream.close() && errno != EINTR) fatalError(archiveWriteError(archivePath));
}
