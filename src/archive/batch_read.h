#pragma once
// Reading runs of small files whole, for the read-ahead (Linux). On this path each file costs its
// open, a check that it is a regular file, its read and its close, and on a machine where every
// system call pays for switching page tables, the crossings into the kernel cost as much as the
// work. So where the kernel offers io_uring, a run of files takes three calls in all: one opens
// them all, one checks them all, and one reads and closes them all. Where it doesn't (an old
// kernel, io_uring turned off or refused by a filter, or ZEM_NO_IO_URING=1 in the environment),
// each file is read on its own with those four calls.
//
// Whatever the batch can't settle (a file it couldn't open, no regular file, fewer bytes than
// expected), it leaves to the one-at-a-time path, which reads that file afresh and decides: so
// the texts, and what fails where, are the same on both paths.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct BatchFile {
    const std::string* path = nullptr;
    uint64_t size = 0;  // as scanned: exactly this many bytes are read
    char* into = nullptr;
};

// The kernel's queues of one thread: each thread that reads needs a reader of its own. The queues
// are set up at the first run read, so a run without small files never makes them.
struct BatchReader {
    struct Ring;
    std::unique_ptr<Ring> ring;  // null: one file at a time
    bool setUp = false;
    BatchReader();
    BatchReader(const BatchReader&) = delete;
    BatchReader& operator=(const BatchReader&) = delete;
    ~BatchReader();
};

// Reads files [0, count) whole, each into its own `into`. Returns the index of the first file
// that can't be read, with its open or read error in `error`; count when every file was read.
size_t readBatch(BatchReader& reader, const BatchFile* files, size_t count, std::string& error);

// Whether the reader reads in batches (its queues are set up, which this does first if needed).
bool readsInBatches(BatchReader& reader);
