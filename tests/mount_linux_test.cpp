// zem mount through the built program and the kernel's FUSE: a packed tree read back through the
// mount (bytes, sizes, modes, times, listing order), reads from several processes at once, every
// change refused, damaged and hostile archives refused before anything is mounted, the ways a
// mount ends, and an archive changed under a mount. Each test mounts below its own temporary
// folder and unmounts again even when it fails. Without /dev/fuse or fusermount3 the tests are
// skipped, except in CI (CI=true), where that is a failure.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "archive/writer.h"
#include "archive_builder.h"
#include "scan/scan.h"
#include "test_util.h"

namespace {

constexpr int kWaitMilliseconds = 30000;
constexpr long kFuseMagic = 0x65735546;

bool inCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// Why FUSE can't be used here, or empty when it can.
std::string fuseMissing() {
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::string("/dev/fuse can't be opened: ") + strerror(errno);
    close(fd);
    if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0) return "fusermount3 is missing";
    return "";
}

#define SKIP_OR_FAIL_WITHOUT_FUSE()                                                  \
    do {                                                                             \
        const std::string missing = fuseMissing();                                   \
        if (!missing.empty()) {                                                      \
            if (inCi()) FAIL() << missing << ", so the mount tests can't run in CI"; \
            GTEST_SKIP() << missing;                                                 \
        }                                                                            \
    } while (0)

ChildResult zem(const std::vector<std::string>& args) { return runExecutable(ZEM_EXE, args, ""); }

int64_t millisecondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A field of the kernel's mount list, where a space is \040.
std::string unescapeOctal(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The file system type mounted at `path` ("fuse.zem"), or empty when nothing is.
std::string mountTypeAt(const std::string& path) {
    std::ifstream list("/proc/self/mountinfo");
    std::string type;
    for (std::string line; std::getline(list, line);) {
        std::vector<std::string> fields;
        for (size_t start = 0; start <= line.size();) {
            const size_t end = std::min(line.find(' ', start), line.size());
            fields.push_back(line.substr(start, end - start));
            start = end + 1;
        }
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() > 4 && dash + 1 < fields.end() && unescapeOctal(fields[4]) == path) {
            type = *(dash + 1);
        }
    }
    return type;
}

bool isMounted(const std::string& path) { return !mountTypeAt(path).empty(); }

