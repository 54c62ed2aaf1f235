// zem mount through the built program and the kernel's FUSE: a packed tree read back (bytes,
// sizes, modes, times, listing order, reads from several processes at once), every change
// refused, bad archives refused before mounting, every way a mount ends, and an archive changed
// under a mount. Each test unmounts again however it ends. Without /dev/fuse or fusermount3 the
// tests are skipped, except in CI (CI=true), where that is a failure.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>

#include "archive_builder.h"
#include "ops/writer.h"
#include "platform/scan.h"
#include "test_util.h"

namespace {

constexpr int kWaitMs = 30000;

bool inCi() { return std::getenv("CI") && std::string(std::getenv("CI")) == "true"; }

ChildResult zem(const std::vector<std::string>& args) { return runExecutable(ZEM_EXE, args, ""); }
ChildResult shell(const std::string& script, const std::string& arg) {
    return runExecutable("/bin/sh", {"-c", script, "sh", arg}, "");
}

// The type of the file system last mounted at `path` ("fuse.zem"), empty when none is.
std::string mountType(const std::string& path) {
    const std::string out = shell("findmnt -n -o FSTYPE --mountpoint \"$1\" | tail -n 1", path).out;
    return out.substr(0, out.find('\n'));
}

// Waits until something is mounted at `path`, or no longer is: the kernel wakes a poll on the
// mount list at every change.
bool waitForMount(const std::string& path, bool mounted) {
    const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    pollfd change{fd, POLLPRI, 0};
    bool reached = false;
    for (int round = 0; round < 100 && !(reached = mountType(path).empty() != mounted); ++round) {
        if (poll(&change, 1, kWaitMs) != 1) break;
    }
    close(fd);
    return reached;
}

// Waits for a child process to end and reaps it: its exit code, 128 + signal, or -1 on timeout.
int waitForExit(pid_t pid) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd ended{pidfd, POLLIN, 0};
    const bool done = pidfd >= 0 && poll(&ended, 1, kWaitMs) == 1;
    if (pidfd >= 0) close(pidfd);
    int status = 0;
    if (!done || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// This process's children running zem: the process a background mount leaves comes to this one
// (a subreaper) when zem itself ends.
std::vector<pid_t> zemChildren() {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (const dirent* ent = proc ? readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + ent->d_name + "/stat");
        std::string pid, name, state;
        int parent = 0;
        if (stat >> pid >> name >> state >> parent && parent == getpid() && name == "(zem)") {
            found.push_back(std::stoi(pid));
        }
    }
    if (proc) closedir(proc);
    return found;
}

std::string randomBytes(std::mt19937& rng, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

struct Mount : ::testing::Test {
    TempDir tmp;
    std::string source = tmp / "source", archive = tmp / "source.zem";
    std::string point = tmp / "mount point";  // the kernel's mount list escapes the space
    pid_t server = -1;

    void SetUp() override {
        const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        std::string missing = fd < 0 ? std::string("/dev/fuse: ") + strerror(errno) : "";
        if (fd >= 0) close(fd);
        if (shell("command -v fusermount3", "").exitCode != 0) missing = "fusermount3 is missing";
        if (!missing.empty() && inCi()) FAIL() << missing << ": CI must run the mount tests";
        if (!missing.empty()) GTEST_SKIP() << missing;
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        makeDirs(source);
        makeDirs(point);
    }
    // Unmounts everything a failed test left stacked there, before the folders go.
    void TearDown() override { release(); }
    void release() {
        for (int i = 0; i < 10 && !mountType(point).empty(); ++i) {
            shell("fusermount3 -u -z -- \"$1\"", point);
        }
        if (server > 0) waitForExit(server);
        server = -1;
    }

    void pack() {
        FileList list;
        ASSERT_TRUE(scanFolder(systemFileSystem(), source, list));
        writeArchive(archive, list);
    }
    // Mounts in the background: zem has returned and the mount is there.
    void mount() {
        release();
        const ChildResult r = zem({"mount", archive, point});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_EQ(r.out + r.err, "");
        ASSERT_EQ(mountType(point), "fuse.zem");
        const std::vector<pid_t> servers = zemChildren();
        ASSERT_EQ(servers.size(), 1u);
        server = servers[0];
    }
    std::string in(const std::string& relative) const { return point + "/" + relative; }
};

// A folder's names in the order readdir gives them.
std::string listed(const std::string& folder) {
    std::string names;
    DIR* dir = opendir(folder.c_str());
    while (const dirent* ent = dir ? readdir(dir) : nullptr) {
        if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0) {
            names += std::string(ent->d_name) + "/";
        }
    }
    if (dir) closedir(dir);
    return names;
}

TEST_F(Mount, ThePackedTreeReadsBackWithItsSizesModesTimesAndOrder) {
    ScopedTimeZone berlin("Europe/Berlin");
    std::mt19937 rng(7);
    // Names in an order no sort gives; sizes from empty to several reads; times over the year.
    const std::vector<std::string> names = {"z", "b\\y 1", "b\\a", "\xe4\xf6", "b\\c\\m", ".dot"};
    std::vector<std::string> files;
    for (size_t i = 0; i < 30; ++i) {
        std::string relative = names[i % names.size()] + std::to_string(i);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const size_t sizes[] = {0, 1, 4096, 131073, (1 << 20) + 333};
        makeDirs((source + "/" + relative).substr(0, (source + "/" + relative).rfind('/')));
        writeFile(source + "/" + relative, randomBytes(rng, sizes[i % 5]));
        setModifiedTime(source + "/" + relative, 86400 + static_cast<int64_t>(rng() % 2100000000u));
        files.push_back(relative);
    }
    makeDirs(source + "/empty");                  // holds no file: not stored, so not mounted
    setModifiedTime(source + "/z0", 2600000000);  // past 2038: stored without a time
    pack();
    setModifiedTime(archive, 1500000000);
    mount();

    // Ready as soon as zem returns, and the same bytes.
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(point.c_str(), &vfs), 0);
    EXPECT_EQ(vfs.f_flag & ST_RDONLY, ST_RDONLY);
    const ChildResult diff =
        runExecutable("/usr/bin/diff", {"-r", "-x", "empty", source, point}, "");
    EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
    EXPECT_FALSE(exists(in("empty")));
    for (const std::string& relative : files) {
        struct stat original {
        }, mounted{};
        ASSERT_EQ(stat((source + "/" + relative).c_str(), &original), 0);
        ASSERT_EQ(stat(in(relative).c_str(), &mounted), 0) << relative;
        EXPECT_EQ(mounted.st_mode, S_IFREG | 0444) << relative;
        EXPECT_EQ(mounted.st_uid, getuid());
        EXPECT_EQ(mounted.st_size, original.st_size) << relative;
        EXPECT_EQ(mounted.st_mtime, relative == "z0" ? 1500000000 : original.st_mtime) << relative;
    }
    struct stat folder {};
    ASSERT_EQ(stat(in("b/c").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode, S_IFDIR | 0555);
    EXPECT_EQ(folder.st_mtime, 1500000000);

    // Random ranges from four processes at once, some past the end, against the source bytes.
    std::vector<pid_t> readers;
    for (unsigned reader = 0; reader < 4; ++reader) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid > 0) {
            readers.push_back(pid);
            continue;
        }
        std::mt19937 r(reader);
        std::string a(1 << 20, '\0'), b(1 << 20, '\0');
        for (int i = 0; i < 200; ++i) {
            const std::string& relative = files[r() % files.size()];
            const int fa = open(in(relative).c_str(), O_RDONLY | O_CLOEXEC);
            const int fb = open((source + "/" + relative).c_str(), O_RDONLY | O_CLOEXEC);
            const auto at = static_cast<off_t>(r() % ((1 << 20) + 400));
            const size_t length = r() % a.size();
            const ssize_t na = pread(fa, a.data(), length, at),
                          nb = pread(fb, b.data(), length, at);
            if (fa < 0 || fb < 0 || na != nb ||
                (na > 0 && memcmp(a.data(), b.data(), size_t(na)))) {
                _exit(1);
            }
            close(fa);
            close(fb);
        }
        _exit(0);
    }
    for (pid_t pid : readers) EXPECT_EQ(waitForExit(pid), 0) << "a reader saw other bytes";

    // Folders list in archive order, whatever the names' sort order.
    writeFile(archive,
              buildArchive({{"b\\z", "1"}, {"a", "2"}, {"b\\y\\1", "3"}, {"b\\x", "4"}}).text());
    mount();
    EXPECT_EQ(listed(point), "b/a/");
    EXPECT_EQ(listed(in("b")), "z/y/x/");
    EXPECT_EQ(stat(in("b\\z").c_str(), &folder), -1);  // a backslash is no separator here
    EXPECT_EQ(errno, ENOENT);
}

