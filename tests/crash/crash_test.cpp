// What a power cut leaves, on ext4, XFS and btrfs. Each scenario runs once on a file system made
// on a loop device over zem-block-logger's disk, which logs every write and every flush of the
// device. The log then yields the states a power cut could leave: the writes up to each flush,
// and for each stretch between two flushes a sample of subsets of its writes (a disk may keep
// unflushed writes in any order). Each state is mounted (its journal replayed) and checked: a
// file that existed before the run holds its old bytes or the run's, a file the run made is
// absent or whole, and from the point the run says it is done, only the run's bytes are there.
// A temporary file a crash leaves must have the temporary form, and the next run removes it.
//
// Needs root, loop devices, FUSE and mkfs.ext4, mkfs.xfs and mkfs.btrfs: elsewhere the binary
// says why it is skipped and exits with 77 (in CI, with CI=true, it fails instead).

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

std::string findTool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

// Runs a tool to its end; a failure throws with what it said.
void run(const std::string& tool, const std::vector<std::string>& args,
         const std::string& input = "") {
    const ChildResult r = runExecutable(findTool(tool), args, input);
    if (r.exitCode != 0) {
        std::string line = tool;
        for (const std::string& a : args) line += " " + a;
        throw std::runtime_error(line + ": exit code " + std::to_string(r.exitCode) + ": " + r.err);
    }
}

struct FileSystemKind {
    std::string type;
    uint64_t size;
    std::vector<std::string> mkfs;
    std::string mountOptions;
};

const FileSystemKind kExt4{"ext4", 32 << 20, {"-q", "-F"}, ""};
// The three variables let mkfs.xfs make a file system below its usual 300 MB floor, as the file
// systems' own test suite does.
const FileSystemKind kXfs{"xfs", 64 << 20, {"-q", "-f"}, ",nouuid"};
const FileSystemKind kBtrfs{"btrfs", 128 << 20, {"-q", "-f"}, ""};

void makeFileSystem(const FileSystemKind& kind, const std::string& image) {
    writeFile(image, "");
    setFileSize(image, kind.size);
    ScopedVariable dir("TEST_DIR", "/crash"), dev("TEST_DEV", image.c_str()),
        check("QA_CHECK_FS", "1");
    std::vector<std::string> args = kind.mkfs;
    args.push_back(image);
    run("mkfs." + kind.type, args);
}

void mountImage(const FileSystemKind& kind, const std::string& device, const std::string& point,
                bool loop) {
    const std::string options = (loop ? "loop" : "rw") + kind.mountOptions;
    run("mount", {"-t", kind.type, "-o", options, device, point});
}

// Every regular file below root, by path relative to it, with its bytes.
using Tree = std::map<std::string, std::string>;

Tree readTree(const std::string& root) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        if (it->path().filename() == "lost+found") {
            it.disable_recursion_pending();
        } else if (it->is_regular_file()) {
            tree[fs::relative(it->path(), root).string()] = readFile(it->path().string());
        }
    }
    return tree;
}

void writeTree(const std::string& root, const Tree& tree) {
    for (const auto& [name, bytes] : tree) {
        makeDirs(fs::path(join(root, name)).parent_path().string());
        writeFile(join(root, name), bytes);
    }
}

