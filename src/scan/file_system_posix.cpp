// POSIX listing: readdir on an open folder, then one stat per entry relative to it, which
// follows symbolic links so that a link is stored as what it points to. Entries whose type the
// folder already tells (a folder, a pipe, a device) need no stat: only files and links get one.
// The stats are the scan's main cost: they go to the kernel in batches where it takes them
// (stat_batch.h); elsewhere they are fstatat calls, of which in a large folder a second thread
// takes a share. A folder's identity comes from the open folder itself; a linked folder's from the
// stat that follows the link. The kernel's views (kernel_views.h) list as empty.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <new>

#include "common/open_path.h"
#include "common/worker_thread.h"
#include "scan/file_system.h"
#include "scan/kernel_views.h"
#include "scan/stat_batch.h"

namespace {

// Owns a DIR stream.
struct DirHandle {
    DIR* dir = nullptr;
    explicit DirHandle(DIR* d) : dir(d) {}
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    ~DirHandle() {
        if (dir) closedir(dir);
    }
};

FolderId idOf(const struct stat& st) {
    FolderId id;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    id.known = true;
    return id;
}

// Fills in what a stat that follows links tells about an entry.
void fillItem(const EntryStat& stat, int64_t utcOffset, FolderItem& item) {
    if (!stat.found) {
        item.kind = FolderItem::Kind::Other;  // dangling link, or gone since readdir
    } else if (S_ISDIR(stat.mode)) {
        item.kind = FolderItem::Kind::Folder;
        item.id = {stat.device, stat.inode, true};
    } else if (S_ISREG(stat.mode)) {
        item.kind = FolderItem::Kind::File;
        item.id = {stat.device, stat.inode, true};
        item.size = stat.size;
        item.hasTime = true;
        item.localSeconds = stat.modifiedSeconds + utcOffset;
    } else {
        item.kind = FolderItem::Kind::Other;
    }
}

EntryStat statEntry(int folderFd, const char* name) {
    EntryStat stat;
    struct stat st {};
    if (fstatat(folderFd, name, &st, 0) != 0) return stat;
    stat.found = true;
    stat.mode = st.st_mode;
    stat.device = static_cast<uint64_t>(st.st_dev);
    stat.inode = static_cast<uint64_t>(st.st_ino);
    stat.size = static_cast<uint64_t>(st.st_size);
    stat.modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    return stat;
}

// Runs a loop's iterations on the calling thread and one helper thread, which waits between
// loops. Iterations are claimed in small chunks from a shared counter, so the faster thread
// takes more; the call returns when every iteration is done.
class StatSharer {
public:
    void forEach(size_t count, const std::function<void(size_t)>& body) {
        // Handing work over costs a wake-up; only worth it with enough stats to share.
        if (count < kMinShared || !helper_.start([this] { helperLoop(); })) {
            for (size_t i = 0; i < count; ++i) body(i);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(helper_.mutex);
            job_ = &body;
            count_ = count;
            next_.store(0);
            helperBusy_ = true;
            ++generation_;
        }
        helper_.changed.notify_all();
        work(body, count);
        std::unique_lock<std::mutex> lock(helper_.mutex);
        helper_.changed.wait(lock, [this] { return !helperBusy_; });
        job_ = nullptr;
    }

private:
    static constexpr size_t kMinShared = 48;
    static constexpr size_t kChunk = 8;

    void work(const std::function<void(size_t)>& body, size_t count) {
        for (size_t start; (start = next_.fetch_add(kChunk)) < count;) {
            const size_t end = std::min(start + kChunk, count);
            for (size_t i = start; i < end; ++i) body(i);
        }
    }

    void helperLoop() {
        unsigned seen = 0;
        for (;;) {
            const std::function<void(size_t)>* body = nullptr;
            size_t count = 0;
            {
                std::unique_lock<std::mutex> lock(helper_.mutex);
                helper_.changed.wait(lock, [&] { return helper_.stopping || generation_ != seen; });
                if (helper_.stopping) return;
                seen = generation_;
                body = job_;
                count = count_;
            }
            work(*body, count);
            {
                std::lock_guard<std::mutex> lock(helper_.mutex);
                helperBusy_ = false;
            }
            helper_.changed.notify_all();
        }
    }