// Opens with `flags` and, when that is for writing, writes a byte: 0, or the error.
int openAndWrite(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    const int error = (flags & O_ACCMODE) != O_RDONLY && write(fd, "x", 1) != 1 ? errno : 0;
    close(fd);
    return error;
}

int errorOf(int returned) { return returned == 0 ? 0 : errno; }

TEST_F(Mount, EveryChangeIsRefusedAsReadOnly) {
    makeDirs(source + "/d");
    writeFile(source + "/d/f", "contents");
    pack();
    mount();
    const std::string f = in("d/f"), d = in("d"), fresh = in("new");
    const std::pair<const char*, std::function<int()>> changes[] = {
        {"create", [&] { return openAndWrite(fresh, O_CREAT | O_WRONLY); }},
        {"write", [&] { return openAndWrite(f, O_WRONLY); }},
        {"append", [&] { return openAndWrite(f, O_RDWR | O_APPEND); }},
        {"open truncating", [&] { return openAndWrite(f, O_RDONLY | O_TRUNC); }},
        {"truncate", [&] { return errorOf(truncate(f.c_str(), 0)); }},
        {"unlink", [&] { return errorOf(unlink(f.c_str())); }},
        {"rmdir", [&] { return errorOf(rmdir(d.c_str())); }},
        {"mkdir", [&] { return errorOf(mkdir(fresh.c_str(), 0755)); }},
        {"rename", [&] { return errorOf(rename(f.c_str(), fresh.c_str())); }},
        {"rename a folder", [&] { return errorOf(rename(d.c_str(), fresh.c_str())); }},
        {"chmod", [&] { return errorOf(chmod(f.c_str(), 0644)); }},
        {"chown", [&] { return errorOf(chown(f.c_str(), getuid(), getgid())); }},
        {"set times", [&] { return errorOf(utimensat(AT_FDCWD, f.c_str(), nullptr, 0)); }},
        {"symlink", [&] { return errorOf(symlink("f", fresh.c_str())); }},
        {"link", [&] { return errorOf(link(f.c_str(), fresh.c_str())); }},
        {"mkfifo", [&] { return errorOf(mkfifo(fresh.c_str(), 0644)); }},
        {"setxattr", [&] { return errorOf(setxattr(f.c_str(), "user.z", "1", 1, 0)); }},
        {"removexattr", [&] { return errorOf(removexattr(f.c_str(), "user.z")); }},
    };
    // The kernel refuses all that on a read-only mount before the file system is asked; remounted
    // read-write (as root), the file system refuses each itself.
    for (bool remounted : {false, true}) {
        if (remounted &&
            ::mount(nullptr, point.c_str(), nullptr, MS_REMOUNT | MS_NOSUID, nullptr)) {
            if (inCi()) FAIL() << "can't remount read-write: " << strerror(errno);
            GTEST_SKIP() << "can't remount read-write: " << strerror(errno);
        }
        const char* how = remounted ? "remounted read-write: " : "read-only: ";
        for (const auto& [what, change] : changes) EXPECT_EQ(change(), EROFS) << how << what;
        EXPECT_EQ(runExecutable("/usr/bin/diff", {"-r", source, point}, "").exitCode, 0) << how;
    }
}

