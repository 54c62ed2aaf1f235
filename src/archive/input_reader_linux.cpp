// Linux input: small files are read ahead on a second thread (read_ahead.h) and pass through the
// archive's staging buffer; larger ones are copied by the kernel (copy.h).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "archive/copy.h"
#include "archive/fatal_error.h"
#include "archive/input_reader.h"
#include "archive/read_ahead.h"
#include "common/open_path.h"

namespace {

// Files up to this size are read; larger ones go through the kernel copy. Measured on ext4: for
// files of a few KiB a read costs half of copy_file_range's per-call setup; at 64 KiB the two
// cost the same.
constexpr uint64_t kSmallFileSize = 64 << 10;

// Owns a file descriptor.
struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    // Hands the descriptor to the caller, who closes it and checks the result.
    int release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};

// Opens an input file; false when it can't be opened or is no regular file any more. Any path
// the scan listed opens, however long.
bool openInput(const std::string& path, Fd& in) {
    // O_NONBLOCK: a FIFO put in the file's place since the scan must not hang the run.
    in.fd = openPath(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (in.fd < 0) return false;
    struct stat st {};
    return fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Reads exactly `size` bytes from the start of the file at path into `into`. Returns the
// failure's text, or an empty string.
std::string readSmallFile(const std::string& path, uint64_t size, char* into) {
    Fd in;
    if (!openInput(path, in)) return inputOpenError(path);
    uint64_t done = 0;
    while (done < size) {
        const ssize_t n = read(in.fd, into + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return inputReadError(path);
        done += static_cast<uint64_t>(n);
    }
    if (close(in.release()) != 0) return inputReadError(path);
    return std::string();
}

std::vector<const FileEntry*> smallFilesOf(const FileList& files) {
    std::vector<const FileEntry*> small;
    for (const FileEntry& entry : files) {
        if (entry.size <= kSmallFileSize) small.push_back(&entry);
    }
    return small;
}

std::vector<uint64_t> sizesOf(const std::vector<const FileEntry*>& entries) {
    std::vector<uint64_t> sizes;
    for (const FileEntry* entry : entries) sizes.push_back(entry->size);
    return sizes;
}

struct LinuxInputReader : InputReader {
    explicit LinuxInputReader(const FileList& list)
        : files(list),
          small(smallFilesOf(list)),
          readAhead(sizesOf(small), [this](size_t i, char* into) {
              return readSmallFile(small[i]->path, small[i]->size, into);
          }) {}

    void appendNext(OutputFile& out, const FileCopied& copied) override {
        const FileEntry& entry = files[next++];
        if (entry.size <= kSmallFileSize) {
            writeOutput(out, readAhead.takeNext(), static_cast<size_t>(entry.size));
            return;
        }
        Fd in;
        if (!openInput(entry.path, in)) fatalError(inputOpenError(entry.path));
        copyLargeFile(kernelCopy, in.fd, entry.path, entry.size, out, copied);
        if (close(in.release()) != 0) fatalError(inputReadError(entry.path));
    }

    const FileList& files;
    const std::vector<const FileEntry*> small;  // the files read ahead, in list order
    size_t next = 0;
    KernelCopy kernelCopy;
    ReadAhead readAhead;  // last: its thread stops first
};

}  // namespace

std::unique_ptr<InputReader> openInputReader(const FileList& files) {
    return std::make_unique<LinuxInputReader>(files);
}