// Waits until something is mounted at `path` (or, with present false, no longer is). The kernel
// wakes a poll on the mount list whenever the list changes.
bool waitForMount(const std::string& path, bool present) {
    const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const int64_t deadline = millisecondsNow() + kWaitMilliseconds;
    bool reached = false;
    for (;;) {
        reached = isMounted(path) == present;
        const int64_t left = deadline - millisecondsNow();
        if (reached || left <= 0) break;
        pollfd p{fd, POLLPRI, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    close(fd);
    return reached;
}

// Waits for a process of ours to end and reaps it; its exit code, 128 + signal, or -1 when it
// didn't end in time.
int waitForExit(pid_t pid) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return -1;
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = poll(&p, 1, kWaitMilliseconds) == 1;
    close(pidfd);
    int status = 0;
    if (!ended || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The processes whose parent is this one and whose name is `name`.
std::vector<pid_t> childrenNamed(const std::string& name) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (const dirent* ent = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(ent->d_name));
        if (pid <= 0) continue;
        std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(statFile, text);
        const size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        char state = 0;
        int parent = 0;
        if (sscanf(text.c_str() + close + 1, " %c %d", &state, &parent) != 2) continue;
        if (parent == getpid() && text.substr(open + 1, close - open - 1) == name) {
            found.push_back(pid);
        }
    }
    closedir(proc);
    return found;
}

// Packs root into archive as zem-builder does, through the scan and the writer.
void packFolder(const std::string& root, const std::string& archive) {
    FileList list;
    ASSERT_TRUE(scanFolder(systemFileSystem(), root, list)) << root;
    writeArchive(archive, list);
}

std::string randomBytes(std::mt19937& rng, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

// A tree of pseudo-random shape: nested folders, each with a file, empty, odd-sized and multi-read
// files, names with spaces, dots, backslash-free 8-bit bytes, times over summer and winter.
void generateTree(const std::string& root, unsigned seed) {
    std::mt19937 rng(seed);
    const std::vector<std::string> names = {"a.txt", "B",        "with space",         ".dot",
                                            "x..y",  "\xe4\xf6", std::string(120, 'n')};
    std::vector<std::string> folders = {root};
    for (int i = 0; i < 60; ++i) {
        const std::string parent = folders[rng() % folders.size()];
        const std::string path = parent + "/" + names[rng() % names.size()] + std::to_string(i);
        if (rng() % 4 == 0) {
            makeDirs(path);
            // A folder without files would not be stored.
            writeFile(path + "/in" + std::to_string(i), std::to_string(i));
            folders.push_back(path);
            continue;
        }
        const size_t sizes[] = {0, 1, 7, 4096, 131073, (1 << 20) + 333};
        writeFile(path, randomBytes(rng, sizes[rng() % 6]));
        setModifiedTime(path, 86400 + static_cast<int64_t>(rng() % 2100000000u));
    }
}

// A mount below the test's temporary folder, unmounted when the test ends however it ends (every
// mount stacked there by a failing test too), and its serving process reaped.
struct MountGuard {
    std::string point;
    pid_t server = -1;
    MountGuard() = default;
    MountGuard(const MountGuard&) = delete;
    MountGuard& operator=(const MountGuard&) = delete;
    ~MountGuard() { release(); }
    void release() {
        for (int i = 0; i < 10 && !point.empty() && isMounted(point); ++i) {
            runExecutable("/bin/sh", {"-c", "fusermount3 -u -z -- \"$0\"", point}, "");
        }
        if (server > 0) waitForExit(server);
        server = -1;
    }
};

struct Mount : ::testing::Test {
    TempDir tmp;
    std::string source = tmp / "source";
    std::string archive = tmp / "source.zem";
    // With a space, which the kernel's mount list escapes.
    std::string point = tmp / "mount point";
    MountGuard guard;  // after tmp: unmounts before the folders go

    void SetUp() override {
        SKIP_OR_FAIL_WITHOUT_FUSE();
        // The background process zem mount leaves comes to this process when its parent ends,
        // so that the tests can see it end.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << strerror(errno);
        makeDirs(source);
        makeDirs(point);
        guard.point = point;
    }

    // Mounts the archive in the background: zem has returned, the mount is there, and its
    // serving process is known.
    void mount() {
        guard.release();
        const ChildResult r = zem({"mount", archive, point});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_EQ(r.out + r.err, "");
        ASSERT_EQ(mountTypeAt(point), "fuse.zem");
        const std::vector<pid_t> servers = childrenNamed("zem");
        ASSERT_EQ(servers.size(), 1u);
        guard.server = servers[0];
    }

    std::string inMount(const std::string& relative) const { return point + "/" + relative; }
};

// Every path below root, relative, folders before what they hold.
void walk(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
    for (const std::string& name : listNames(relative.empty() ? root : root + "/" + relative)) {
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        out.push_back(rel);
        if (isFolder(root + "/" + rel)) walk(root, rel, out);
    }
}

// A folder's names in the order readdir gives them.
std::vector<std::string> readdirOrder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* ent = readdir(dir)) {
        const std::string name = ent->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

// What a folder of the archive should list: the next component of every stored name below it,
// in the order of the first record that has it.
std::vector<std::string> archiveOrder(const std::vector<std::string>& stored,
                                      const std::string& folder) {
    std::vector<std::string> names;
    std::string prefix = folder.empty() ? "" : folder + "\\";
    for (char& c : prefix) c = c == '/' ? '\\' : c;
    for (const std::string& name : stored) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = name.substr(prefix.size());
        const std::string component = rest.substr(0, rest.find('\\'));
        if (std::find(names.begin(), names.end(), component) == names.end()) {
            names.push_back(component);
        }
    }
    return names;
}

TEST_F(Mount, TheMountedTreeMatchesThePackedFolder) {
    ScopedTimeZone berlin("Europe/Berlin");
    generateTree(source, 7);
    makeDirs(source + "/empty folder");  // holds no file: not stored, so not mounted
    // Past 2038: stored without a time, so it shows the archive's own.
    writeFile(source + "/timeless", "t");
    setModifiedTime(source + "/timeless", 2600000000);
    packFolder(source, archive);
    setModifiedTime(archive, 1500000000);
    mount();

    // Ready as soon as zem has returned: no waiting.
    struct statfs fs {};
    ASSERT_EQ(statfs(point.c_str(), &fs), 0) << strerror(errno);
    EXPECT_EQ(fs.f_type, kFuseMagic);

    const ChildResult diff =
        runExecutable("/usr/bin/diff", {"-r", "-x", "empty folder", source, point}, "");
    EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
    EXPECT_FALSE(exists(inMount("empty folder")));

    std::vector<std::string> paths;
    walk(source, "", paths);
    ASSERT_GT(paths.size(), 40u);
    size_t files = 0;
    for (const std::string& rel : paths) {
        if (rel == "empty folder") continue;
        SCOPED_TRACE(rel);
        struct stat original {
        }, mounted{};
        ASSERT_EQ(lstat((source + "/" + rel).c_str(), &original), 0);
        ASSERT_EQ(lstat(inMount(rel).c_str(), &mounted), 0) << strerror(errno);
        EXPECT_EQ(mounted.st_uid, getuid());
        EXPECT_EQ(mounted.st_gid, getgid());
        if (S_ISDIR(original.st_mode)) {
            EXPECT_EQ(mounted.st_mode, S_IFDIR | 0555);
            EXPECT_EQ(mounted.st_mtim.tv_sec, 1500000000);
        } else {
            ++files;
            EXPECT_EQ(mounted.st_mode, S_IFREG | 0444);
            EXPECT_EQ(mounted.st_size, original.st_size);
            EXPECT_EQ(mounted.st_mtim.tv_sec,
                      rel == "timeless" ? 1500000000 : original.st_mtim.tv_sec);
        }
    }
    EXPECT_GT(files, 30u);

    // Every folder lists in archive order, which is not the sorted order.
    const std::vector<std::string> stored = storedNames(readFile(archive));
    std::vector<std::string> folders = {""};
    for (const std::string& rel : paths) {
        if (rel != "empty folder" && isFolder(source + "/" + rel)) folders.push_back(rel);
    }
    bool unsorted = false;
    for (const std::string& folder : folders) {
        const std::vector<std::string> listed =
            readdirOrder(folder.empty() ? point : inMount(folder));
        EXPECT_EQ(listed, archiveOrder(stored, folder)) << folder;
        unsorted = unsorted || !std::is_sorted(listed.begin(), listed.end());
    }
    EXPECT_TRUE(unsorted) << "every folder happens to list sorted: the order goes untested";

    // A backslash is no separator in a path: "a\b" names no file below a folder a.
    const std::string nested = stored[std::distance(
        stored.begin(), std::find_if(stored.begin(), stored.end(), [](const std::string& n) {
            return n.find('\\') != std::string::npos;
        }))];
    struct stat st {};
    EXPECT_NE(stat(inMount(nested).c_str(), &st), 0) << nested;
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Mount, ConcurrentRandomReadsGiveTheSourceBytes) {
    std::mt19937 rng(11);
    std::vector<std::pair<std::string, std::string>> files;  // name, contents
    for (size_t size : {0u, 5u, 4095u, 131072u, 300001u, (3u << 20) + 17u}) {
        files.emplace_back("f" + std::to_string(size), randomBytes(rng, size));
        writeFile(source + "/" + files.back().first, files.back().second);
    }
    packFolder(source, archive);
    mount();

    // Each reader its own process, with its own descriptors and its own random ranges, some past
    // the end of the file; it reports a mismatch by its exit code.
    std::vector<pid_t> readers;
    for (unsigned reader = 0; reader < 4; ++reader) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // In the forked copy of the test: no exception may reach the test framework here.
            try {
                std::mt19937 r(100 + reader);
                std::string buffer(1 << 20, '\0');
                for (int i = 0; i < 300; ++i) {
                    const auto& [name, contents] = files[r() % files.size()];
                    const int fd = open(inMount(name).c_str(), O_RDONLY | O_CLOEXEC);
                    if (fd < 0) _exit(2);
                    const size_t offset = r() % (contents.size() + 10);
                    const size_t length = r() % buffer.size();
                    const ssize_t n = pread(fd, buffer.data(), length, static_cast<off_t>(offset));
                    close(fd);
                    const size_t expected =
                        offset >= contents.size() ? 0 : std::min(length, contents.size() - offset);
                    if (n != static_cast<ssize_t>(expected) ||
                        (expected > 0 &&
                         buffer.compare(0, expected, contents, offset, expected) != 0)) {
                        _exit(1);
                    }
                }
            } catch (...) {
                _exit(3);
            }
            _exit(0);
        }
        readers.push_back(pid);
    }
    for (pid_t pid : readers) EXPECT_EQ(waitForExit(pid), 0) << "reader " << pid;
    for (const auto& [name, contents] : files) EXPECT_EQ(readFile(inMount(name)), contents) << name;
}

