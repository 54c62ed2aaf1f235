// zem mount on Linux: libfuse 3's low-level interface over the tree of mount_tree.cpp. An inode
// number is a node's index plus one (the root, node 0, is FUSE_ROOT_ID), so every request finds
// its node in one step without building paths. The tree never changes while mounted: the kernel
// may keep names, attributes and folder listings as long as it likes, and forgetting an inode
// frees nothing.

// The interface of libfuse 3.12 (3 * 100 + 12), the first with the loop configuration used here.
#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "common/fatal_error.h"
#include "ops/extract.h"
#include "ops/mount_tree.h"
#include "platform/archive_file.h"
#include "platform/process.h"
#include "zem/commands.h"
#include "zem/messages.h"
#include "zem/mount.h"

namespace {

// A reply that can't be delivered (the request was interrupted meanwhile) leaves nothing to do,
// so what the fuse_reply_ calls return is not looked at.

// The tree is fixed, so what the kernel learns of it stays true (a day is as good as forever).
constexpr double kCacheSeconds = 86400;
constexpr blksize_t kBlockSize = 4096;

struct Mounted {
    LoadedArchive archive;
    MountTree tree;
    // Each record's time as extraction would give its file.
    std::vector<int64_t> fileTimes;
    int64_t archiveTime = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    // Whether the kernel opens files and folders by itself when asked to (from libfuse's init).
    bool kernelOpens = false;
};

Mounted& mountedOf(fuse_req_t req) { return *static_cast<Mounted*>(fuse_req_userdata(req)); }

// The node of an inode number from the kernel, which only hands back numbers this file system
// gave it; nullptr for anything else all the same.
const MountNode* nodeOf(const Mounted& m, fuse_ino_t ino) {
    return ino >= 1 && ino <= m.tree.nodes.size() ? &m.tree.nodes[ino - 1] : nullptr;
}

struct stat attributesOf(const Mounted& m, uint32_t index) {
    const MountNode& node = m.tree.nodes[index];
    struct stat st {};
    st.st_ino = index + 1;
    st.st_uid = m.uid;
    st.st_gid = m.gid;
    st.st_blksize = kBlockSize;
    if (node.isFolder()) {
        st.st_mode = S_IFDIR | 0555;
        st.st_nlink = 2 + node.subfolders;
        st.st_mtim.tv_sec = m.archiveTime;
    } else {
        const ArchiveRecord& r = m.archive.records[node.record];
        st.st_mode = S_IFREG | 0444;
        st.st_nlink = 1;
        st.st_size = r.length;
        st.st_blocks = (static_cast<blkcnt_t>(r.length) + 511) / 512;
        st.st_mtim.tv_sec = m.fileTimes[node.record];
    }
    st.st_atim = st.st_mtim;
    st.st_ctim = st.st_mtim;
    return st;
}

fuse_entry_param entryOf(const Mounted& m, uint32_t index) {
    fuse_entry_param e{};
    e.ino = index + 1;
    e.attr = attributesOf(m, index);
    e.attr_timeout = kCacheSeconds;
    e.entry_timeout = kCacheSeconds;
    return e;
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    const Mounted& m = mountedOf(req);
    if (!nodeOf(m, parent)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const uint32_t found = findChild(m.tree, static_cast<uint32_t>(parent - 1), name);
    if (found == kNoNode) {
        // A negative entry the kernel may keep as long as the others.
        fuse_entry_param none{};
        none.entry_timeout = kCacheSeconds;
        fuse_reply_entry(req, &none);
        return;
    }
    const fuse_entry_param e = entryOf(m, found);
    fuse_reply_entry(req, &e);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    const Mounted& m = mountedOf(req);
    if (!nodeOf(m, ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const struct stat st = attributesOf(m, static_cast<uint32_t>(ino - 1));
    fuse_reply_attr(req, &st, kCacheSeconds);
}

// Opening needs nothing of this file system: the checks that matter are made at each read. Left
// to the kernel, an open costs no request and keeps what the kernel cached of the file or
// folder, which for small files is most of the cost of reading them.
void init(void* userdata, fuse_conn_info* conn) {
    static_cast<Mounted*>(userdata)->kernelOpens =
        (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) && (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT);
    // With that, an open's O_TRUNC would go unseen: let the kernel ask for it as a change of
    // size, which is refused like every change.
    conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
    // Nothing in the tree changes while mounted, so a read of cached bytes need not first check
    // the file's attributes, which alone makes such reads about a third slower.
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
}

void openNode(fuse_req_t req, fuse_file_info* fi) {
    if (mountedOf(req).kernelOpens) {
        fuse_reply_err(req, ENOSYS);  // from now on the kernel opens by itself
        return;
    }
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

// One reply's worth of a folder's entries from position `offset`: "." and ".." first, then the
// children in archive order. Each entry carries the position of the next, where a later call
// goes on.
void listFolder(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
    const Mounted& m = mountedOf(req);
    const MountNode* folder = nodeOf(m, ino);
    if (!folder || !folder->isFolder()) {
        fuse_reply_err(req, folder ? ENOTDIR : ENOENT);
        return;
    }
    const auto self = static_cast<uint32_t>(ino - 1);
    thread_local std::vector<char> buffer;
    if (buffer.size() < size) buffer.resize(size);
    size_t used = 0;
    std::string name;
    const size_t count = folder->children.size() + 2;
    for (auto position = static_cast<size_t>(offset < 0 ? 0 : offset); position < count;
         ++position) {
        const uint32_t index = position == 0   ? self
                               : position == 1 ? folder->parent
                                               : folder->children[position - 2];
        name = position == 0   ? "."
               : position == 1 ? ".."
                               : std::string(nodeName(m.tree.nodes[index]));
        const auto next = static_cast<off_t>(position + 1);
        size_t added;
        if (plus) {
            fuse_entry_param e = entryOf(m, index);
            // The kernel links no entry for "." and "..": a zero inode tells it not to count one.
            if (position < 2) e.ino = 0;
            added = fuse_add_direntry_plus(req, buffer.data() + used, size - used, name.c_str(), &e,
                                           next);
        } else {
            struct stat st {};
            st.st_ino = index + 1;
            st.st_mode = m.tree.nodes[index].isFolder() ? S_IFDIR : S_IFREG;
            added =
                fuse_add_direntry(req, buffer.data() + used, size - used, name.c_str(), &st, next);
        }
        if (added > size - used) break;
        used += added;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    listFolder(req, ino, size, offset, false);
}

void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    listFolder(req, ino, size, offset, true);
}

void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    Mounted& m = mountedOf(req);
    const MountNode* node = nodeOf(m, ino);
    if (!node || node->isFolder() || offset < 0) {
        fuse_reply_err(req, node && node->isFolder() ? EISDIR : EINVAL);
        return;
    }
    const ArchiveRecord& r = m.archive.records[node->record];
    const auto from = static_cast<uint64_t>(offset);
    const size_t count =
        from >= r.length ? 0 : static_cast<size_t>(std::min<uint64_t>(size, r.length - from));
    // One buffer per serving thread, as large as the largest read the kernel asked for.
    thread_local std::vector<char> buffer;
    if (buffer.size() < count) buffer.resize(count);
    // An archive changed since it was mounted no longer holds the bytes the tree describes (what
    // the kernel cached of it before still is the archive as mounted). A file cut short while
    // this reads gives a short read, which readAt reports as a failure.
    if (!archiveFileUnchanged(*m.archive.source) ||
        (count > 0 && !m.archive.source->readAt(r.dataOffset + from, buffer.data(), count))) {
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_reply_buf(req, buffer.data(), count);
}

void statfs(fuse_req_t req, fuse_ino_t) {
    const Mounted& m = mountedOf(req);
    struct statvfs s {};
    s.f_bsize = kBlockSize;
    s.f_frsize = kBlockSize;
    s.f_blocks = (m.archive.source->size() + kBlockSize - 1) / kBlockSize;
    s.f_files = m.tree.nodes.size();
    s.f_namemax = NAME_MAX;
    fuse_reply_statfs(req, &s);
}

// The mount is read-only, so the kernel refuses changes before they get here; should it be
// remounted read-write, the file system still refuses them itself.
void refuse(fuse_req_t req) { fuse_reply_err(req, EROFS); }

fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops ops{};
    ops.init = init;
    ops.lookup = lookup;
    ops.getattr = getattr;
    ops.opendir = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { openNode(req, fi); };
    ops.readdir = readdir;
    ops.readdirplus = readdirplus;
    ops.open = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { openNode(req, fi); };
    ops.read = read;
    ops.statfs = statfs;
    ops.setattr = [](fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
        refuse(req);
    };
    ops.mknod = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { refuse(req); };
    ops.mkdir = [](fuse_req_t req, fuse_ino_t, const char*, mode_t) { refuse(req); };
    ops.unlink = [](fuse_req_t req, fuse_ino_t, const char*) { refuse(req); };
    ops.rmdir = [](fuse_req_t req, fuse_ino_t, const char*) { refuse(req); };
    ops.symlink = [](fuse_req_t req, const char*, fuse_ino_t, const char*) { refuse(req); };
    ops.rename = [](fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*,
                    unsigned int) { refuse(req); };
    ops.link = [](fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { refuse(req); };
    ops.create = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
        refuse(req);
    };
    ops.write = [](fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
        refuse(req);
    };
    ops.fallocate = [](fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
        refuse(req);
    };
    ops.setxattr = [](fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) {
        refuse(req);
    };
    ops.removexattr = [](fuse_req_t req, fuse_ino_t, const char*) { refuse(req); };
    return ops;
}

// The path from the root, without resolving a final link or mount: a mount point whose server
// is gone can't be looked at, yet must still be named as the system lists it.
std::string absolutePath(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const size_t slash = trimmed.rfind('/');
    std::string folder = slash == std::string::npos ? "." : trimmed.substr(0, slash);
    if (folder.empty()) folder = "/";
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    const bool whole = name.empty() || name == "." || name == ".." || name == "/";
    std::unique_ptr<char, decltype(&free)> real(
        realpath(whole ? trimmed.c_str() : folder.c_str(), nullptr), free);
    if (!real) failSystemCall("find", whole ? trimmed : folder);
    if (whole) return real.get();
    const std::string base = real.get();
    return (base == "/" ? "" : base) + "/" + name;
}

struct FuseArgs {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    FuseArgs() = default;
    FuseArgs(const FuseArgs&) = delete;
    FuseArgs& operator=(const FuseArgs&) = delete;
    ~FuseArgs() { fuse_opt_free_args(&args); }
};

struct Session {
    fuse_session* session = nullptr;
    bool handlers = false;
    bool mounted = false;
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (mounted) fuse_session_unmount(session);
        if (handlers) fuse_remove_signal_handlers(session);
        if (session) fuse_session_destroy(session);
    }
};

struct LoopConfig {
    fuse_loop_config* config = fuse_loop_cfg_create();
    LoopConfig() = default;
    LoopConfig(const LoopConfig&) = delete;
    LoopConfig& operator=(const LoopConfig&) = delete;
    ~LoopConfig() {
        if (config) fuse_loop_cfg_destroy(config);
    }
};

// The mount options: read-only, permissions checked by the kernel against the modes, and the
// archive named as the mount's source, as the system's mount list shows it.
void addMountOptions(FuseArgs& fuse, const std::string& source) {
    char* options = nullptr;
    const bool added = fuse_opt_add_opt(&options, "ro,default_permissions,subtype=zem") == 0 &&
                       fuse_opt_add_opt_escaped(&options, ("fsname=" + source).c_str()) == 0;
    std::unique_ptr<char, decltype(&free)> owned(options, free);
    if (!added || fuse_opt_add_arg(&fuse.args, "zem") != 0 ||
        fuse_opt_add_arg(&fuse.args, "-o") != 0 || fuse_opt_add_arg(&fuse.args, options) != 0) {
        throw std::bad_alloc();
    }
}

// The fields of the system's mount list: a mount point and its file system type, escaped as
// the kernel escapes them (\040 for a space).
std::string unescapeMountField(const std::string& field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The type of the file system mounted last at `path` (as /proc/self/mountinfo has it), or empty.
std::string mountedType(const std::string& path) {
    std::ifstream list("/proc/self/mountinfo");
    if (!list) failSystemCall("read", "/proc/self/mountinfo");
    std::string type;
    for (std::string line; std::getline(list, line);) {
        // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
        size_t start = 0;
        for (int field = 0; field < 4 && start != std::string::npos; ++field) {
            start = line.find(' ', start);
            if (start != std::string::npos) ++start;
        }
        if (start == std::string::npos) continue;
        const size_t end = line.find(' ', start);
        const size_t dash = line.find(" - ", end);
        if (end == std::string::npos || dash == std::string::npos) continue;
        if (unescapeMountField(line.substr(start, end - start)) != path) continue;
        const size_t typeEnd = line.find(' ', dash + 3);
        type = unescapeMountField(line.substr(dash + 3, typeEnd - (dash + 3)));
    }
    return type;
}

// A second mount on a folder would hide the first, which could then be unmounted only after it.
void refuseMountedFolder(const std::string& mountPoint, const std::string& path) {
    if (mountedType(path) == "fuse.zem") {
        fatalError("cannot mount on \"" + mountPoint +
                   "\": an archive is already mounted there (zem unmount it first)");
    }
}

// zem-open-folder puts this file into each folder it makes, where the mount then hides it. Once
// unmounted, a folder that holds this file and nothing else is one it made for the mount, which
// nobody else uses: it goes, and folders of anyone else stay.
constexpr char kOpenFolderMark[] = ".zem-open-folder";

void removeOpenFolder(const std::string& path, std::ostream& err) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;  // gone, or no folder: none that zem-open-folder made
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(fd), closedir);
    if (!dir) {
        close(fd);
        return;
    }
    bool marked = false, other = false;
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        struct stat st {};
        if (name == "." || name == "..") continue;
        if (name == kOpenFolderMark && fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            marked = true;
        } else {
            other = true;
        }
        errno = 0;
    }
    if (errno != 0 || !marked || other) return;
    if (unlinkat(fd, kOpenFolderMark, 0) != 0 || rmdir(path.c_str()) != 0) {
        printMessage(
            err, zemWarningText("cannot remove the folder \"" + path + "\": " + strerror(errno)));
    }
}

}  // namespace

