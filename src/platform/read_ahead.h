#pragma once
// Reads small files ahead of the writer, in batches of consecutive files: a thread of its own
// claims batches in list order and reads them into memory, and the writer, rather than wait for a
// batch still being read, claims and reads the next free one itself, so two cores share the
// files' open, stat, read and close calls. At most kReadAheadBatches batches are held ahead of
// the one being written, so memory stays bounded.
// A batch stops at its first failing file and keeps what it threw; the writer raises that when it
// reaches the file. Without a thread the writer reads every batch itself, as it comes to it.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/worker_thread.h"

// Reads file `index` whole into `into` (sizes[index] bytes); a failure throws (FatalError). Runs
// on either thread.
using ReadFile = std::function<void(size_t index, char* into)>;

class ReadAhead {
public:
    ReadAhead(std::vector<uint32_t> sizes, ReadFile read);

    // The next file's bytes, valid until the next call; or its failure, raised again.
    const char* takeNext();

private:
    struct Batch {
        size_t first = 0;  // files [first, end)
        size_t end = 0;
        uint64_t bytes = 0;
        bool ready = false;  // read (under the mutex; the reader's writes to the rest come before)
        std::unique_ptr<char[]> data;
        uint64_t offset = 0;         // the writer's position in data
        size_t failedAt = SIZE_MAX;  // the first file that failed, if one did
        std::exception_ptr failure;  // what it threw
    };

    void addBatch(size_t first, size_t end, uint64_t bytes);
    void readBatch(Batch& batch);
    void awaitBatch();
    void finishBatch();
    void run();

    const std::vector<uint32_t> sizes_;  // each file is small
    const ReadFile read_;
    std::vector<Batch> batches_;
    size_t taken_ = 0;        // the writer's next file; the writer's side only
    bool haveBatch_ = false;  // batch writing_ is ready and seen so; the writer's side only
    // Under worker_.mutex, as is each batch's `ready`:
    size_t writing_ = 0;  // the batch the writer is in; the ones before it are released
    size_t claimed_ = 0;  // the batches before this one are taken by a reader
    bool writerWaits_ = false;
    bool threadWaits_ = false;
    std::exception_ptr failure_;
    std::vector<std::unique_ptr<char[]>> spare_;  // buffers of batches written
    WorkerThread worker_;  // last: its thread stops before the fields it uses go
};
