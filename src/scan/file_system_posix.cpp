// POSIX listing: readdir on an open folder, then one fstatat per entry relative to it, which
// follows symbolic links so that a link is stored as what it points to. Entries whose type the
// folder already tells (a folder, a pipe, a device) need no stat: only files and links get one.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "scan/file_system.h"

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

// The offset from UTC in force right now; the time bytes use it whatever the file's own date.
int64_t utcOffsetNow() {
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

// Fills in what a stat that follows links tells about `name` in the open folder.
void statItem(int folderFd, const char* name, int64_t utcOffset, FolderItem& item) {
    struct stat st {};
    if (fstatat(folderFd, name, &st, 0) != 0) {
        item.kind = FolderItem::Kind::Other;  // dangling link, or gone since readdir
    } else if (S_ISDIR(st.st_mode)) {
        item.kind = FolderItem::Kind::Folder;
    } else if (S_ISREG(st.st_mode)) {
        item.kind = FolderItem::Kind::File;
        item.size = static_cast<uint64_t>(st.st_size);
        item.hasTime = true;
        item.localSeconds = static_cast<int64_t>(st.st_mtim.tv_sec) + utcOffset;
    } else {
        item.kind = FolderItem::Kind::Other;
    }
}

struct PosixFileSystem : FileSystem {
    bool listFolder(const std::string& folderPath, std::vector<FolderItem>& items) override {
        // The trailing slash makes "" mean the file system root (the root path of "/") and
        // insists on a folder.
        const std::string dirPath = folderPath + "/";
        const int fd = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return false;
        DirHandle handle(fdopendir(fd));
        if (!handle.dir) {
            close(fd);
            return false;
        }
        const int64_t offset = utcOffsetNow();
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
                case DT_DIR:
                    item.kind = FolderItem::Kind::Folder;
                    break;
                case DT_REG:
                case DT_LNK:
                case DT_UNKNOWN:  // a file system that doesn't tell: stat decides
                    statItem(dirfd(handle.dir), name, offset, item);
                    break;
                default:  // pipes, sockets, devices
                    item.kind = FolderItem::Kind::Other;
                    break;
            }
            items.push_back(std::move(item));
        }
        return true;
    }

    bool exists(const std::string& path) override {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }
};

}  // namespace

char nativeSeparator() { return '/'; }

FileSystem& systemFileSystem() {
    static PosixFileSystem fs;
    return fs;
}
