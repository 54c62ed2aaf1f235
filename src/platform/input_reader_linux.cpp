// Linux input: small files are read ahead on a second thread (read_ahead.h) and pass through the
// archive's staging buffer; larger ones are copied by the kernel (copy.h).

#include <vector>

#include "common/fatal_error.h"
#include "platform/copy.h"
#include "platform/input_file.h"
#include "platform/input_reader.h"
#include "platform/read_ahead.h"

namespace {

// Files up to this size are read; larger ones go through the kernel copy. Measured on ext4: for
// files of a few KiB a read costs half of copy_file_range's per-call setup; at 64 KiB the two
// cost the same.
constexpr uint64_t kSmallFileSize = 64 << 10;

// Held for the whole run, one for each small file: reserved to size, not grown by doubling.
std::vector<const FileEntry*> smallFilesOf(const FileList& files) {
    size_t count = 0;
    for (const FileEntry& entry : files) count += entry.size <= kSmallFileSize;
    std::vector<const FileEntry*> small;
    small.reserve(count);
    for (const FileEntry& entry : files) {
        if (entry.size <= kSmallFileSize) small.push_back(&entry);
    }
    return small;
}

std::vector<uint32_t> sizesOf(const std::vector<const FileEntry*>& entries) {
    std::vector<uint32_t> sizes;
    sizes.reserve(entries.size());
    for (const FileEntry* entry : entries) sizes.push_back(static_cast<uint32_t>(entry->size));
    return sizes;
}

struct LinuxInputReader : InputReader {
    explicit LinuxInputReader(const FileList& list)
        : files(list),
          small(smallFilesOf(list)),
          readAhead(sizesOf(small), [this](size_t index, char* into) { readFile(index, into); }) {}

    // A small file with an open, a check that it is a regular file, one read and a close.
    void readFile(size_t index, char* into) {
        const FileEntry& entry = *small[index];
        InputFile in = openListedFile(files.pathOf(entry));
        const size_t length = static_cast<size_t>(entry.size);
        if (readInputFile(in, into, length) != length) fatalError(inputReadError(in.path));
        closeListedFile(in);
    }

    void appendNext(OutputFile& out, const FileCopied& copied) override {
        const FileEntry& entry = files[next++];
        if (entry.size <= kSmallFileSize) {
            writeOutput(out, readAhead.takeNext(), static_cast<size_t>(entry.size));
            return;
        }
        const std::string path = files.pathOf(entry);
        InputFile in = openListedFile(path);
        copyLargeFile(kernelCopy, in.native.fd(), path, entry.size, out, copied);
        closeListedFile(in);
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