TEST_F(Mount, DamagedAndHostileArchivesAreRefusedBeforeMounting) {
    writeFile(source + "/a", "aaaa");
    pack();
    const std::string sound = readFile(archive);
    const std::pair<std::string, std::string> cases[] = {
        {sound.substr(0, sound.size() - 3), "but the archive ends at"},
        {buildArchive({{"..\\evil", "x"}}).text(), "has a \"..\" component"},
        {buildArchive({{"a", "1"}, {"a\\b", "2"}}).text(), "needs \"a\" as a folder"},
    };
    for (const auto& [bytes, problem] : cases) {
        writeFile(archive, bytes);
        // Refused with the reader's own words, as zem verify has them.
        const ChildResult r = zem({"mount", archive, point});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, zem({"verify", archive}).err);
        EXPECT_NE(r.err.find(problem), std::string::npos) << r.err;
        EXPECT_EQ(mountType(point), "");
        EXPECT_TRUE(zemChildren().empty());
    }
}

TEST_F(Mount, EveryWayOfUnmountingLeavesNoProcessBehind) {
    writeFile(source + "/a", "aaaa");
    pack();
    enum Ending { ZemUnmount, Fusermount, ServerTerm, ForegroundInt, ForegroundTerm };
    for (Ending ending : {ZemUnmount, Fusermount, ServerTerm, ForegroundInt, ForegroundTerm}) {
        SCOPED_TRACE(ending);
        const bool foreground = ending == ForegroundInt || ending == ForegroundTerm;
        Child child;
        if (foreground) {
            child = startExecutable(ZEM_EXE, {"mount", "-f", archive, point});
            server = child.pid;
            ASSERT_TRUE(waitForMount(point, true));
        } else {
            mount();
        }
        EXPECT_EQ(readFile(in("a")), "aaaa");
        if (ending == ZemUnmount || ending == Fusermount) {
            const ChildResult r = ending == ZemUnmount ? zem({"unmount", point})
                                                       : shell("fusermount3 -u -- \"$1\"", point);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(mountType(point), "");  // gone when the command returns
        } else {
            kill(server, ending == ForegroundInt ? SIGINT : SIGTERM);
        }
        const ChildResult r =
            foreground ? finishChild(child) : ChildResult{waitForExit(server), "", ""};
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        server = -1;
        EXPECT_TRUE(waitForMount(point, false));
        EXPECT_TRUE(zemChildren().empty());
    }
    const ChildResult proc = zem({"unmount", "/proc"});
    EXPECT_EQ(proc.exitCode, 1);
    EXPECT_EQ(
        proc.err,
        "zem: cannot unmount \"/proc\": it is no archive mounted by zem but a proc file system\n");
}

