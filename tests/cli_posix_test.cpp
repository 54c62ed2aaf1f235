// The built executable, driven as a script would drive it: answers on standard input.

#include <algorithm>
#include <filesystem>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "builder/terminal_answer.h"
#include "archive_builder.h"
#include "test_util.h"

namespace {

const std::string kPrompt = "[OK/cancel] ";

struct Cli : ::testing::Test {
    TempDir tmp;
    std::string root = tmp / "pack";
    std::string archive = root + ".zem";
    const std::string previous = "previous archive, must survive";

    void SetUp() override {
        makeDirs(root + "/sub");
        writeFile(root + "/a.txt", "hello");
        writeFile(root + "/sub/b.bin", std::string(100000, 'b'));
    }
    void expectPreviousArchiveAndNothingElse() {
        EXPECT_EQ(readFile(archive), previous);
        EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
    }
    std::string question() const {
        return "Generating \"" + archive + "\" from 2 files. Continue? " + kPrompt;
    }
    std::string existsQuestion() const {
        return "ZEM file \"" + archive + "\" already exists. Definitely continue? " + kPrompt;
    }
    // Unpacks the archive (OK to both questions) with the file system's `failedSync`th sync
    // failing with EIO; exit code kNoSuchSync when there was no such sync.
    static constexpr int kNoSuchSync = 1000;
    ChildResult unpackFailingSync(int failedSync) {
        int sockets[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return {};
        Child child = startChild(
            {archive}, [&] { refuseUnnamedFilesInChild(sockets[1], HeldCall::FileSystemSync); });
        close(sockets[1]);
        sendInput(child, "\n\n");
        int syncs = 0;
        HeldWrites held;
        const bool isHeld = waitForHeldCall(
            sockets[0], [&](const std::string&) { return ++syncs == failedSync; }, held);
        close(sockets[0]);
        if (!isHeld) {
            kill(child.pid, SIGKILL);
            ChildResult r = finishChild(child);
            if (r.exitCode != kFilterRefused) r.exitCode = kNoSuchSync;
            return r;
        }
        if (!failHeldCall(held, EIO)) return {};
        return finishChild(child);
    }
};

TEST_F(Cli, PipedAnswersPackTheFolder) {
    const ChildResult r = runProgram({root + "/"}, "\n\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, question() + "ZEM creation complete.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(archive).size(), 28 + 5 + 100000 + 8 + 20 + 6 + 20 + 10u);
}

TEST_F(Cli, UsageWithoutAnArgumentOrWithTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{root, root}}) {
        const ChildResult r = runProgram(args, "");
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out,
                  "To run the ZEM Builder, put all your files into a folder, then drag-and-drop "
                  "the folder onto the ZEM Builder's icon. The folder's name will be used as the "
                  "name of the .zem file.\n");
    }
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});
}

// --help and --version as the one argument answer as every command-line program does; a folder of
// that name is still packed when named as ./--help, and with a second argument it is the usage.
TEST_F(Cli, HelpAndVersionAsTheOneArgument) {
    ChildResult r = runProgram({"--help"}, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: zem-builder FOLDER\n       zem-builder ARCHIVE.zem\n", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("zem create"), std::string::npos);
    r = runProgram({"--version"}, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string("zem-builder ") + ZEM_VERSION + "\n");
    r = runProgram({"--version"}, "", [] {
        const int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, 1) < 0) _exit(126);
    });
    EXPECT_EQ(r.exitCode, 1);

    makeDirs(tmp / "--help");
    writeFile(tmp / "--help/x", "x");
    r = runProgram({"--help", root}, "");
    EXPECT_EQ(r.out.rfind("To run the ZEM Builder", 0), 0u);
    r = runProgram({"./--help"}, "\n", [&] {
        if (chdir(tmp.path.c_str()) != 0) _exit(126);
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(exists(tmp / "--help.zem"));
}

TEST_F(Cli, CancelOrEndOfInputWritesNothing) {
    for (const char* input : {"n\n", "cancel\n", ""}) {
        const ChildResult r = runProgram({root}, input);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.find("ZEM creation complete."), std::string::npos);
    }
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});

    writeFile(archive, previous);
    const ChildResult r = runProgram({root}, "y\nno\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, question() + existsQuestion());
    expectPreviousArchiveAndNothingElse();
}

