// POSIX archive file: an unnamed O_TMPFILE in the archive's folder where the file system allows
// it (a crash leaves nothing behind), else an exclusively created hidden file beside the archive.
// Commit: fsync, give the file a temporary name if it has none, rename it over the archive path,
// fsync the folder.
//
// Speed: small writes and small input files gather in one staging buffer that goes out in large
// writes (a kernel copy costs more per call than a read of a few KiB); larger files are copied by
// the kernel, straight from their page cache into the archive's. Writeback of the archive is
// started as it grows, so the disk works while the copy goes on and the final fsync waits only
// for the last pieces. Small files are opened and read ahead by one more thread, in list order
// into bounded memory, while this one writes; so their system calls overlap the archive's writes.

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/fatal_error.h"
#include "archive/output_file.h"

namespace {

// The staging buffer, also the read/write fallback's buffer: big enough that its writes cost
// little per byte, small enough to stay well inside the memory budget.
constexpr size_t kStageSize = size_t(1) << 20;
// Files up to this size are read into the staging buffer; larger ones go through the kernel copy.
// Measured on ext4: for files of a few KiB a read costs half of copy_file_range's per-call setup;
// at 64 KiB the two cost the same.
constexpr uint64_t kSmallFileSize = 64 << 10;
// The kernel copies at most this much per call, so writeback can start and progress be reported
// between calls.
constexpr size_t kMaxChunk = static_cast<size_t>(kProgressPiece);
// Writeback of the archive is started each time this much more has been written.
constexpr uint64_t kWritebackStep = uint64_t(8) << 20;

// Fewer small files than this are read by the writer's own thread.
constexpr size_t kReadAheadMinFiles = 2;

// The named temporary file that a signal must remove, for the async-signal-safe handler.
char g_pendingPath[4096];
volatile sig_atomic_t g_hasPending = 0;

void setPending(const std::string& path) {
    g_hasPending = 0;
    if (path.size() >= sizeof g_pendingPath) return;
    memcpy(g_pendingPath, path.c_str(), path.size() + 1);
    g_hasPending = 1;
}

void clearPending() { g_hasPending = 0; }

extern "C" void onTerminatingSignal(int sig) {
    if (g_hasPending) unlink(g_pendingPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Owns a file descriptor.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
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

// Reads exactly `size` bytes from the start of the file at path into `into`, as appendFile does
// for a small file. Returns the failure's text, or an empty string.
std::string readSmallFile(const std::string& path, uint64_t size, char* into) {
    // O_NONBLOCK: a FIFO put in the file's place since the scan must not hang the run.
    Fd in(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (in.fd < 0) return inputOpenError(path);
    struct stat st {};
    if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return inputOpenError(path);
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

// Reads the small files of a list ahead of the writer, in batches of consecutive files: one
// thread of its own claims batches in list order and reads them into memory, and the writer,
// rather than wait for a batch still being read, claims and reads the next free one itself, so
// two cores share the files' open, stat, read and close calls. At most kReadAheadBatches batches
// are held ahead of the one being written, so memory stays bounded. A batch stops at its first
// failing file and keeps the failure's text; the writer raises it when it reaches that file.
// Destroying the object stops the thread and waits for it, on every path out of the writer.
class ReadAhead {
public:
    struct Wanted {
        std::string path;
        uint64_t size;
    };

    explicit ReadAhead(std::vector<Wanted> wanted) : wanted_(std::move(wanted)) {
        size_t first = 0;
        uint64_t bytes = 0;
        for (size_t i = 0; i < wanted_.size(); ++i) {
            if (i > first && (i - first == kBatchFiles || bytes + wanted_[i].size > kBatchBytes)) {
                addBatch(first, i, bytes);
                first = i;
                bytes = 0;
            }
            bytes += wanted_[i].size;
        }
        if (first < wanted_.size()) addBatch(first, wanted_.size(), bytes);
        thread_ = std::thread([this] { run(); });
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    ~ReadAhead() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // Whether the writer's next small file is this one (always, when it follows the list).
    bool isNext(const std::string& path, uint64_t size) const {
        return taken_ < wanted_.size() && wanted_[taken_].size == size &&
               wanted_[taken_].path == path;
    }

    // The next file's bytes (wanted_[taken_].size of them), valid until the next call; or its
    // failure, raised.
    const char* takeNext() {
        // The previous file's batch is released only now: its bytes were in use until this call.
        if (haveBatch_ && taken_ == batches_[writing_].end) finishBatch();
        Batch& batch = batches_[writing_];
        if (!haveBatch_) {
            awaitBatch();
            haveBatch_ = true;
        }
        const size_t index = taken_++;
        if (index == batch.failedAt) fatalError(batch.error);
        const char* data = batch.data.get() + batch.offset;
        batch.offset += wanted_[index].size;
        return data;
    }

private:
    static constexpr size_t kBatchFiles = 64;
    static constexpr uint64_t kBatchBytes = 256 << 10;
    static constexpr size_t kReadAheadBatches = 8;

    struct Batch {
        size_t first = 0;  // files [first, end) of wanted_
        size_t end = 0;
        uint64_t bytes = 0;
        bool ready = false;  // read (under mutex_; the reader's writes to the rest come before)
        std::unique_ptr<char[]> data;
        uint64_t offset = 0;  // the writer's position in data
        size_t failedAt = SIZE_MAX;  // the first file that failed, if one did
        std::string error;
    };

    void addBatch(size_t first, size_t end, uint64_t bytes) {
        batches_.emplace_back();
        batches_.back().first = first;
        batches_.back().end = end;
        batches_.back().bytes = bytes;
    }

    // Reads a claimed batch; only its claimer touches it until it is marked ready.
    void readBatch(Batch& batch) {
        batch.data.reset(new char[batch.bytes ? batch.bytes : 1]);
        char* into = batch.data.get();
        for (size_t i = batch.first; i < batch.end; ++i) {
            std::string error = readSmallFile(wanted_[i].path, wanted_[i].size, into);
            if (!error.empty()) {
                batch.failedAt = i;
                batch.error = std::move(error);
                return;
            }
            into += wanted_[i].size;
        }
    }

    // Until the batch being written is ready (seen under the mutex): reads the next free batch
    // within the bound (this one, or a later one while the thread reads this one), or waits.
    void awaitBatch() {
        std::unique_lock<std::mutex> lock(mutex_);
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
            changed_.wait(lock);
            writerWaits_ = false;
        }
    }

    void finishBatch() {
        Batch& batch = batches_[writing_];
        batch.data.reset();
        haveBatch_ = false;
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++writing_;
            wake = threadWaits_;
        }
        if (wake) changed_.notify_all();
    }

    void run() {
        try {
            std::unique_lock<std::mutex> lock(mutex_);
            while (true) {
                while (!stop_ && claimed_ < batches_.size() &&
                       claimed_ > writing_ + kReadAheadBatches) {
                    threadWaits_ = true;
                    changed_.wait(lock);
                    threadWaits_ = false;
                }
                if (stop_ || claimed_ == batches_.size()) return;
                Batch& batch = batches_[claimed_++];
                lock.unlock();
                readBatch(batch);
                lock.lock();
                batch.ready = true;
                if (writerWaits_) changed_.notify_all();
            }
        } catch (...) {  // out of memory: the writer raises it if it waits for this thread
            {
                std::lock_guard<std::mutex> lock(mutex_);
                failure_ = std::current_exception();
            }
            changed_.notify_all();
        }
    }

    const std::vector<Wanted> wanted_;
    std::vector<Batch> batches_;
    size_t taken_ = 0;        // the writer's next file; the writer's side only
    bool haveBatch_ = false;  // batch writing_ is ready and seen so; the writer's side only
    std::mutex mutex_;  // guards the fields below and each batch's `ready`
    std::condition_variable changed_;
    size_t writing_ = 0;  // the batch the writer is in; the ones before it are released
    size_t claimed_ = 0;  // the batches before this one are taken by a reader
    bool writerWaits_ = false;
    bool threadWaits_ = false;
    bool stop_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A fresh name beside the archive; uniqueness comes from O_EXCL / EEXIST at the caller.
std::string temporaryName(const std::string& folder, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".%ld.%lx.%u.tmp", static_cast<long>(getpid()),
             static_cast<unsigned long>(now.tv_nsec), counter++);
    return folder + "/." + base + suffix;
}

bool procFdAvailable() { return access("/proc/self/fd", X_OK) == 0; }

class PosixOutputFile : public OutputFile {
public:
    explicit PosixOutputFile(const std::string& archivePath)
        : archivePath_(archivePath), folder_(folderOf(archivePath)) {
        struct stat st {};
        if (stat(archivePath_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            fatalError(archiveOpenError(archivePath_));
        }
        if (procFdAvailable()) {
            fd_.fd = open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
            if (fd_.fd >= 0) return;
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
                fatalError(archiveOpenError(archivePath_));
            }
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = temporaryName(folder_, baseNameOf(archivePath_));
            fd_.fd = open(candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
            if (fd_.fd >= 0) {
                tempPath_ = candidate;
                setPending(tempPath_);
                return;
            }
            if (errno != EEXIST) break;
        }
        fatalError(archiveOpenError(archivePath_));
    }

    ~PosixOutputFile() override {
        if (committed_) return;
        if (fd_.fd >= 0) close(fd_.release());  // failing anyway: nothing to report
        if (!tempPath_.empty()) {
            unlink(tempPath_.c_str());
            clearPending();
        }
    }

    void write(const void* data, size_t size) override {
        if (size == 0) return;  // an empty buffer's data() may be null, which memcpy must not get
        if (size > kStageSize - stageUsed_) {
            flushStage();
            if (size >= kStageSize) {
                writeDirect(data, size);
                return;
            }
        }
        memcpy(stage_.get() + stageUsed_, data, size);
        stageUsed_ += size;
        size_ += size;
    }

    void writeAt(uint64_t position, const void* data, size_t size) override {
        flushStage();
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = pwrite(fd_.fd, p, size, static_cast<off_t>(position));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) failWrite();
            p += n;
            size -= static_cast<size_t>(n);
            position += static_cast<uint64_t>(n);
        }
    }

    void expectFiles(const FileList& files) override {
        std::vector<ReadAhead::Wanted> small;
        for (const FileEntry& entry : files) {
            if (entry.size <= kSmallFileSize) small.push_back({entry.path, entry.size});
        }
        // A thread pays for itself only over many files.
        if (small.size() < kReadAheadMinFiles) return;
        try {
            readAhead_ = std::make_unique<ReadAhead>(std::move(small));
        } catch (const std::system_error&) {
            // No thread to be had: appendFile reads each file itself, as it always can.
        }
    }

    void appendFile(const std::string& inputPath, uint64_t size) override {
        if (size <= kSmallFileSize) {
            if (readAhead_ && readAhead_->isNext(inputPath, size)) {
                write(readAhead_->takeNext(), static_cast<size_t>(size));
                return;
            }
            readAhead_.reset();  // files out of the announced order: read each here instead
            if (size > kStageSize - stageUsed_) flushStage();
            const std::string error = readSmallFile(inputPath, size, stage_.get() + stageUsed_);
            if (!error.empty()) fatalError(error);
            stageUsed_ += static_cast<size_t>(size);
            size_ += size;
            return;
        }

        // O_NONBLOCK: a FIFO put in the file's place since the scan must not hang the run.
        Fd in(open(inputPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (in.fd < 0) fatalError(inputOpenError(inputPath));
        struct stat st {};
        if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) fatalError(inputOpenError(inputPath));
        uint64_t remaining = size;
        flushStage();
        if (useCopyRange_) copyWithKernel(in.fd, size, remaining, /*copyRange=*/true);
        if (remaining > 0 && useSendfile_) {
            copyWithKernel(in.fd, size, remaining, /*copyRange=*/false);
        }
        if (remaining > 0) copyThroughBuffer(in.fd, inputPath, size, remaining);
        if (close(in.release()) != 0) fatalError(inputReadError(inputPath));
    }

    uint64_t size() const override { return size_; }

    void commit() override {
        flushStage();
        if (fsync(fd_.fd) != 0) failWrite();
        if (tempPath_.empty()) linkUnnamedFile();
        if (close(fd_.release()) != 0) failWrite();
        if (rename(tempPath_.c_str(), archivePath_.c_str()) != 0) failWrite();
        committed_ = true;
        clearPending();
        syncFolder();
    }

private:
    [[noreturn]] void failWrite() { fatalError(archiveWriteError(archivePath_)); }

    // Gives the O_TMPFILE file a name beside the archive so that rename can replace the archive.
    void linkUnnamedFile() {
        char procPath[64];
        snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd_.fd);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = temporaryName(folder_, baseNameOf(archivePath_));
            setPending(candidate);
            if (linkat(AT_FDCWD, procPath, AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                tempPath_ = candidate;
                return;
            }
            clearPending();
            if (errno != EEXIST) break;
        }
        failWrite();
    }

    void syncFolder() {
        Fd dir(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd < 0) failWrite();
        // Some file systems can't sync a folder (EINVAL); the rename is as durable as they allow.
        if (fsync(dir.fd) != 0 && errno != EINVAL) failWrite();
        if (close(dir.release()) != 0) failWrite();
    }

    // Writes bytes at the end, bypassing the staging buffer (which must be empty).
    void writeDirect(const void* data, size_t size) {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::write(fd_.fd, p, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) failWrite();
            p += n;
            size -= static_cast<size_t>(n);
            size_ += static_cast<uint64_t>(n);
        }
        startWriteback();
    }

    // Writes out what the staging buffer holds; its bytes are already counted in size_.
    void flushStage() {
        const char* p = stage_.get();
        size_t left = stageUsed_;
        while (left > 0) {
            const ssize_t n = ::write(fd_.fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) failWrite();
            p += n;
            left -= static_cast<size_t>(n);
        }
        stageUsed_ = 0;
        startWriteback();
    }

    // Asks the kernel to start writing the archive's newest bytes to disk, without waiting, so
    // that commit's fsync finds little left to do. Only a hint: durability still comes from fsync.
    void startWriteback() {
        const uint64_t written = size_ - stageUsed_;
        if (!useWriteback_ || written - writebackStart_ < kWritebackStep) return;
        if (sync_file_range(fd_.fd, static_cast<off64_t>(writebackStart_),
                            static_cast<off64_t>(written - writebackStart_),
                            SYNC_FILE_RANGE_WRITE) != 0) {
            if (errno == EIO || errno == ENOSPC) failWrite();
            useWriteback_ = false;  // a file system without it: fsync does all the work
            return;
        }
        writebackStart_ = written;
    }

    // Copies with copy_file_range or sendfile until done, the input ends early, or the kernel
    // refuses this pair of files (then the caller falls back to the next method).
    void copyWithKernel(int in, uint64_t size, uint64_t& remaining, bool copyRange) {
        while (remaining > 0) {
            const size_t chunk = remaining < kMaxChunk ? static_cast<size_t>(remaining) : kMaxChunk;
            const ssize_t n = copyRange ? copy_file_range(in, nullptr, fd_.fd, nullptr, chunk, 0)
                                        : sendfile(fd_.fd, in, nullptr, chunk);
            if (n > 0) {
                remaining -= static_cast<uint64_t>(n);
                size_ += static_cast<uint64_t>(n);
                startWriteback();
                reportPiece(size, remaining, static_cast<uint64_t>(n));
                continue;
            }
            if (n == 0) return;  // end of input, or a file system that reports none: read() decides
            if (errno == EINTR) continue;
            if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT) failWrite();
            (copyRange ? useCopyRange_ : useSendfile_) = false;
            return;  // read() tells an input error from a refusal of this method
        }
    }

    // The last resort for a large file: read and write through the (empty) staging buffer.
    void copyThroughBuffer(int in, const std::string& inputPath, uint64_t size,
                           uint64_t& remaining) {
        while (remaining > 0) {
            const size_t want =
                remaining < kStageSize ? static_cast<size_t>(remaining) : kStageSize;
            const ssize_t n = read(in, stage_.get(), want);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fatalError(inputReadError(inputPath));
            writeDirect(stage_.get(), static_cast<size_t>(n));
            remaining -= static_cast<uint64_t>(n);
            reportPiece(size, remaining, static_cast<uint64_t>(n));
        }
    }

    // Tells the observer about a file's progress when the last `step` bytes ended a piece.
    void reportPiece(uint64_t size, uint64_t remaining, uint64_t step) {
        const uint64_t copied = size - remaining;
        if (onPieceCopied && remaining > 0 &&
            copied / kProgressPiece != (copied - step) / kProgressPiece) {
            onPieceCopied(copied);
        }
    }

    std::string archivePath_;
    std::string folder_;
    std::string tempPath_;  // empty while the file is unnamed (O_TMPFILE)
    Fd fd_;
    uint64_t size_ = 0;  // including what still waits in the staging buffer
    bool committed_ = false;
    bool useCopyRange_ = true;
    bool useSendfile_ = true;
    bool useWriteback_ = true;
    uint64_t writebackStart_ = 0;  // writeback has been started for the bytes before this
    std::unique_ptr<char[]> stage_{new char[kStageSize]};
    size_t stageUsed_ = 0;
    std::unique_ptr<ReadAhead> readAhead_;  // last: its thread stops first
};

}  // namespace

std::unique_ptr<OutputFile> createOutputFile(const std::string& archivePath) {
    return std::make_unique<PosixOutputFile>(archivePath);
}

void installSignalHandling() {
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onTerminatingSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);
}
