// Windows input: each file is read in pieces of 1 MiB and appended to the archive.

#include <memory>

#include "common/fatal_error.h"
#include "platform/input_file.h"
#include "platform/input_reader.h"

namespace {

constexpr size_t kCopyBufferSize = 1 << 20;

struct Win32InputReader : InputReader {
    explicit Win32InputReader(const FileList& list) : files(list) {}

    void appendNext(OutputFile& out, const FileCopied& copied) override {
        const FileEntry& entry = files[next++];
        const std::string path = files.pathOf(entry);
        InputFile in = openListedFile(path);

        if (!buffer) buffer.reset(new char[kCopyBufferSize]);
        uint64_t remaining = entry.size;
        while (remaining > 0) {
            const size_t want =
                remaining < kCopyBufferSize ? static_cast<size_t>(remaining) : kCopyBufferSize;
            if (readInputFile(in, buffer.get(), want) != want) {
                fatalError(inputReadError(path));
            }
            writeOutput(out, buffer.get(), want);
            remaining -= want;
            if (copied) copied(entry.size - remaining);
        }
        closeListedFile(in);
    }

    const FileList& files;
    size_t next = 0;
    std::unique_ptr<char[]> buffer;
};

}  // namespace

std::unique_ptr<InputReader> openInputReader(const FileList& files) {
    return std::make_unique<Win32InputReader>(files);
}