// A last answer without a line break counts; a line past the limit is Cancel however it ends.
TEST_F(Cli, AnswerLinesWithoutALineBreakOrPastTheLimit) {
    const std::string blanks(kMaxAnswerLength - 1, ' ');
    const struct {
        std::string input;
        bool packs;
    } cases[] = {
        {"y", true},
        {"n", false},
        {blanks + "y\n", true},  // exactly the limit
        {blanks + "y", true},
        {blanks + " y\n", false},  // one past it
        {blanks + " y", false},
    };
    for (const auto& c : cases) {
        unlink(archive.c_str());
        const ChildResult r = runProgram({root}, c.input);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, question() + (c.packs ? "ZEM creation complete.\n" : ""))
            << c.input.size() << " bytes";
        EXPECT_EQ(listNames(tmp.path).size(), c.packs ? 2u : 1u) << c.input.size() << " bytes";
    }
}

// Input without a line break, however long, is read and dropped, never kept.
TEST_F(Cli, AnEndlessAnswerLineIsReadInBoundedMemory) {
    Child child = startChild({root});
    ASSERT_TRUE(waitForOutput(child, kPrompt));
    signal(SIGPIPE, SIG_IGN);
    // The write returns once the program has read all but a pipe's buffer of it.
    sendInput(child, std::string(size_t(64) << 20, 'y'));
    const long peak = procValue("/proc/" + std::to_string(child.pid) + "/status", "VmHWM:");
    const ChildResult r = finishChild(child);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, question());
    ASSERT_GT(peak, 0);
    // Room for the sanitizers' own memory (about 22 MiB), far below what keeping the line takes.
    EXPECT_LT(peak, 40 * 1024) << "peak RSS in KiB after reading 64 MiB of one answer line";
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});
}

// Names and paths in the terminal's messages are escaped, so they can't steer it.
TEST_F(Cli, TerminalMessagesShowNamesEscaped) {
    const std::string folder = tmp / "evil\x1b[2J\xe2\x80\xae";
    const std::string shown = tmp.path + "/evil\\x1B[2J\\u202E";
    makeDirs(folder);
    writeFile(folder + "/\xc2\x9b" + std::string("31m"), "kept");
    writeFile(folder + "/x\x1b]0;title\x07", "removed");
    Child child = startChild({folder});
    ASSERT_TRUE(waitForOutput(child, kPrompt));
    ASSERT_EQ(unlink((folder + "/x\x1b]0;title\x07").c_str()), 0);
    sendInput(child, "\n");
    const ChildResult r = finishChild(child);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Generating \"" + shown + ".zem\" from 2 files. Continue? " + kPrompt);
    EXPECT_EQ(r.err, "Error opening file \"" + shown + "/x\\x1B]0;title\\x07\" for input\n");
}

// Starts a run, waits for the first question, lets `change` alter the folder, then answers OK
// twice.
ChildResult answerAfter(Cli& t, const std::function<void()>& change,
                        const std::function<void()>& inChild = {}) {
    Child child = startChild({t.root}, inChild);
    EXPECT_TRUE(waitForOutput(child, kPrompt));
    change();
    sendInput(child, "\n\n");
    return finishChild(child);
}

// A file changed between the scan and the writing ends the run with that file's error: the
// previous archive stays, nothing is left beside it, and a FIFO in a file's place does not hang
// the run. The FIFO comes last, since writing the tree afresh would block on it.
TEST_F(Cli, AFileChangedAfterTheScanEndsTheRunAndKeepsThePreviousArchive) {
    const struct {
        std::function<void()> change;
        std::string err;
    } cases[] = {
        {[&] { unlink((root + "/sub/b.bin").c_str()); },
         "Error opening file \"" + root + "/sub/b.bin\" for input\n"},
        {[&] { writeFile(root + "/sub/b.bin", "short"); },
         "Error reading data from file \"" + root + "/sub/b.bin\"\n"},
        {[&] {
             unlink((root + "/a.txt").c_str());
             ASSERT_EQ(mkfifo((root + "/a.txt").c_str(), 0600), 0);
         },
         "Error opening file \"" + root + "/a.txt\" for input\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        writeFile(archive, previous);
        const ChildResult r = answerAfter(*this, c.change);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, c.err);
        expectPreviousArchiveAndNothingElse();
    }
}