// Files f<first>..f<last - 1>, every third in a subfolder, of random bytes and sizes up to 160 KB.
Tree randomTree(unsigned seed, int first, int last) {
    std::mt19937 random(seed);
    Tree tree;
    for (int i = first; i < last; ++i) {
        std::string bytes(random() % 160000, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        tree[(i % 3 == 0 ? "sub/f" : "f") + std::to_string(i)] = bytes;
    }
    return tree;
}

// A scenario: the state before, made on the mounted file system, and the run on it, which calls
// `complete` where it has promised that everything is in place. `again` is the next run in the
// same folders, which must remove what a crash left.
struct Scenario {
    std::string name;
    std::function<void(const std::string& root)> prepare;
    std::function<void(const std::string& root, const std::function<void()>& complete)> run;
    std::function<void(const std::string& root)> again;
};

ChildResult builder(const std::string& arg, rlim_t sizeLimit = RLIM_INFINITY) {
    return runProgram({arg}, "\n\n", [sizeLimit] {
        rlimit limit{sizeLimit, sizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
}

void expectExit(const ChildResult& r, int code) {
    if (r.exitCode != code) {
        throw std::runtime_error("exit code " + std::to_string(r.exitCode) + ": " + r.out + r.err);
    }
}

// The builder, until it says `done`: then `complete`, then its end.
void builderUntil(const std::string& arg, const std::string& done,
                  const std::function<void()>& complete, const std::function<void()>& inChild = {}) {
    Child child = startChild({arg}, inChild);
    sendInput(child, "\n\n");
    const bool said = waitForOutput(child, done);
    if (said) complete();
    const ChildResult r = finishChild(child);
    expectExit(r, 0);
    if (!said) throw std::runtime_error("no \"" + done + "\": " + r.out + r.err);
}

void zem(const std::vector<std::string>& args, const std::function<void()>& complete = {},
         const std::function<void()>& inChild = {}) {
    expectExit(runExecutable(ZEM_EXE, args, "", inChild), 0);
    if (complete) complete();
}

void packOldArchive(const std::string& root) {
    writeTree(root + "/pack", randomTree(1, 0, 24));
    expectExit(builder(root + "/pack"), 0);
    writeTree(root + "/pack", randomTree(2, 0, 24));
}

// An archive of f6..f23 beside the folder it unpacks into, which holds other bytes for f0..f17.
void prepareUnpacking(const std::string& root) {
    writeTree(root + "/box", randomTree(3, 6, 24));
    zem({"create", root + "/box"});
    fs::remove_all(root + "/box");
    writeTree(root + "/box", randomTree(4, 0, 18));
}

const std::string kCreated = "ZEM creation complete.";
const std::string kExtracted = "ZEM extraction complete.";

std::vector<Scenario> scenarios() {
    const auto packAgain = [](const std::string& root) { expectExit(builder(root + "/pack"), 0); };
    const auto extractAgain = [](const std::string& root) {
        zem({"extract", "--force", root + "/box.zem", root + "/box"});
    };
    return {
        {"zem-builder FOLDER, replacing an archive", packOldArchive,
         [](const std::string& root, const std::function<void()>& complete) {
             builderUntil(root + "/pack", kCreated, complete);
         },
         packAgain},
        {"zem-builder FOLDER, a first archive",
         [](const std::string& root) { writeTree(root + "/pack", randomTree(5, 0, 24)); },
         [](const std::string& root, const std::function<void()>& complete) {
             builderUntil(root + "/pack", kCreated, complete);
         },
         packAgain},
        {"zem create -o FILE, replacing it",
         [](const std::string& root) {
             packOldArchive(root);
             zem({"create", "-o", root + "/out.zem", root + "/pack"});
             writeTree(root + "/pack", randomTree(6, 0, 24));
         },
         [](const std::string& root, const std::function<void()>& complete) {
             zem({"create", "-o", root + "/out.zem", root + "/pack"}, complete);
         },
         [](const std::string& root) { zem({"create", "-o", root + "/out.zem", root + "/pack"}); }},
        {"zem-builder FOLDER, failing with exit code 1", packOldArchive,
         [](const std::string& root, const std::function<void()>&) {
             expectExit(builder(root + "/pack", 1 << 20), 1);
         },
         packAgain},
        // Without O_TMPFILE each file has its temporary name from the start, which a crash
        // can leave behind.
        {"zem-builder FOLDER, replacing an archive, named temporary files", packOldArchive,
         [](const std::string& root, const std::function<void()>& complete) {
             builderUntil(root + "/pack", kCreated, complete, [] { refuseUnnamedFilesInChild(); });
         },
         packAgain},
        {"zem-builder ARCHIVE.zem, over a folder", prepareUnpacking,
         [](const std::string& root, const std::function<void()>& complete) {
             builderUntil(root + "/box.zem", kExtracted, complete);
         },
         extractAgain},
        {"zem extract --force, over a folder", prepareUnpacking,
         [](const std::string& root, const std::function<void()>& complete) {
             zem({"extract", "--force", root + "/box.zem", root + "/box"}, complete);
         },
         extractAgain},
        {"zem extract --force, over a folder, named temporary files", prepareUnpacking,
         [](const std::string& root, const std::function<void()>& complete) {
             zem({"extract", "--force", root + "/box.zem", root + "/box"}, complete,
                 [] { refuseUnnamedFilesInChild(); });
         },
         extractAgain},
    };
}

// One log record: a write of `data` at `offset`, a flush, or a mark with its text in `data`.
struct Record {
    char kind;
    uint64_t offset;
    std::string data;
};

std::vector<Record> readLog(const std::string& path) {
    const std::string bytes = readFile(path);
    std::vector<Record> log;
    for (size_t at = 0; at < bytes.size();) {
        const auto take = [&](void* to, size_t size) {
            if (size > bytes.size() - at) throw std::runtime_error(path + ": cut short");
            memcpy(to, bytes.data() + at, size);
            at += size;
        };
        Record r{bytes[at++], 0, ""};
        if (r.kind != 'W' && r.kind != 'F' && r.kind != 'M') {
            throw std::runtime_error(path + ": no record at byte " + std::to_string(at - 1));
        }
        uint32_t length = 0;
        if (r.kind == 'W') take(&r.offset, sizeof r.offset);
        if (r.kind != 'F') take(&length, sizeof length);
        r.data.resize(length);
        take(r.data.data(), length);
        log.push_back(std::move(r));
    }
    return log;
}

void applyWrite(int fd, const Record& r) {
    if (pwrite(fd, r.data.data(), r.data.size(), static_cast<off_t>(r.offset)) !=
        static_cast<ssize_t>(r.data.size())) {
        throw std::runtime_error("pwrite into a crash state: " + std::string(strerror(errno)));
    }
}

struct Recording {
    std::string pristine;  // the image as it was before the logged mount
    std::vector<Record> log;
    Tree before, after;
};

// Runs the scenario on a fresh file system under the logger.
Recording record(const FileSystemKind& kind, const Scenario& scenario, const TempDir& tmp) {
    Recording rec;
    rec.pristine = tmp / "pristine.img";
    const std::string disk = tmp / "disk.img", logPath = tmp / "log", point = tmp / "mnt",
                      served = tmp / "served";
    makeDirs(point);
    makeDirs(served);
    makeFileSystem(kind, rec.pristine);
    mountImage(kind, rec.pristine, point, true);
    scenario.prepare(point);
    run("umount", {point});
    run("cp", {"--sparse=always", rec.pristine, disk});

    Child logger = startExecutable(ZEM_BLOCK_LOGGER, {disk, logPath, served});
    for (int i = 0; !exists(served + "/disk"); ++i) {  // wait for the mount, a minute at most
        if (i == 6000 || waitpid(logger.pid, nullptr, WNOHANG) != 0) {
            throw std::runtime_error("zem-block-logger did not serve " + served);
        }
        usleep(10000);
    }
    const ChildResult device =
        runExecutable(findTool("losetup"), {"-f", "--show", "--direct-io=on", served + "/disk"}, "");
    const std::string loop = device.out.substr(0, device.out.find('\n'));
    const auto mark = [&](const std::string& text) { writeFile(served + "/mark", text); };
    try {
        if (device.exitCode != 0) throw std::runtime_error("losetup: " + device.err);
        mountImage(kind, loop, point, false);
        rec.before = readTree(point);
        run("sync", {"-f", point});
        mark("start");
        scenario.run(point, [&] { mark("complete"); });
        rec.after = readTree(point);
        run("umount", {point});
    } catch (...) {
        runExecutable(findTool("umount"), {point}, "");
        runExecutable(findTool("losetup"), {"-d", loop}, "");
        runExecutable(findTool("fusermount3"), {"-u", served}, "");
        finishChild(logger);
        throw;
    }
    run("losetup", {"-d", loop});
    run("fusermount3", {"-u", served});
    expectExit(finishChild(logger), 0);
    rec.log = readLog(logPath);
    return rec;
}

// What is wrong in a crash state: each file holds the bytes it had before the run or after it
// (absent where it had none), and only those after it once the run was complete. Temporary files
// go into `leftovers`. `damaged` tells whether a file holds neither the old bytes nor the new.
std::vector<std::string> problemsOf(const Recording& rec, const Tree& state, bool complete,
                                    std::vector<std::string>& leftovers, bool& damaged) {
    std::vector<std::string> problems;
    const auto describe = [](const Tree& tree, const std::string& name) {
        const auto it = tree.find(name);
        return it == tree.end() ? std::string("absent") : std::to_string(it->second.size()) + " bytes";
    };
    std::set<std::string> names;
    for (const Tree* tree : {&rec.before, &rec.after, &state}) {
        for (const auto& entry : *tree) names.insert(entry.first);
    }
    for (const std::string& name : names) {
        const auto now = state.find(name), old = rec.before.find(name), done = rec.after.find(name);
        const auto same = [&](Tree::const_iterator expected, const Tree& tree) {
            return now == state.end() ? expected == tree.end()
                                      : expected != tree.end() && expected->second == now->second;
        };
        if (same(done, rec.after) || (!complete && same(old, rec.before))) continue;
        if (old == rec.before.end() && done == rec.after.end() &&
            leftoverProcessId(fs::path(name).filename().string()) != 0) {
            leftovers.push_back(name);
            continue;
        }
        damaged = damaged || !same(old, rec.before);
        problems.push_back(name + ": " + describe(state, name) + " (before the run " +
                           describe(rec.before, name) + ", after it " +
                           describe(rec.after, name) + ")");
    }
    return problems;
}

struct Figures {
    size_t states = 0;
    size_t broken = 0;
    size_t statesComplete = 0;  // of those, states where the run had said it was done
    size_t brokenComplete = 0;
    size_t damaged = 0;
    size_t leftovers = 0;  // states with temporary files left, which the next run removed  // broken states where a file holds neither the old bytes nor the new
    std::vector<std::string> problems;  // of the first broken states
};

// Checks one crash state: the image `prefix` with the `extra` writes on top, mounted from a copy
// (the mount replays the journal into it). With leftovers, the next run must remove them.
void checkState(const FileSystemKind& kind, const Scenario& scenario, const Recording& rec,
                const std::string& prefix, const std::vector<const Record*>& extra,
                bool complete, const std::string& label, const TempDir& tmp, Figures& figures) {
    const std::string image = tmp / "crash.img", point = tmp / "state";
    run("cp", {"--sparse=always", prefix, image});
    const int fd = open(image.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open " + image + ": " + strerror(errno));
    for (const Record* r : extra) applyWrite(fd, *r);
    close(fd);
    makeDirs(point);
    std::vector<std::string> problems, leftovers;
    bool damaged = false;
    ++figures.states;
    figures.statesComplete += complete;
    try {
        mountImage(kind, image, point, true);
    } catch (const std::exception& e) {
        problems.push_back(std::string("does not mount: ") + e.what());
    }
    if (problems.empty()) {
        try {
            problems = problemsOf(rec, readTree(point), complete, leftovers, damaged);
            if (problems.empty() && !leftovers.empty()) {
                ++figures.leftovers;
                scenario.again(point);
                for (const std::string& name : leftovers) {
                    if (exists(join(point, name))) problems.push_back(name + ": left by the next run");
                }
            }
        } catch (const std::exception& e) {
            problems.push_back(e.what());
        }
        run("umount", {point});
    }
    if (problems.empty()) return;
    figures.brokenComplete += complete;
    figures.damaged += damaged;
    if (++figures.broken <= 3) {
        for (const std::string& p : problems) figures.problems.push_back(label + ": " + p);
    }
}

constexpr int kSubsetsPerInterval = 3;

// Every crash state of the recording from the mark "start" on, checked.
Figures replay(const FileSystemKind& kind, const Scenario& scenario, const Recording& rec,
               unsigned seed, const TempDir& tmp) {
    const std::vector<Record>& log = rec.log;
    size_t start = log.size(), done = log.size();
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].kind == 'M' && log[i].data == "start") start = i;
        if (log[i].kind == 'M' && log[i].data == "complete") done = i;
    }
    if (start == log.size()) throw std::runtime_error("no start mark in the log");
    // The flushes that begin each interval: the last one before the start (everything before it
    // is on disk), and every one after it.
    std::vector<size_t> flushes{0};
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].kind != 'F') continue;
        if (i < start) flushes[0] = i;
        else flushes.push_back(i);
    }
    const std::string prefix = tmp / "prefix.img";
    run("cp", {"--sparse=always", rec.pristine, prefix});
    const int fd = open(prefix.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open " + prefix + ": " + strerror(errno));
    std::mt19937 random(seed);
    Figures figures;
    for (size_t i = 0; i < flushes[0]; ++i) {
        if (log[i].kind == 'W') applyWrite(fd, log[i]);
    }
    for (size_t k = 0; k < flushes.size(); ++k) {
        const size_t from = flushes[k], to = k + 1 < flushes.size() ? flushes[k + 1] : log.size();
        // A crash anywhere in this interval may come after the run said it was done.
        const bool complete = done < to;
        const std::string at = "flush " + std::to_string(k) + " (record " + std::to_string(from) + ")";
        checkState(kind, scenario, rec, prefix, {}, complete, at, tmp, figures);
        std::vector<size_t> writes;
        for (size_t i = from; i < to; ++i) {
            if (log[i].kind == 'W') writes.push_back(i);
        }
        for (int s = 0; writes.size() > 1 && s < kSubsetsPerInterval; ++s) {
            std::vector<const Record*> subset;
            for (size_t w : writes) {
                if (random() % 2) subset.push_back(&log[w]);
            }
            checkState(kind, scenario, rec, prefix, subset, complete,
                       at + " and " + std::to_string(subset.size()) + " of the " +
                           std::to_string(writes.size()) + " writes after it",
                       tmp, figures);
        }
        for (size_t w : writes) applyWrite(fd, log[w]);
    }
    checkState(kind, scenario, rec, prefix, {}, done < log.size(), "the whole log", tmp, figures);
    close(fd);
    return figures;
}