// A change to the mounted tree: 0, or the error it failed with.
struct Change {
    const char* what;
    std::function<int(const std::string& file, const std::string& folder, const std::string& fresh)>
        call;
};

int result(int returned) { return returned == 0 ? 0 : errno; }

// Opens the file with `flags` and, when that opens it for writing, writes a byte.
int openResult(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    const bool writes = (flags & O_ACCMODE) != O_RDONLY;
    const int error = writes && write(fd, "x", 1) != 1 ? errno : 0;
    close(fd);
    return error;
}

const Change kChanges[] = {
    {"create", [](auto&, auto&, auto& fresh) { return openResult(fresh, O_CREAT | O_WRONLY); }},
    {"open for writing", [](auto& file, auto&, auto&) { return openResult(file, O_WRONLY); }},
    {"open for appending",
     [](auto& file, auto&, auto&) { return openResult(file, O_WRONLY | O_APPEND); }},
    {"open to read and write", [](auto& file, auto&, auto&) { return openResult(file, O_RDWR); }},
    {"open truncating",
     [](auto& file, auto&, auto&) { return openResult(file, O_RDONLY | O_TRUNC); }},
    {"truncate", [](auto& file, auto&, auto&) { return result(truncate(file.c_str(), 0)); }},
    {"unlink", [](auto& file, auto&, auto&) { return result(unlink(file.c_str())); }},
    {"rmdir", [](auto&, auto& folder, auto&) { return result(rmdir(folder.c_str())); }},
    {"mkdir", [](auto&, auto&, auto& fresh) { return result(mkdir(fresh.c_str(), 0755)); }},
    {"rename",
     [](auto& file, auto&, auto& fresh) { return result(rename(file.c_str(), fresh.c_str())); }},
    {"rename a folder", [](auto&, auto& folder,
                           auto& fresh) { return result(rename(folder.c_str(), fresh.c_str())); }},
    {"chmod", [](auto& file, auto&, auto&) { return result(chmod(file.c_str(), 0644)); }},
    {"chown",
     [](auto& file, auto&, auto&) { return result(chown(file.c_str(), getuid(), getgid())); }},
    {"set times", [](auto& file, auto&,
                     auto&) { return result(utimensat(AT_FDCWD, file.c_str(), nullptr, 0)); }},
    {"symlink", [](auto&, auto&, auto& fresh) { return result(symlink("x", fresh.c_str())); }},
    {"hard link",
     [](auto& file, auto&, auto& fresh) { return result(link(file.c_str(), fresh.c_str())); }},
    {"mkfifo", [](auto&, auto&, auto& fresh) { return result(mkfifo(fresh.c_str(), 0644)); }},
    {"setxattr", [](auto& file, auto&,
                    auto&) { return result(setxattr(file.c_str(), "user.zem", "1", 1, 0)); }},
    {"removexattr",
     [](auto& file, auto&, auto&) { return result(removexattr(file.c_str(), "user.zem")); }},
};

