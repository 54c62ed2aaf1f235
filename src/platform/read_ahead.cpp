#include "platform/read_ahead.h"

namespace {

constexpr size_t kBatchFiles = 64;
constexpr uint64_t kBatchBytes = 256 << 10;
constexpr size_t kReadAheadBatches = 8;

// The thread is started for at least this many files: for a single one it gains nothing, as the
// writer needs that file at once and would only wait for its read.
constexpr size_t kReadAheadMinFiles = 2;

}  // namespace

ReadAhead::ReadAhead(std::vector<uint32_t> sizes, ReadFile read)
    : sizes_(std::move(sizes)), read_(std::move(read)) {
    size_t first = 0;
    uint64_t bytes = 0;
    for (size_t i = 0; i < sizes_.size(); ++i) {
        if (i > first && (i - first == kBatchFiles || bytes + sizes_[i] > kBatchBytes)) {
            addBatch(first, i, bytes);
            first = i;
            bytes = 0;
        }
        bytes += sizes_[i];
    }
    if (first < sizes_.size()) addBatch(first, sizes_.size(), bytes);
    // Without a thread (none to be had) the writer reads every batch itself.
    if (sizes_.size() >= kReadAheadMinFiles) worker_.start([this] { run(); });
}

const char* ReadAhead::takeNext() {
    // The previous file's batch is released only now: its bytes were in use until this call.
    if (haveBatch_ && taken_ == batches_[writing_].end) finishBatch();
    Batch& batch = batches_[writing_];
    if (!haveBatch_) {
        awaitBatch();
        haveBatch_ = true;
    }
    const size_t index = taken_++;
    if (index == batch.failedAt) std::rethrow_exception(batch.failure);
    const char* data = batch.data.get() + batch.offset;
    batch.offset += sizes_[index];
    return data;
}

void ReadAhead::addBatch(size_t first, size_t end, uint64_t bytes) {
    batches_.emplace_back();
    batches_.back().first = first;
    batches_.back().end = end;
    batches_.back().bytes = bytes;
}

// Reads a claimed batch; only its claimer touches it until it is marked ready.
void ReadAhead::readBatch(Batch& batch) {
    {
        std::lock_guard<std::mutex> lock(worker_.mutex);
        if (!spare_.empty()) {
            batch.data = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    // Every batch fits one buffer. They are used again rather than freed: freed, the allocator
    // gives such blocks back to the system, and each new one costs a page fault per 4 KiB.
    if (!batch.data) batch.data.reset(new char[kBatchBytes]);
    char* into = batch.data.get();
    for (size_t i = batch.first; i < batch.end; into += sizes_[i], ++i) {
        try {
            read_(i, into);
        } catch (...) {
            batch.failedAt = i;
            batch.failure = std::current_exception();
            return;
        }
    }
}

// Until the batch being written is ready (seen under the mutex): reads the next free batch within
// the bound (this one, or a later one while the thread reads this one), or waits.
void ReadAhead::awaitBatch() {
    std::unique_lock<std::mutex> lock(worker_.mutex);
    while (!batches_[writing_].ready) {
        if (failure_) std::rethrow_exception(failure_);
        if (claimed_ < batches_.size() && claimed_ <= writing_ + kReadAheadBatches) {
            Batch& batch = batches_[claimed_++];
            lock.unlock();
            readBatch(batch);
            lock.lock();
            batch.ready = true;
            continue;
        }
        writerWaits_ = true;
        worker_.changed.wait(lock);
        writerWaits_ = false;
    }
}

void ReadAhead::finishBatch() {
    Batch& batch = batches_[writing_];
    haveBatch_ = false;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(worker_.mutex);
        spare_.push_back(std::move(batch.data));
        ++writing_;
        wake = threadWaits_;
    }
    if (wake) worker_.changed.notify_all();
}

// The thread's loop.
void ReadAhead::run() {
    try {
        std::unique_lock<std::mutex> lock(worker_.mutex);
        while (true) {
            while (!worker_.stopping && claimed_ < batches_.size() &&
                   claimed_ > writing_ + kReadAheadBatches) {
                threadWaits_ = true;
                worker_.changed.wait(lock);
                threadWaits_ = false;
            }
            if (worker_.stopping || claimed_ == batches_.size()) return;
            Batch& batch = batches_[claimed_++];
            lock.unlock();
            readBatch(batch);
            lock.lock();
            batch.ready = true;
            if (writerWaits_) worker_.changed.notify_all();
        }
    } catch (...) {  // out of memory: the writer raises it if it waits for this thread
        {
            std::lock_guard<std::mutex> lock(worker_.mutex);
            failure_ = std::current_exception();
        }
        worker_.changed.notify_all();
    }
}
