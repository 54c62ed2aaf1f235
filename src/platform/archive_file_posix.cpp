// An archive file read with pread through one descriptor.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/fatal_error.h"
#include "common/unique_handle.h"
#include "platform/archive_file.h"

namespace {

struct FileSource : ArchiveSource {
    UniqueHandle descriptor;
    uint64_t base = 0;  // where the archive begins in the file
    uint64_t length = 0;
    timespec modified{};
    timespec statusChanged{};

    // Only ever read: there is nothing a failing close could lose.

    uint64_t size() const override { return length; }

    bool readAt(uint64_t position, void* data, size_t count) override {
        auto* bytes = static_cast<char*>(data);
        while (count > 0) {
            const ssize_t n =
                pread(descriptor.fd(), bytes, count, static_cast<off_t>(base + position));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // an error, or the file was cut short meanwhile
            bytes += n;
            count -= static_cast<size_t>(n);
            position += static_cast<uint64_t>(n);
        }
        return true;
    }
};

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

constexpr const char* kStandardInput = "standard input";

// A file with no name in the temporary folder ($TMPDIR, else /tmp), gone once closed; -1 with
// errno set when none can be made. Where the file system has no unnamed files, a named one is
// removed at once.
int unnamedTemporaryFile() {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string folder = tmpdir && *tmpdir ? tmpdir : "/tmp";
#ifdef O_TMPFILE
    const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
#endif
    std::string name = folder + "/.zem-input-XXXXXX";
    const int named = mkostemp(name.data(), O_CLOEXEC);
    if (named < 0) return -1;
    if (unlink(name.c_str()) != 0) {
        const int error = errno;
        close(named);
        errno = error;
        return -1;
    }
    return named;
}

// Copies standard input into the source's file until its end.
void spoolStandardInput(FileSource& source) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failSystemCall("read", kStandardInput);
        if (n == 0) return;
        source.length += static_cast<uint64_t>(n);
        if (source.length > kLargestArchiveSize) {
            fatalError("cannot read standard input: it holds more than the " +
                       std::to_string(kLargestArchiveSize) +
                       " bytes of the largest archive, so it is not an archive");
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w =
                write(source.descriptor.fd(), buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0)
                failSystemCall("copy standard input into a temporary file for", kStandardInput);
            done += w;
        }
    }
}

}  // namespace

std::unique_ptr<ArchiveSource> openArchiveStream() {
    auto source = std::make_unique<FileSource>();
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) != 0) failSystemCall("look at", kStandardInput);
    if (S_ISREG(st.st_mode)) {
        const off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
        if (at < 0) failSystemCall("look at", kStandardInput);
        source->descriptor.reset(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        if (!source->descriptor.valid()) failSystemCall("open", kStandardInput);
        source->base = static_cast<uint64_t>(at);
        source->length = st.st_size > at ? static_cast<uint64_t>(st.st_size - at) : 0;
        source->modified = st.st_mtim;
        return source;
    }
    source->descriptor.reset(unnamedTemporaryFile());
    if (!source->descriptor.valid()) failSystemCall("create a temporary file for", kStandardInput);
    spoolStandardInput(*source);
    return source;
}

std::unique_ptr<ArchiveSource> openArchiveFile(const std::string& path) {
    auto source = std::make_unique<FileSource>();
    // Without O_NONBLOCK, opening a named pipe waits for a writer that may never come.
    source->descriptor.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!source->descriptor.valid()) failSystemCall("open", path);
    struct stat st {};
    if (fstat(source->descriptor.fd(), &st) != 0) failSystemCall("look at", path);
    if (!S_ISREG(st.st_mode)) {
        fatalError("cannot read \"" + path + "\": " + notRegularText(st.st_mode));
    }
    // Back to ordinary reads, which would otherwise fail with EAGAIN under mandatory locks.
    const int flags = fcntl(source->descriptor.fd(), F_GETFL);
    if (flags < 0 || fcntl(source->descriptor.fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        failSystemCall("set the reading mode of", path);
    }
    source->length = static_cast<uint64_t>(st.st_size);
    source->modified = st.st_mtim;
    source->statusChanged = st.st_ctim;
    return source;
}

bool archiveFileUnchanged(const ArchiveSource& source) {
    const auto* file = dynamic_cast<const FileSource*>(&source);
    struct stat st {};
    if (!file || fstat(file->descriptor.fd(), &st) != 0) return false;
    const auto same = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    // Replacing a file by renaming another over it unlinks the old one. A write in place moves
    // the status-change time, which can't be set back, also when the last-write time is.
    return st.st_nlink > 0 && static_cast<uint64_t>(st.st_size) == file->length &&
           same(st.st_mtim, file->modified) && same(st.st_ctim, file->statusChanged);
}