// One archive per folder: a second mount would hide the first. Refused too when the first one's
// server is gone, a mount that can't be looked into.
TEST_F(Mount, ASecondMountOnTheSameFolderIsRefused) {
    writeFile(source + "/a", "aaaa");
    pack();
    for (const bool serverKilled : {false, true}) {
        SCOPED_TRACE(serverKilled);
        mount();
        if (serverKilled) {
            kill(server, SIGKILL);
            ASSERT_EQ(waitForExit(server), 128 + SIGKILL);
            server = -1;
        }
        const ChildResult again = zem({"mount", archive, point + "/"});
        EXPECT_EQ(again.exitCode, 1);
        EXPECT_EQ(again.err, "zem: cannot mount on \"" + point +
                                 "/\": an archive is already mounted there (zem unmount it first)\n");
        const ChildResult stacked = shell("findmnt -n --mountpoint \"$1\" | wc -l", point);
        EXPECT_EQ(stacked.out, "1\n");
        EXPECT_TRUE(zemChildren().size() == (serverKilled ? 0u : 1u));
        const ChildResult r = zem({"unmount", point});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        release();
    }
}

// zem unmount removes the mount's folder when zem-open-folder made it (its mark and nothing else
// inside), and leaves every other folder as it is.
TEST_F(Mount, UnmountRemovesOnlyAFolderMadeForTheMount) {
    writeFile(source + "/a", "aaaa");
    pack();
    const std::string mark = point + "/.zem-open-folder";
    const std::pair<std::function<void()>, bool> cases[] = {
        {[&] { writeFile(mark, ""); }, true},
        {[] {}, false},
        {[&] { writeFile(mark, ""); writeFile(point + "/mine", "x"); }, false},
        {[&] { makeDirs(mark); }, false},
        {[&] { ASSERT_EQ(symlink("elsewhere", mark.c_str()), 0); }, false},
    };
    int index = 0;
    for (const auto& [prepare, removed] : cases) {
        SCOPED_TRACE(index++);
        ASSERT_EQ(shell("rm -rf -- \"$1\" && mkdir -- \"$1\"", point).exitCode, 0);
        prepare();
        mount();
        const ChildResult r = zem({"unmount", point});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(mountType(point), "");
        EXPECT_EQ(exists(point), !removed);
        release();
    }
}

TEST_F(Mount, AnArchiveChangedWhileMountedGivesReadErrors) {
    std::mt19937 rng(5);
    writeFile(source + "/first", randomBytes(rng, 200000));
    writeFile(source + "/second", "second");
    pack();
    const std::string sound = readFile(archive);
    const std::pair<const char*, std::function<int()>> changes[] = {
        {"cut short", [&] { return errorOf(truncate(archive.c_str(), off_t(sound.size() / 2))); }},
        {"rewritten in place",
         [&] {
             std::string changed = sound;
             std::reverse(changed.begin() + 28, changed.begin() + 150000);
             writeFile(archive, changed);
             return 0;
         }},
        {"rewritten in place, its time set back",
         [&] {
             struct stat before {};
             stat(archive.c_str(), &before);
             std::string changed = sound;
             std::reverse(changed.begin() + 28, changed.begin() + 150000);
             writeFile(archive, changed);
             const timespec times[2] = {before.st_atim, before.st_mtim};
             return errorOf(utimensat(AT_FDCWD, archive.c_str(), times, 0));
         }},
        {"replaced by a rename",
         [&] {
             writeFile(archive + ".new", sound);
             return errorOf(rename((archive + ".new").c_str(), archive.c_str()));
         }},
        {"deleted", [&] { return errorOf(unlink(archive.c_str())); }},
    };
    for (const auto& [what, change] : changes) {
        writeFile(archive, sound);
        mount();
        // One file opened before the change, nothing of it read; one opened after.
        const int early = open(in("first").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(change(), 0) << what;
        const int late = open(in("second").c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[4096];
        for (int fd : {early, late}) {
            errno = 0;
            EXPECT_EQ(pread(fd, buffer, sizeof buffer, fd == early ? 100000 : 0), -1) << what;
            EXPECT_EQ(errno, EIO) << what;
            close(fd);
        }
    }
}

}  // namespace