TEST_F(Mount, EveryChangeIsRefusedAsReadOnly) {
    makeDirs(source + "/sub");
    writeFile(source + "/sub/file", "contents");
    writeFile(source + "/top", "top");
    packFolder(source, archive);
    mount();

    const auto tryAll = [&](const std::string& how) {
        for (const Change& change : kChanges) {
            SCOPED_TRACE(how + ": " + change.what);
            const int error = change.call(inMount("sub/file"), inMount("sub"), inMount("new"));
            EXPECT_EQ(error, EROFS) << (error ? strerror(error) : "it succeeded");
        }
        const ChildResult diff = runExecutable("/usr/bin/diff", {"-r", source, point}, "");
        EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
    };
    tryAll("mounted read-only");

    // The kernel refuses all that for a read-only mount before the file system is asked. Made
    // writable (which takes root), the file system refuses each change itself.
    if (::mount(nullptr, point.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV, nullptr) != 0) {
        if (inCi()) FAIL() << "can't remount read-write: " << strerror(errno);
        GTEST_SKIP() << "can't remount read-write to reach the file system: " << strerror(errno);
    }
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(point.c_str(), &vfs), 0);
    ASSERT_EQ(vfs.f_flag & ST_RDONLY, 0u);
    tryAll("remounted read-write");
}