    // Under helper_.mutex:
    bool helperBusy_ = false;
    unsigned generation_ = 0;
    const std::function<void(size_t)>* job_ = nullptr;
    size_t count_ = 0;

    std::atomic<size_t> next_{0};
    WorkerThread helper_;  // last: its thread stops before the fields it uses go
};

struct PosixFileSystem : FileSystem {
    bool listFolder(const std::string& folderPath, FolderId& id,
                    std::vector<FolderItem>& items) override {
        // The trailing slash makes "" mean the file system root (the root path of "/") and
        // insists on a folder.
        const std::string dirPath = folderPath + "/";
        const int fd = openPath(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        // Out of memory is no folder that can't be listed, to pass over in silence: the run ends.
        if (fd < 0 && errno == ENOMEM) throw std::bad_alloc();
        if (fd < 0) return false;
        DirHandle handle(fdopendir(fd));  // allocates the stream's buffer
        if (!handle.dir) {
            const int error = errno;
            close(fd);
            if (error == ENOMEM) throw std::bad_alloc();
            return false;
        }
        struct stat self {};
        const bool known = fstat(fd, &self) == 0;
        if (known) id = idOf(self);
        if (kernelView(fd, known, self.st_dev)) return true;  // listed, holding nothing to store
        const int64_t offset = utcOffsetNow();
        std::vector<size_t> toStat;  // positions in items of the entries that need a stat
        for (;;) {
            errno = 0;
            const dirent* ent = readdir(handle.dir);
            if (!ent) break;  // end of folder, or a read error: what was listed stands
            const char* name = ent->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            FolderItem item;
            item.name = name;
            switch (ent->d_type) {
                case DT_DIR: item.kind = FolderItem::Kind::Folder; break;
                case DT_REG:
                case DT_LNK:
                case DT_UNKNOWN:  // a file system that doesn't tell: stat decides
                    toStat.push_back(items.size());
                    break;
                default:  // pipes, sockets, devices
                    item.kind = FolderItem::Kind::Other;
                    break;
            }
            items.push_back(std::move(item));
        }
        statEntries(dirfd(handle.dir), toStat, offset, items);
        return true;
    }

    std::string listFailure(const std::string& folderPath) override {
        const int fd = openPath(folderPath + "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return strerror(errno);
        close(fd);
        return "";
    }

    bool exists(const std::string& path) override {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }

private:
    // A single stat is cheaper made directly than through the kernel's threads.
    static constexpr size_t kMinBatched = 2;

    void statEntries(int folderFd, const std::vector<size_t>& toStat, int64_t offset,
                     std::vector<FolderItem>& items) {
        if (toStat.size() >= kMinBatched) {
            std::vector<const char*> names;
            names.reserve(toStat.size());
            for (size_t at : toStat) names.push_back(items[at].name.c_str());
            std::vector<EntryStat> stats;
            if (statInBatches(batcher_, folderFd, names, stats)) {
                for (size_t i = 0; i < toStat.size(); ++i) {
                    fillItem(stats[i], offset, items[toStat[i]]);
                }
                return;
            }
        }
        stats_.forEach(toStat.size(), [&](size_t i) {
            FolderItem& item = items[toStat[i]];
            fillItem(statEntry(folderFd, item.name.c_str()), offset, item);
        });
    }

    // Whether the folder lies on one of the kernel's views. A file system is the same for every
    // folder of a device, so the question goes to the kernel once per device met.
    bool kernelView(int fd, bool deviceKnown, dev_t device) {
        if (!deviceKnown) return isKernelView(fd);
        const auto it = kernelViewByDevice_.find(device);
        if (it != kernelViewByDevice_.end()) return it->second;
        const bool view = isKernelView(fd);
        kernelViewByDevice_.emplace(device, view);
        return view;
    }

    StatBatcher batcher_;
    StatSharer stats_;
    std::map<dev_t, bool> kernelViewByDevice_;
};

}  // namespace

char nativeSeparator() { return '/'; }

FolderId fileIdentity(const std::string& path, bool followLinks) {
    struct stat st {};
    if ((followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return FolderId();
    return idOf(st);
}

int64_t utcOffsetNow() {
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

FileSystem& systemFileSystem() {
    static PosixFileSystem fs;
    return fs;
}

std::unique_ptr<FileSystem> newSystemFileSystem() { return std::make_unique<PosixFileSystem>(); }