int mountCommand(const std::string& archivePath, const std::string& mountPoint, bool foreground,
                 std::ostream&) {
    auto m = std::make_unique<Mounted>();
    readArchiveFile(archivePath, m->archive);
    checkArchiveNames(m->archive);
    buildMountTree(m->archive.records, m->tree);

    struct stat st {};
    if (stat(archivePath.c_str(), &st) != 0) failSystemCall("look at", archivePath);
    m->archiveTime = st.st_mtim.tv_sec;
    m->fileTimes.reserve(m->archive.records.size());
    for (const ArchiveRecord& r : m->archive.records) {
        m->fileTimes.push_back(r.time.present() ? utcSecondsOf(r.time) : m->archiveTime);
    }
    m->uid = getuid();
    m->gid = getgid();

    if (stat(mountPoint.c_str(), &st) != 0) {
        // A mount whose server is gone can't be looked into, but is still listed.
        const int error = errno;
        if (error == ENOTCONN) refuseMountedFolder(mountPoint, absolutePath(mountPoint));
        errno = error;
        failSystemCall("mount on", mountPoint);
    }
    if (!S_ISDIR(st.st_mode)) fatalError("cannot mount on \"" + mountPoint + "\": not a folder");
    // libfuse unmounts by the path it mounted, after it has left the working folder.
    std::unique_ptr<char, decltype(&free)> target(realpath(mountPoint.c_str(), nullptr), free);
    if (!target) failSystemCall("find", mountPoint);
    refuseMountedFolder(mountPoint, target.get());

    FuseArgs fuse;
    addMountOptions(fuse, absolutePath(archivePath));
    const fuse_lowlevel_ops ops = operations();
    Session s;
    s.session = fuse_session_new(&fuse.args, &ops, sizeof ops, m.get());
    if (!s.session) fatalError("cannot start a file system for \"" + archivePath + "\"");
    // libfuse takes over only signals left to their default action: the cleanup the program sets
    // up for atomic files has nothing to do here. (signal fails only for an invalid signal.)
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    if (fuse_set_signal_handlers(s.session) != 0) {
        fatalError("cannot set up the signals of the file system for \"" + archivePath + "\"");
    }
    s.handlers = true;
    if (fuse_session_mount(s.session, target.get()) != 0) {
        fatalError("cannot mount \"" + archivePath + "\" on \"" + mountPoint + "\"");
    }
    s.mounted = true;
    // In the background the program returns here, in a first process, once the mount is in place;
    // the second goes on serving it. libfuse reports its failures itself.
    if (fuse_daemonize(foreground ? 1 : 0) != 0) {
        fatalError("cannot serve \"" + mountPoint + "\" in the background");
    }
    LoopConfig loop;
    if (!loop.config) throw std::bad_alloc();
    // A signal ends the loop with its number: an unmount asked for, not a failure.
    const int ended = fuse_session_loop_mt(s.session, loop.config);
    return ended < 0 ? kExitProblem : kExitOk;
}

int unmountCommand(const std::string& mountPoint, std::ostream& err) {
    const std::string path = absolutePath(mountPoint);
    const std::string type = mountedType(path);
    if (type.empty()) fatalError("cannot unmount \"" + mountPoint + "\": nothing is mounted there");
    if (type != "fuse.zem") {
        const bool vowel = std::string("aeiou").find(type[0]) != std::string::npos;
        fatalError("cannot unmount \"" + mountPoint + "\": it is no archive mounted by zem but " +
                   (vowel ? "an " : "a ") + type + " file system");
    }
    const pid_t pid = spawnProgram("fusermount3", {"fusermount3", "-u", "--", path}, -1);
    if (pid < 0) {
        fatalError("cannot run fusermount3 to unmount \"" + mountPoint + "\": " + strerror(errno));
    }
    const int status = waitForExit(pid);
    if (status == kNotWaited) failSystemCall("wait for fusermount3 unmounting", mountPoint);
    if (status != 0) {
        fatalError("cannot unmount \"" + mountPoint + "\": fusermount3 -u failed");
    }
    removeOpenFolder(path, err);
    return kExitOk;
}