// A write that fails under a file-size limit ends the run with the write error, whether it comes
// in the middle of a large file or while small files wait in memory before they are written.
TEST_F(Cli, WriteFailuresUnderAFileSizeLimit) {
    const struct {
        rlim_t limit;
        std::function<void()> prepare;
    } cases[] = {
        {50000, [] {}},
        {20000,
         [&] {
             unlink((root + "/sub/b.bin").c_str());  // large: copied by the kernel, not gathered
             for (int i = 0; i < 3; ++i) {
                 writeFile(root + "/small" + std::to_string(i), std::string(30000, 's'));
             }
         }},
    };
    for (const auto& c : cases) {
        writeFile(archive, previous);
        c.prepare();
        const rlim_t limit = c.limit;
        const ChildResult r = runProgram({root}, "\n\n", [limit] {
            rlimit fileSize{limit, limit};
            setrlimit(RLIMIT_FSIZE, &fileSize);
        });
        EXPECT_EQ(r.exitCode, 1) << limit;
        EXPECT_EQ(r.err, "Error writing .zem file (\"" + archive + "\")\n");
        expectPreviousArchiveAndNothingElse();
    }
}

// A backslash is an ordinary character on POSIX: "x\" names the folder x\ and packs into x\.zem,
// with or without one trailing slash.
TEST_F(Cli, ABackslashAtTheEndOfTheArgumentIsPartOfTheFolderName) {
    const std::string folder = tmp / "x\\";
    makeDirs(folder);
    writeFile(folder + "/in", "i");
    for (const std::string& argument : {folder, folder + "/"}) {
        const ChildResult r = runProgram({argument}, "\n\n");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.rfind("Generating \"" + folder + ".zem\" from 1 files. Continue?", 0), 0u)
            << r.out;
    }
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "x\\", "x\\.zem"}));
}

// Running out of memory ends the run with a message and exit code 1, never an abort, and leaves
// the previous archive as it was: while writing (the run limited, at its first question, to the
// memory it holds then) and while listing (links that make no loop still multiply the files).
TEST_F(Cli, RunningOutOfMemoryIsAnErrorNotAnAbort) {
#ifdef ZEM_SANITIZED_BUILD
    GTEST_SKIP() << "the sanitizers reserve more address space than the limits here allow";
#endif
    writeFile(archive, previous);
    Child child = startChild({root});
    ASSERT_TRUE(waitForOutput(child, kPrompt));
    const long size = procValue("/proc/" + std::to_string(child.pid) + "/status", "VmSize:");
    ASSERT_GT(size, 0);
    const rlimit limit{rlim_t(size) << 10, rlim_t(size) << 10};
    ASSERT_EQ(prlimit(child.pid, RLIMIT_AS, &limit, nullptr), 0);
    sendInput(child, "\n\n");
    ChildResult r = finishChild(child);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Out of memory writing .zem file (\"" + archive + "\")\n");
    expectPreviousArchiveAndNothingElse();

    makeLinkFanOut(root + "/fan");
    r = runProgram({root}, "\n\n", [] {
        const rlimit small{32 << 20, 32 << 20};
        setrlimit(RLIMIT_AS, &small);
    });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Out of memory listing the folder \"" + root + "\"\n");
    expectPreviousArchiveAndNothingElse();
}

