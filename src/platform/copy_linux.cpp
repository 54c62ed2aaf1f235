#include "platform/copy.h"

#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/fatal_error.h"
#include "platform/messages.h"
#include "platform/progress.h"

namespace {

// The kernel copies at most this much per call, and never past the end of a progress piece, so
// that writeback can start and a piece end between calls. A call may copy less than asked (it
// stops early when a signal or the kernel's own work for the process is pending); the next one
// then stops at the same piece's end.
constexpr uint64_t kMaxChunk = kProgressPiece;
constexpr size_t kBufferSize = size_t(1) << 20;

// Copies with copy_file_range or sendfile until done, the input ends early, or the kernel refuses
// this pair of files (then the caller falls back to the next method).
void copyWithKernel(KernelCopy& how, bool copyRange, int in, uint64_t size, uint64_t& remaining,
                    OutputFile& out, const FileCopied& copied) {
    const int to = static_cast<int>(fileForDirectAppend(out));
    while (remaining > 0) {
        const uint64_t toPieceEnd = kMaxChunk - (size - remaining) % kMaxChunk;
        const size_t chunk = static_cast<size_t>(std::min(remaining, toPieceEnd));
        const ssize_t n = copyRange ? copy_file_range(in, nullptr, to, nullptr, chunk, 0)
                                    : sendfile(to, in, nullptr, chunk);
        if (n > 0) {
            remaining -= static_cast<uint64_t>(n);
            appendedDirectly(out, static_cast<uint64_t>(n));
            if (copied) copied(size - remaining);
            continue;
        }
        if (n == 0) return;  // end of input, or a file system that reports none: read() decides
        if (errno == EINTR) continue;
        if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT) {
            failOutputWrite(out);
        }
        (copyRange ? how.copyRange : how.sendfile) = false;
        return;  // read() tells an input error from a refusal of this method
    }
}

void copyThroughBuffer(KernelCopy& how, int in, const std::string& inputPath, uint64_t size,
                       uint64_t& remaining, OutputFile& out, const FileCopied& copied) {
    if (!how.buffer) how.buffer.reset(new char[kBufferSize]);
    while (remaining > 0) {
        const size_t want = remaining < kBufferSize ? static_cast<size_t>(remaining) : kBufferSize;
        const ssize_t n = read(in, how.buffer.get(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fatalError(inputReadError(inputPath));
        writeOutput(out, how.buffer.get(), static_cast<size_t>(n));
        remaining -= static_cast<uint64_t>(n);
        if (copied) copied(size - remaining);
    }
}

}  // namespace

void copyLargeFile(KernelCopy& how, int in, const std::string& inputPath, uint64_t size,
                   OutputFile& out, const FileCopied& copied) {
    uint64_t remaining = size;
    if (how.copyRange) copyWithKernel(how, true, in, size, remaining, out, copied);
    if (remaining > 0 && how.sendfile) copyWithKernel(how, false, in, size, remaining, out, copied);
    if (remaining > 0) copyThroughBuffer(how, in, inputPath, size, remaining, out, copied);
}