TEST_F(Mount, DamagedAndHostileArchivesAreRefusedBeforeMounting) {
    writeFile(source + "/a", "aaaa");
    packFolder(source, archive);
    const std::string sound = readFile(archive);
    const struct {
        const char* what;
        std::string bytes;
        std::string problem;  // part of the message
    } cases[] = {
        {"cut short", sound.substr(0, sound.size() - 3), "the archive ends at"},
        {"index slot off",
         [&] {
             BuiltArchive a = buildArchive({{"a", "1"}, {"b", "2"}});
             a.set(a.indexOffset + 4, 7);
             return a.text();
         }(),
         "index slot 1"},
        {"climbs out", buildArchive({{"..\\evil", "x"}}).text(), "has a \"..\" component"},
        {"absolute", buildArchive({{"\\etc\\passwd", "x"}}).text(), "is absolute"},
        {"slash in a name", buildArchive({{"a/b", "x"}}).text(), "holds a slash"},
        {"stored twice", buildArchive({{"a", "1"}, {"a", "2"}}).text(), "\"a\""},
        {"file and folder", buildArchive({{"a", "1"}, {"a\\b", "2"}}).text(), "\"a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bad = tmp / (std::string(c.what) + ".zem");
        writeFile(bad, c.bytes);
        // The same refusal as the reader's own check, word for word.
        const ChildResult verified = zem({"verify", bad});
        const ChildResult r = zem({"mount", bad, point});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(verified.exitCode, 1);
        EXPECT_EQ(r.err, verified.err);
        EXPECT_EQ(r.err.rfind("zem: " + bad + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.problem), std::string::npos) << r.err;
        EXPECT_FALSE(isMounted(point));
        EXPECT_TRUE(childrenNamed("zem").empty());
    }
}

// How a test ends a mount: zem or fusermount3 unmounting it, or a signal to the process serving
// it (in the background, or zem itself in the foreground).
enum class Ending { ZemUnmount, Fusermount, ServerTerm, ForegroundInt, ForegroundTerm };

TEST_F(Mount, EveryWayOfUnmountingLeavesNoProcessBehind) {
    writeFile(source + "/a", "aaaa");
    packFolder(source, archive);
    const struct {
        const char* what;
        Ending ending;
    } cases[] = {
        {"zem unmount", Ending::ZemUnmount},
        {"fusermount3 -u", Ending::Fusermount},
        {"SIGTERM to the background process", Ending::ServerTerm},
        {"Ctrl-C in the foreground", Ending::ForegroundInt},
        {"SIGTERM in the foreground", Ending::ForegroundTerm},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool foreground =
            c.ending == Ending::ForegroundInt || c.ending == Ending::ForegroundTerm;
        Child child;
        if (foreground) {
            child = startExecutable(ZEM_EXE, {"mount", "-f", archive, point});
            guard.server = child.pid;
            ASSERT_TRUE(waitForMount(point, true));
        } else {
            mount();
        }
        EXPECT_EQ(readFile(inMount("a")), "aaaa");
        if (c.ending == Ending::ZemUnmount) {
            const ChildResult r = zem({"unmount", point});
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.out + r.err, "");
            EXPECT_FALSE(isMounted(point));  // gone once zem returns
        } else if (c.ending == Ending::Fusermount) {
            const ChildResult r =
                runExecutable("/bin/sh", {"-c", "fusermount3 -u -- \"$0\"", point}, "");
            EXPECT_EQ(r.exitCode, 0) << r.err;
        } else {
            kill(guard.server, c.ending == Ending::ForegroundInt ? SIGINT : SIGTERM);
        }
        if (foreground) {
            const ChildResult r = finishChild(child);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.out + r.err, "");
        } else {
            EXPECT_EQ(waitForExit(guard.server), 0);
        }
        guard.server = -1;
        EXPECT_TRUE(waitForMount(point, false));
        EXPECT_TRUE(childrenNamed("zem").empty());
        EXPECT_TRUE(listNames(point).empty());
    }
}

