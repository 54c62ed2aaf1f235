// POSIX listing: the entries of a folder straight from the kernel (getdents64) on an open
// folder, then a stat relative to it, which follows symbolic links so that a link is stored as
// what it points to. Entries whose type the folder already tells (a folder, a pipe, a device)
// need no stat. The stats of plain files are the scan's main cost, and the listing doesn't wait
// for them: they go, a folder's worth at a time, to a queue that a second thread and the scan
// itself work through, while the scan lists on. Links and entries of a file system that doesn't
// tell types are stat'ed at once, since whether they are folders decides where the scan goes. A
// folder's identity comes from the open folder itself; a linked folder's from the stat that
// follows the link. The kernel's views (kernel_views.h) list as empty.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "common/open_path.h"
#include "common/unique_handle.h"
#include "common/worker_thread.h"
#include "platform/file_system.h"
#include "platform/kernel_views.h"

namespace {

// An open folder, closed when the last one that holds it lets go: the listing, and the stats
// still to be made in it. Only read from: closing can lose nothing.
using OpenFolder = UniqueHandle;

FolderId idOf(const struct stat& st) {
    FolderId id;
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    id.known = true;
    return id;
}

// The stats of some files of one folder, each written into the file's entry.
struct StatJob {
    std::shared_ptr<OpenFolder> folder;
    int64_t utcOffset = 0;
    std::vector<std::pair<FileEntry*, const char*>> files;  // each entry, and its name
};

void runJob(const StatJob& job) {
    for (const auto& file : job.files) {
        FileEntry& entry = *file.first;
        struct stat st {};
        if (fstatat(job.folder->fd(), file.second, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
            entry.modifiedTime = kNoLongerAFile;  // gone, or something else now, since listed
            continue;
        }
        entry.size = static_cast<uint64_t>(st.st_size);
        entry.modifiedTime = static_cast<int64_t>(st.st_mtim.tv_sec) + job.utcOffset;
    }
}

// The stats the listing leaves for later: a second thread takes jobs from the front of the queue;
// the scan hands jobs in at the back, and runs the oldest itself while too many wait, and all
// that are left at the end.
class LateStats {
public:
    void add(const std::shared_ptr<OpenFolder>& folder, int64_t utcOffset, FileEntry& entry,
             const char* name) {
        if (current_.folder != folder) {
            submit();
            current_.folder = folder;
            current_.utcOffset = utcOffset;
        }
        current_.files.emplace_back(&entry, name);
        if (current_.files.size() == kJobFiles) submit();
    }

    // Hands the job being gathered to the queue.
    void submit() {
        if (!current_.files.empty()) {
            std::unique_lock<std::mutex> lock(worker_.mutex);
            try {
                queue_.push_back(std::move(current_));
            } catch (const std::bad_alloc&) {  // also on the way out of a failure: never throws
                lock.unlock();
                runJob(current_);
                current_ = StatJob();
                return;
            }
            const bool wake = queue_.size() == 1;
            if (queue_.size() > kMaxWaiting || !worker_.start([this] { run(); })) {
                runOldest(lock);
            } else if (wake) {
                lock.unlock();
                worker_.changed.notify_all();
            }
        }
        current_ = StatJob();
    }

    // Returns when every job is done.
    void finish() {
        submit();
        std::unique_lock<std::mutex> lock(worker_.mutex);
        while (!queue_.empty() || threadBusy_) {
            if (queue_.empty()) {
                worker_.changed.wait(lock);
            } else {
                runOldest(lock);
            }
        }
    }

private:
    static constexpr size_t kJobFiles = 128;
    static constexpr size_t kMaxWaiting = 8;

    // Runs the job at the front on this thread; `lock` is held before and after.
    void runOldest(std::unique_lock<std::mutex>& lock) {
        const StatJob job = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        runJob(job);
        lock.lock();
    }

    void run() {
        std::unique_lock<std::mutex> lock(worker_.mutex);
        for (;;) {
            worker_.changed.wait(lock, [this] { return worker_.stopping || !queue_.empty(); });
            if (worker_.stopping) return;
            threadBusy_ = true;
            runOldest(lock);
            threadBusy_ = false;
            if (queue_.empty()) worker_.changed.notify_all();  // finish() may wait for this
        }
    }

    StatJob current_;  // the scan's side only
    // Under worker_.mutex:
    std::deque<StatJob> queue_;
    bool threadBusy_ = false;
    WorkerThread worker_;  // last: its thread stops before the fields it uses go
};

struct PosixFileSystem : FileSystem {
    bool listFolder(const std::string& folderPath, FolderId& id,
                    std::vector<FolderItem>& items) override {
        // The trailing slash makes "" mean the file system root (the root path of "/") and
        // insists on a folder.
        const std::string dirPath = folderPath + "/";
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
        int fd = openPath(dirPath, flags);
        if (fd < 0 && errno == EMFILE) {
            // The folders that stats still wait for hold descriptors: free them, and try again.
            late_.finish();
            fd = openPath(dirPath, flags);
        }
        // Out of memory is no folder that can't be listed, to pass over in silence: the run ends.
        if (fd < 0 && errno == ENOMEM) throw std::bad_alloc();
        if (fd < 0) return false;
        auto folder = std::make_shared<OpenFolder>(fd);
        struct stat self {};
        const bool known = fstat(fd, &self) == 0;
        if (known) id = idOf(self);
        open_.push_back({folder, utcOffsetNow()});
        if (kernelView(fd, known, self.st_dev)) return true;  // listed, holding nothing to store
        for (;;) {
            const ssize_t got = getdents64(fd, buffer_, sizeof buffer_);
            if (got <= 0) break;  // end of folder, or a read error: what was listed stands
            for (ssize_t at = 0; at < got;) {
                const auto* ent = reinterpret_cast<const dirent64*>(buffer_ + at);
                at += ent->d_reclen;
                addItem(fd, *ent, known ? &self : nullptr, open_.back().utcOffset, items);
            }
        }
        return true;
    }

    std::string listFailure(const std::string& folderPath) override {
        const UniqueHandle folder(
            openPath(folderPath + "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
        return folder.valid() ? "" : strerror(errno);
    }

    bool exists(const std::string& path) override {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }

    void statLater(FileEntry& entry, const char* name) override {
        late_.add(open_.back().folder, open_.back().utcOffset, entry, name);
    }

    void leaveFolder() override { open_.pop_back(); }

    void finishStats() override {
        late_.finish();
        open_.clear();
    }

private:
    // `folder` is the folder's own stat, null when unknown.
    static void addItem(int fd, const dirent64& ent, const struct stat* folder, int64_t utcOffset,
                        std::vector<FolderItem>& items) {
        const char* name = ent.d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return;
        items.emplace_back();
        FolderItem& item = items.back();
        item.name = name;
        switch (ent.d_type) {
            case DT_DIR: item.kind = FolderItem::Kind::Folder; break;
            case DT_REG:
                item.kind = FolderItem::Kind::File;
                item.statLater = true;
                // A plain file lies on its folder's device (a file mounted over one aside), so
                // its identity is known without the stat that comes later.
                if (folder != nullptr) {
                    item.id = {static_cast<uint64_t>(folder->st_dev),
                               static_cast<uint64_t>(ent.d_ino), true};
                }
                break;
            case DT_LNK:
            case DT_UNKNOWN:  // a file system that doesn't tell: the stat decides now
                statNow(fd, utcOffset, item);
                break;
            default:  // pipes, sockets, devices
                item.kind = FolderItem::Kind::Other;
                break;
        }
    }

    // Fills in what a stat that follows links tells about an entry.
    static void statNow(int fd, int64_t utcOffset, FolderItem& item) {
        struct stat st {};
        if (fstatat(fd, item.name.c_str(), &st, 0) != 0) {
            item.kind = FolderItem::Kind::Other;  // dangling link, or gone since listed
        } else if (S_ISDIR(st.st_mode)) {
            item.kind = FolderItem::Kind::Folder;
            item.id = idOf(st);
        } else if (S_ISREG(st.st_mode)) {
            item.kind = FolderItem::Kind::File;
            item.id = idOf(st);
            item.size = static_cast<uint64_t>(st.st_size);
            item.hasTime = true;
            item.localSeconds = static_cast<int64_t>(st.st_mtim.tv_sec) + utcOffset;
        } else {
            item.kind = FolderItem::Kind::Other;
        }
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

    struct Listed {
        std::shared_ptr<OpenFolder> folder;
        int64_t utcOffset = 0;  // in force when it was listed
    };
    std::vector<Listed> open_;  // the folders listed and not yet left, outermost first
    std::map<dev_t, bool> kernelViewByDevice_;
    alignas(dirent64) char buffer_[32 << 10];
    LateStats late_;  // last: its thread stops before the rest goes
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
