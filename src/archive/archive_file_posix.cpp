// An archive file read with pread through one descriptor.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/archive_file.h"
#include "archive/fatal_error.h"

namespace {

struct FileSource : ArchiveSource {
    int fd = -1;
    uint64_t length = 0;
    timespec modified{};
    timespec statusChanged{};

    FileSource() = default;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    // Only ever read: there is nothing a failing close could lose.
    ~FileSource() override {
        if (fd >= 0) close(fd);
    }

    uint64_t size() const override { return length; }

    bool readAt(uint64_t position, void* data, size_t count) override {
        auto* bytes = static_cast<char*>(data);
        while (count > 0) {
            const ssize_t n = pread(fd, bytes, count, static_cast<off_t>(position));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // an error, or the file was cut short meanwhile
            bytes += n;
            count -= static_cast<size_t>(n);
            position += static_cast<uint64_t>(n);
        }
        return true;
    }
};

[[noreturn]] void fail(const char* operation, const std::string& path) {
    fatalError(std::string("cannot ") + operation + " \"" + path + "\": " + strerror(errno));
}

std::string notRegularText(mode_t mode) {
    const char* kind = S_ISDIR(mode)    ? "a folder"
                       : S_ISFIFO(mode) ? "a named pipe"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : nullptr;
    return kind ? std::string("it is ") + kind + ", not a regular file"
                : "it is not a regular file";
}

}  // namespace

std::unique_ptr<ArchiveSource> openArchiveFile(const std::string& path) {
    auto source = std::make_unique<FileSource>();
    // Without O_NONBLOCK, opening a named pipe waits for a writer that may never come.
    source->fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (source->fd < 0) fail("open", path);
    struct stat st {};
    if (fstat(source->fd, &st) != 0) fail("look at", path);
    if (!S_ISREG(st.st_mode)) {
        fatalError("cannot read \"" + path + "\": " + notRegularText(st.st_mode));
    }
    // Back to ordinary reads, which would otherwise fail with EAGAIN under mandatory locks.
    const int flags = fcntl(source->fd, F_GETFL);
    if (flags < 0 || fcntl(source->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        fail("set the reading mode of", path);
    }
    source->length = static_cast<uint64_t>(st.st_size);
    source->modified = st.st_mtim;
    source->statusChanged = st.st_ctim;
    return source;
}

bool archiveFileUnchanged(const ArchiveSource& source) {
    const auto* file = dynamic_cast<const FileSource*>(&source);
    struct stat st {};
    if (!file || fstat(file->fd, &st) != 0) return false;
    const auto same = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    // Replacing a file by renaming another over it unlinks the old one. A write in place moves
    // the status-change time, which can't be set back, also when the last-write time is.
    return st.st_nlink > 0 && static_cast<uint64_t>(st.st_size) == file->length &&
           same(st.st_mtim, file->modified) && same(st.st_ctim, file->statusChanged);
}