TEST_F(Mount, UnmountRefusesWhatZemDidNotMount) {
    const struct {
        std::string path;
        std::string err;
    } cases[] = {
        {point, "zem: cannot unmount \"" + point + "\": nothing is mounted there\n"},
        {"/proc",
         "zem: cannot unmount \"/proc\": it is no archive mounted by zem but a proc file system\n"},
        {tmp / "missing/x",
         "zem: cannot find \"" + tmp / "missing" + "\": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const ChildResult r = zem({"unmount", c.path});
        EXPECT_EQ(r.exitCode, 1) << c.path;
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(mountTypeAt("/proc"), "proc");
}

// Changes to the archive under a mount: each leaves the mounted tree describing bytes the archive
// no longer holds under that name.
TEST_F(Mount, AnArchiveChangedWhileMountedGivesReadErrors) {
    std::mt19937 rng(5);
    const std::string first = randomBytes(rng, 200000), second = randomBytes(rng, 5000);
    writeFile(source + "/first", first);
    writeFile(source + "/second", second);
    packFolder(source, archive);
    const std::string sound = readFile(archive);
    const std::string other = tmp / "other.zem";
    const struct {
        const char* what;
        std::function<void()> change;
    } cases[] = {
        {"cut short", [&] { setFileSize(archive, sound.size() / 2); }},
        {"rewritten in place",
         [&] {
             std::string changed = sound;
             for (size_t i = 100; i < 150000; ++i) changed[i] = static_cast<char>(~changed[i]);
             writeFile(archive, changed);
         }},
        {"replaced by a rename",
         [&] {
             writeFile(other, sound);
             ASSERT_EQ(rename(other.c_str(), archive.c_str()), 0);
         }},
        {"deleted", [&] { ASSERT_EQ(unlink(archive.c_str()), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(archive, sound);
        mount();
        // Opened before the change; nothing read yet, so nothing is cached.
        const int early = open(inMount("first").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(early, 0) << strerror(errno);
        std::string buffer(4096, '\0');
        c.change();
        errno = 0;
        EXPECT_EQ(pread(early, buffer.data(), buffer.size(), 100000), -1);
        EXPECT_EQ(errno, EIO);
        close(early);
        // Opened after the change.
        const int late = open(inMount("second").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(late, 0) << strerror(errno);
        errno = 0;
        EXPECT_EQ(read(late, buffer.data(), buffer.size()), -1);
        EXPECT_EQ(errno, EIO);
        close(late);
        // Names and attributes still come from the tree as mounted.
        struct stat st {};
        EXPECT_EQ(stat(inMount("second").c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 5000);

        const ChildResult r = zem({"unmount", point});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(waitForExit(guard.server), 0);
        guard.server = -1;
    }
}

}  // namespace
