#pragma once
// Copying a large input file's bytes to the end of the archive (Linux): the kernel moves them
// straight from the input's page cache into the archive's with copy_file_range, or with sendfile
// where the pair of file systems refuses that; only where both refuse do they pass through a
// buffer.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/input_reader.h"
#include "platform/output_file.h"

// What the kernel has accepted so far in this run: a method refused once is not tried again.
struct KernelCopy {
    bool copyRange = true;
    bool sendfile = true;
    std::unique_ptr<char[]> buffer;  // for the last resort, made when first needed
};

// Appends exactly `size` bytes from the start of the open input file `in` (read from inputPath)
// to out, telling `copied` after each call how far the copy is. Fewer bytes than that is the
// input's read error.
void copyLargeFile(KernelCopy& how, int in, const std::string& inputPath, uint64_t size,
                   OutputFile& out, const FileCopied& copied);