void checkEveryScenario(const FileSystemKind& kind) {
    unsigned seed = 1;
    for (const Scenario& scenario : scenarios()) {
        SCOPED_TRACE(kind.type + ": " + scenario.name);
        TempDir tmp;
        const Recording rec = record(kind, scenario, tmp);
        const Figures figures = replay(kind, scenario, rec, seed++, tmp);
        std::cout << kind.type << ": " << scenario.name << ": " << figures.states << " states, "
                  << figures.broken << " broken (after the run said it was done: "
                  << figures.statesComplete << " states, " << figures.brokenComplete
                  << " broken); " << figures.damaged << " states with a file neither old nor new; "
                  << figures.leftovers << " with temporary files left" << std::endl;
        EXPECT_EQ(figures.broken, 0u) << [&] {
            std::string text;
            for (const std::string& p : figures.problems) text += p + "\n";
            return text;
        }();
    }
}

TEST(CrashStates, Ext4) { checkEveryScenario(kExt4); }
TEST(CrashStates, Xfs) { checkEveryScenario(kXfs); }
TEST(CrashStates, Btrfs) { checkEveryScenario(kBtrfs); }

// Why this machine can't run the tests; empty when it can.
std::string missingPrerequisite() {
    if (geteuid() != 0) return "needs root for loop devices and mounts";
    if (access("/dev/loop-control", W_OK) != 0) return "no /dev/loop-control";
    if (access("/dev/fuse", W_OK) != 0) return "no /dev/fuse";
    for (const char* tool : {"losetup", "mount", "umount", "fusermount3", "mkfs.ext4", "mkfs.xfs",
                             "mkfs.btrfs", "cp", "sync"}) {
        if (findTool(tool).empty()) return std::string("no ") + tool;
    }
    for (const char* type : {"ext4", "xfs", "btrfs"}) {
        // A file system that is a module is listed once loaded.
        if (!findTool("modprobe").empty()) runExecutable(findTool("modprobe"), {"-q", type}, "");
        std::ifstream listed("/proc/filesystems");
        std::stringstream text;
        text << listed.rdbuf();
        if (text.str().find(std::string("\t") + type + "\n") == std::string::npos) {
            return std::string("no ") + type + " in this kernel";
        }
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string why = missingPrerequisite();
    if (!why.empty()) {
        std::cout << "skipped: " << why << std::endl;
        return std::getenv("CI") ? 1 : 77;
    }
    return RUN_ALL_TESTS();
}