TEST_F(Cli, FolderAtTheArchivePath) {
    makeDirs(archive);
    const ChildResult r = runProgram({root}, "\n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, question() + existsQuestion());
    EXPECT_EQ(r.err, "Error opening .zem file (\"" + archive + "\") for output\n");
    EXPECT_TRUE(listNames(archive).empty());
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

TEST_F(Cli, TerminationDuringAQuestionLeavesNothing) {
    writeFile(archive, previous);
    Child child = startChild({root});
    ASSERT_TRUE(waitForOutput(child, kPrompt));
    sendInput(child, "\n");
    ASSERT_TRUE(waitForOutput(child, kPrompt, 2));
    kill(child.pid, SIGTERM);
    const ChildResult r = finishChild(child);
    EXPECT_EQ(r.exitCode, 128 + SIGTERM);
    expectPreviousArchiveAndNothingElse();
}

// On a file system without unnamed temporary files the archive is written under a hidden name
// beside it: the same bytes, nothing left over; and ended by a signal while it writes, the
// program removes the hidden file on its way out.
TEST_F(Cli, WithoutUnnamedFilesTheHiddenArchiveNeverOutlivesTheRun) {
    ChildResult r = runProgram({root}, "\n\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string expected = readFile(archive);
    writeFile(archive, previous);
    r = runProgram({root}, "\n\n", [] { refuseUnnamedFilesInChild(); });
    SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(readFile(archive) == expected);
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));

    writeFile(archive, previous);
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    Child child = startChild({root}, [&] { refuseUnnamedFilesInChild(sockets[1]); });
    close(sockets[1]);
    sendInput(child, "\n\n");
    HeldWrites held;
    const bool isHeld = waitForHeldWrite(sockets[0], tmp.path, held);
    close(sockets[0]);
    if (!isHeld) kill(child.pid, SIGKILL);
    ASSERT_TRUE(isHeld) << finishChild(child).err;
    const std::vector<std::string> during = listNames(tmp.path);
    ASSERT_EQ(during.size(), 3u) << "the hidden archive beside the previous one";
    EXPECT_EQ(during[0].rfind(".zem-", 0), 0u) << during[0];
    kill(child.pid, SIGTERM);
    r = finishChild(child);
    EXPECT_EQ(r.exitCode, 128 + SIGTERM);
    expectPreviousArchiveAndNothingElse();
}

// A folder that may be written but not read, run as its owner: the archive's folder can't be
// synced, which the program knows before it replaces anything. It skips that sync and succeeds;
// it never fails with the previous archive already replaced.
TEST_F(Cli, AFolderThatCanBeWrittenButNotReadGetsItsArchive) {
    const bool asRoot = geteuid() == 0;  // root reads any folder: the run drops to nobody
    const std::string folder = tmp / "write-only";
    makeDirs(folder);
    ASSERT_EQ(rename(root.c_str(), (folder + "/pack").c_str()), 0);
    root = folder + "/pack";
    archive = root + ".zem";
    ChildResult r = runProgram({root}, "\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string expected = readFile(archive);
    writeFile(archive, previous);
    if (asRoot) {
        ASSERT_EQ(chmod(tmp.path.c_str(), 0711), 0);
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chmod(folder.c_str(), 0300), 0);
    // The build may lie in a folder only its owner can enter (a private checkout): nobody runs a
    // copy in a folder of its own.
    std::string program = builderExecutable();
    if (asRoot) {
        program = tmp / "bin/zem-builder";
        makeDirs(tmp / "bin");
        writeFile(program, readFile(builderExecutable()));
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    }
    r = runExecutable(program, {root}, "\n\n", [&] {
        if (asRoot && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
        if (access(root.c_str(), R_OK | X_OK) != 0 || access(program.c_str(), X_OK) != 0) {
            _exit(124);
        }
    });
    if (r.exitCode == 124) GTEST_SKIP() << "nobody can't reach " << root << " or " << program;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, question() + existsQuestion() + "ZEM creation complete.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(readFile(archive) == expected);
    EXPECT_EQ(listNames(folder), (std::vector<std::string>{"pack", "pack.zem"}));
}

// Syncing the folder is the one step after the archive is in place; when it fails, that can't
// undo the new archive, so the run succeeds with a warning that says what failed.
TEST_F(Cli, AFolderSyncThatFailsAfterTheRenameIsAWarning) {
    writeFile(archive, previous);
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    Child child =
        startChild({root}, [&] { refuseUnnamedFilesInChild(sockets[1], HeldCall::Sync); });
    close(sockets[1]);
    sendInput(child, "\n\n");
    char* real = realpath(tmp.path.c_str(), nullptr);
    const std::string folder = real;
    free(real);
    HeldWrites held;
    const bool isHeld = waitForHeldCall(
        sockets[0], [&](const std::string& path) { return path == folder; }, held);
    close(sockets[0]);
    if (!isHeld) {
        kill(child.pid, SIGKILL);
        const ChildResult r = finishChild(child);
        SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
        FAIL() << "the folder was never synced: " << r.err;
    }
    EXPECT_NE(readFile(archive), previous) << "in place before its folder is synced";
    ASSERT_TRUE(failHeldCall(held, EIO));
    const ChildResult r = finishChild(child);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, question() + existsQuestion() + "ZEM creation complete.\n");
    EXPECT_EQ(r.err, "Warning: \"" + archive +
                         "\" is in place, but its folder could not be synced (Input/output "
                         "error): a system crash may still bring back what was there before\n");
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

// Unpacking holds the written files off their names until one sync of the file system has put
// their data on disk, and syncs it again at the end for the names. A failed first sync ends the
// run with every old file at its name, no new one and no temporary file; the last comes after
// every file is in place, so its failure is a warning.
TEST_F(Cli, AFailedSyncWhileUnpacking) {
    ASSERT_EQ(runProgram({root}, "\n\n").exitCode, 0);
    const struct {
        int failedSync;
        int exitCode;
        std::string err;
        std::string aTxt;  // after the run
    } cases[] = {
        {1, 1,
         "Error extracting .zem file (\"" + archive + "\"): cannot sync the file system of \"" +
             root,
         "old"},
        {2, 0,
         "Warning: the file system of \"" + root + "\" could not be synced (Input/output error): "
         "a system crash may still bring back what was there before\n",
         "hello"},
    };
    for (const auto& c : cases) {
        writeFile(root + "/a.txt", "old");
        writeFile(root + "/sub/b.bin", "old");
        const ChildResult r = unpackFailingSync(c.failedSync);
        SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
        ASSERT_NE(r.exitCode, kNoSuchSync) << r.err;
        EXPECT_EQ(r.exitCode, c.exitCode) << c.failedSync;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.failedSync;
        EXPECT_NE(r.err.find("Input/output error"), std::string::npos) << r.err;
        EXPECT_EQ(readFile(root + "/a.txt"), c.aTxt) << c.failedSync;
        EXPECT_EQ(readFile(root + "/sub/b.bin"),
                  c.aTxt == "old" ? std::string("old") : std::string(100000, 'b'));
        EXPECT_EQ(r.out.find("ZEM extraction complete.") != std::string::npos, c.exitCode == 0);
        EXPECT_EQ(listNames(root), (std::vector<std::string>{"a.txt", "sub"})) << c.failedSync;
        EXPECT_EQ(listNames(root + "/sub"), std::vector<std::string>{"b.bin"}) << c.failedSync;
    }
}

// Files go to their names a batch at a time, each batch once its data is synced. When a later
// sync fails, what is at its name is whole and a leading run of the archive's files, every
// earlier batch and nothing after, with no temporary file beside them.
TEST_F(Cli, ASyncThatFailsAfterTheFirstBatchLeavesTheBatchesBeforeIt) {
    const int count = 300;
    auto content = [](int i) { return "file " + std::to_string(i) + std::string(i, 'x'); };
    std::vector<std::string> names;
    makeDirs(root + "/many");
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%03d", i);
        names.push_back(name);
        writeFile(root + "/many/" + name, content(i));
    }
    ASSERT_EQ(runProgram({root}, "\n\n").exitCode, 0);
    std::filesystem::remove_all(root + "/many");
    std::vector<std::string> inOrder;  // the archive's order
    for (const std::string& stored : storedNames(readFile(archive))) {
        if (stored.rfind("many\\", 0) == 0) inOrder.push_back(stored.substr(5));
    }
    ASSERT_EQ(inOrder.size(), names.size());
    const ChildResult r = unpackFailingSync(2);
    SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
    ASSERT_NE(r.exitCode, kNoSuchSync) << r.err;
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot sync the file system of"), std::string::npos) << r.err;
    const std::vector<std::string> there = listNames(root + "/many");
    ASSERT_FALSE(there.empty()) << "the first batch is not in place";
    ASSERT_LT(there.size(), names.size());
    std::vector<std::string> leading(inOrder.begin(), inOrder.begin() + there.size());
    std::sort(leading.begin(), leading.end());
    EXPECT_EQ(there, leading);
    for (const std::string& name : there) {
        EXPECT_EQ(readFile(root + "/many/" + name), content(std::stoi(name.substr(1)))) << name;
    }
}

}  // namespace

namespace {

TEST_F(Cli, TimeBytesUseTheOffsetOfTheRunExactlyEvenInTheSpringForwardGap) {
    ScopedTimeZone berlin("Europe/Berlin");  // inherited by the child
    const int64_t offset = currentUtcOffset();
    // 2024-03-31 02:30:00 as a local clock reading; Berlin's clocks skip from 02:00 to 03:00.
    const int64_t gapLocal = 1711852200;
    setModifiedTime(root + "/a.txt", gapLocal - offset);
    setModifiedTime(root + "/sub/b.bin", 1088516730);  // 2004-06-29 13:45:30 UTC
    const ChildResult r = runProgram({root}, "\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string bytes = readFile(archive);
    const size_t gapName = bytes.find(std::string("a.txt\0", 6));
    ASSERT_NE(gapName, std::string::npos);
    EXPECT_EQ(bytes.substr(gapName - 8, 8), std::string("\xE8\x07\x03\x1F\x02\x1E\x00\x00", 8));

    // The 2004 file is shown with the offset of the run (+1 in winter, +2 in summer), not of June.
    const size_t oldName = bytes.find(std::string("sub\\b.bin\0", 10));
    ASSERT_NE(oldName, std::string::npos);
    const std::string hour(1, static_cast<char>(13 + offset / 3600));
    EXPECT_EQ(bytes.substr(oldName - 8, 8),
              std::string("\xD4\x07\x06\x1D", 4) + hour + std::string("\x2D\x1E\x00", 3));
}

}  // namespace
