#include "common/open_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/unique_handle.h"

namespace {

// Walks the path in pieces that one call can resolve, each cut just after a slash and opened
// relative to the folder before it. O_PATH: passing through a folder needs the right to search
// it, not to read it, as for a whole path in one call; links on the way are followed alike.
// Closing a folder on the way keeps errno, which tells the caller why an open failed.
int openInPieces(const std::string& path, int flags) {
    constexpr size_t kMaxPiece = PATH_MAX - 1;  // and the terminating NUL
    UniqueHandle folder;                        // none: the current folder
    const auto at = [&] { return folder.valid() ? folder.fd() : AT_FDCWD; };
    size_t start = 0;
    while (path.size() - start > kMaxPiece) {
        const size_t slash = path.rfind('/', start + kMaxPiece - 1);
        if (slash == std::string::npos || slash < start) {  // one name longer than a whole piece
            errno = ENAMETOOLONG;
            return -1;
        }
        const std::string piece = path.substr(start, slash + 1 - start);
        const int next = openat(at(), piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) return -1;
        folder.reset(next);
        // Further slashes right after the cut would make the rest an absolute path.
        start = path.find_first_not_of('/', slash + 1);
        if (start == std::string::npos) start = path.size();
    }
    // A path that ends in a slash names the folder reached.
    const char* rest = start < path.size() ? path.c_str() + start : ".";
    return openat(at(), rest, flags);
}

}  // namespace

int openPath(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags);
    if (fd >= 0 || errno != ENAMETOOLONG) return fd;
    return openInPieces(path, flags);
}
