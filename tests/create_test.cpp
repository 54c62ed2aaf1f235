// zem create and the commands that take names: the patterns, the times a command line asks for,
// extraction of selected files and zem cat, the builder's archive from a script (same bytes, to a
// file or a stream), archives that don't depend on the machine. Cases only POSIX runs (the
// built programs, pipes, terminals, time zones per process) sit in its section.

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "format/format.h"
#include "format/local_time.h"
#include "format/reader.h"
#include "platform/name_pattern.h"
#include "test_util.h"
#include "zem/commands.h"
#include "zem/create.h"
#include "zem_run.h"

namespace {

// Patterns on names and paths; a path is also selected by a pattern for a folder it lies in.
TEST(NamePattern, WildcardsSetsAndEitherSeparator) {
    struct Case {
        const char* pattern;
        const char* text;
        bool matches;
        bool orFolder;  // matchesPathOrFolder rather than matchesPattern
    };
    const Case cases[] = {
        {"*.tmp", "a.tmp", true, false},
        {"*.tmp", "a.tmpx", false, false},
        {"a?c", "ac", false, false},
        {"textures/*", "textures\\x\\y", true, false},
        {"a\\b", "a/b", true, false},
        {"*a*b*c", "xaxbxbxc", true, false},
        {"*a*b*c", "xaxbxbxcx", false, false},
        {"[!abc]x", "bx", false, false},
        {"[^abc]x", "dx", true, false},
        {"[a-f]", "g", false, false},
        {"[]]", "]", true, false},
        {"[*]", "a", false, false},
        {"[a", "[a", true, false},
        {"ABC", "abc", false, false},
        {"a/b", "a\\b\\c", true, true},
        {"?", "a\\b", true, true},
        {"b", "a\\b\\c", false, true},
        {"a\\b", "a\\bc", false, true},
        {"a/", "a\\b", false, true},
        // Whole UTF-8 characters; a byte outside valid UTF-8 is a character of its own.
        {"?.txt", "\xc3\xa9.txt", true, false},
        {"??.txt", "\xc3\xa9.txt", false, false},
        {"[\xc3\xa9"
         "e].txt",
         "\xc3\xa9.txt", true, false},
        {"[!\xc3\xa9]", "\xc3\xa8", true, false},
        {"[\xce\xb1-\xcf\x89]", "\xce\xbb", true, false},
        {"[a-z]", "\xce\xbb", false, false},
        {"*?\xa9", "\xc3\xa9", false, false},
        {"?", "\xff", true, false},
        {"??", "\xc3", false, false},
        {"[\xff]x", "\xffx", true, false},
        {"[\xc3]", "\xc3\xa9", false, false},
        {"*\xe2\x82\xac", "x\xe2\x82\xac", true, false},
        {"???", "\xed\xa0\x80", true, false},  // a surrogate is no character: three bytes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            c.orFolder ? matchesPathOrFolder(c.pattern, c.text) : matchesPattern(c.pattern, c.text),
            c.matches)
            << c.pattern << " " << c.text;
    }
}

// --mtime's forms, SOURCE_DATE_EPOCH's, and the rule they make, or the wrong command line.
TEST(CreateTimes, ArgumentsAndTheRuleTheyMake) {
    const int64_t east = 3600;  // the local offset, one hour east
    const int64_t y2020 = secondsFromCalendar({2020, 1, 1, 0, 0, 0});
    const std::pair<const char*, int64_t> valid[] = {
        {"@-5", -5},
        {"2020-01-01", y2020 - east},  // local time without a zone
        {"2020-01-01 00:00:30Z", y2020 + 30},
        {"2020-01-01T01:30+01:30", y2020},
        {"2019-12-31T19:00:00-05:00", y2020},
    };
    for (const auto& [text, expected] : valid) {
        int64_t utc = 0;
        EXPECT_TRUE(parseTimeArgument(text, east, utc)) << text;
        EXPECT_EQ(utc, expected) << text;
    }
    for (const char* text : {"2023-02-29", "2020-01-01T24:00", "2020-01-01T12", "2020-1-01",
                             "2020-01-01T12:00+0100", "2020-01-01Z ", "@", "@ 12", "1700000000"}) {
        int64_t utc = 0;
        EXPECT_FALSE(parseTimeArgument(text, east, utc)) << text;
    }

    using Kind = TimeRule::Kind;
    struct Rule {
        std::string mtime;
        bool clamp;
        bool utc;
        const char* epoch;
        Kind kind;
        int64_t instant;
        const char* error;  // "" when the rule is made
    };
    const std::string notSeconds =
        "\" is not a whole number of seconds since 1970-01-01 00:00:00 UTC";
    const Rule rules[] = {
        {"", false, false, "", Kind::Keep, 0, ""},  // set but empty: as unset
        {"", false, true, "1000000000", Kind::Clamp, 1000000000, ""},
        {"@5000", false, false, "1000000000", Kind::Replace, 5000, ""},
        {"@5000", true, false, nullptr, Kind::Clamp, 5000, ""},
        {"", true, false, nullptr, Kind::Keep, 0,
         "--clamp-mtime needs --mtime=WHEN or SOURCE_DATE_EPOCH"},
        {"", false, false, "-1", Kind::Keep, 0, "SOURCE_DATE_EPOCH: \"-1"},
        {"", false, false, "1e9", Kind::Keep, 0, "SOURCE_DATE_EPOCH: \"1e9"},
        {"@4102444800", false, false, nullptr, Kind::Keep, 0,
         "--mtime lies in 2100, outside the years 1970 to 2038 that an archive can store"},
    };
    for (const Rule& r : rules) {
        CreateArguments arguments;
        arguments.mtime = r.mtime;
        arguments.clampMtime = r.clamp;
        arguments.utc = r.utc;
        const std::string shown = r.mtime + " " + (r.epoch ? r.epoch : "(unset)");
        std::string error = r.error;
        if (error.rfind("SOURCE_DATE_EPOCH", 0) == 0) error += notSeconds;
        try {
            const TimeRule rule = createTimeRule(arguments, r.epoch, east);
            EXPECT_EQ(error, "") << shown;
            EXPECT_EQ(rule.kind, r.kind) << shown;
            EXPECT_EQ(rule.instant, r.instant) << shown;
            EXPECT_EQ(rule.listedOffset, east) << shown;
            EXPECT_EQ(rule.storedOffset, r.utc ? 0 : east) << shown;
        } catch (const UsageError& e) {
            EXPECT_EQ(e.what(), error) << shown;
        }
    }
}

// The files every create test packs: large ones (copied by the kernel where it can), small ones
// (read ahead), an empty one, in subfolders.
struct Create : ::testing::Test {
    TempDir tmp;
    std::string root = tmp / "pack";
    // A build environment's SOURCE_DATE_EPOCH would cap the times zem create stores here.
    ScopedVariable noEpoch{"SOURCE_DATE_EPOCH", nullptr};
    void SetUp() override {
        makeDirs(join(root, "sub/deeper"));
        writeFile(join(root, "a.txt"), "hello");
        writeFile(join(root, "sub/big.bin"), std::string(3 << 20, 'b') + "end");
        writeFile(join(root, "sub/deeper/empty"), "");
        writeFile(join(root, "z.bin"), std::string(70000, 'z'));
        setModifiedTime(join(root, "a.txt"), 1600000000);
    }
};

// Names or patterns after the archive choose what extract -C and cat take, in archive order; a
// name that matches nothing is an error before anything is written.
TEST_F(Create, ExtractAndCatTakeTheFilesTheNamesSelect) {
    const std::string archive = tmp / "pack.zem";
    ASSERT_EQ(zem({"create", "--sort=name", root}).exitCode, 0);
    struct Case {
        std::vector<std::string> names;
        std::vector<std::string> extracted;  // below DEST, none when refused
        std::string unmatched = "nothing*";  // the name the refusal gives
    };
    const Case cases[] = {
        {{"a.txt"}, {"a.txt"}},
        {{"sub"}, {"sub/big.bin", "sub/deeper/empty"}},
        {{"sub\\deeper\\empty", "*.txt"}, {"a.txt", "sub/deeper/empty"}},
        {{"*.bin"}, {"sub/big.bin", "z.bin"}},
        {{"?.*"}, {"a.txt", "z.bin"}},
        {{"a.txt", "nothing*"}, {}},
        // Names are looked up, not matched one by one: each of several that select the same file
        // counts as matched, and only whole folder names select what lies in them.
        {{"sub/deeper", "sub", "a.txt", "a.txt"}, {"a.txt", "sub/big.bin", "sub/deeper/empty"}},
        {{"sub/deep"}, {}, "sub/deep"},
        {{"sub/"}, {}, "sub/"},
        {{"sub\\deeper", "sub/big.bin"}, {"sub/big.bin", "sub/deeper/empty"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dest = tmp / ("out" + std::to_string(n++));
        std::vector<std::string> args = {"extract", archive, "-C", dest};
        args.insert(args.end(), c.names.begin(), c.names.end());
        const ChildResult r = zem(args);
        if (c.extracted.empty()) {
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.err, "zem: " + archive + ": nothing stored matches \"" + c.unmatched + "\"\n");
            EXPECT_FALSE(exists(dest));
            continue;
        }
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<std::string> found;
        for (const std::string name : {"a.txt", "z.bin", "sub/big.bin", "sub/deeper/empty"}) {
            if (exists(join(dest, name))) {
                found.push_back(name);
                EXPECT_EQ(readFile(join(dest, name)), readFile(join(root, name)));
            }
        }
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.extracted) << c.names[0];
    }
#ifndef _WIN32
    // In archive order, whatever the order of the names.
    ChildResult r = zem({"cat", archive, "z.bin", "a.txt"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "hello" + std::string(70000, 'z'));
    r = zem({"cat", archive, "sub"});
    EXPECT_EQ(r.out, readFile(join(root, "sub/big.bin")));
    r = zem({"cat", archive, "A.TXT"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zem: " + archive + ": nothing stored matches \"A.TXT\"\n");
#endif
}

// An archive written inside the folder it packs leaves out its own earlier version, as tar leaves
// out its own archive, for both programs and (where the listing tells files' identities) by
// whatever path the listing meets it; a file of that name elsewhere in the folder is packed.
TEST_F(Create, AnArchiveInsideItsFolderLeavesItselfOut) {
    writeFile(join(root, "own.zem"), "another file of the name");
    struct Case {
        const char* label;
        std::string archive;
        std::function<ChildResult()> run;
    };
    std::vector<Case> cases = {
        {"zem create -o", join(root, "sub/own.zem"),
         [&] {
             return zem({"create", "-o", join(root, "sub/own.zem"), root});
         }},
    };
#ifndef _WIN32
    // The folder view/o is a second way to sub.
    makeDirs(join(root, "view"));
    EXPECT_EQ(symlink("../sub", join(root, "view/o").c_str()), 0);
    cases.push_back({"zem-builder .", join(root, "..zem"), [&] {
                         return runProgram({"."}, "\n\n", [&] {
                             if (chdir(root.c_str()) != 0) _exit(126);
                         });
                     }});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (int run = 0; run < 2; ++run) {
            const ChildResult r = c.run();
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        const ChildResult listed = zem({"list", c.archive});
        ASSERT_EQ(listed.exitCode, 0) << listed.err;
        std::vector<std::string> names;
        std::istringstream lines(listed.out);
        for (std::string line; std::getline(lines, line);) names.push_back(line.substr(33));
        std::sort(names.begin(), names.end());
        std::vector<std::string> expected = {"a.txt", "own.zem", "sub\\big.bin",
                                             "sub\\deeper\\empty", "z.bin"};
#ifndef _WIN32
        for (const char* linked : {"view\\o\\big.bin", "view\\o\\deeper\\empty"}) {
            expected.push_back(linked);
        }
        if (c.archive == join(root, "..zem")) {  // the first case's archive is packed here
            expected.insert(expected.end(), {"sub\\own.zem", "view\\o\\own.zem"});
        }
#endif
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(names, expected);
    }
}

#ifndef _WIN32

ChildResult zemWith(const std::vector<std::string>& args, const std::function<void()>& inChild) {
    return runExecutable(ZEM_EXE, args, "", inChild);
}

// With no option, zem create writes the bytes zem-builder writes, whichever way the archive
// leaves: to a file, to a file as standard output, through a pipe, through a pipe when the
// kernel copies nothing.
TEST_F(Create, TheBuildersBytesToAFileOrAStream) {
    ScopedTimeZone berlin("Europe/Berlin");
    ASSERT_EQ(runProgram({root}, "\n\n").exitCode, 0);
    const std::string expected = readFile(tmp / "pack.zem");
    ASSERT_EQ(expected.size(), 28 + 5 + (3u << 20) + 3 + 70000 + 4 * (4 + 20) + 6 + 12 + 17 + 6);

    ChildResult r = zem({"create", root});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(readFile(tmp / "pack.zem"), expected);

    // To a file as standard output, to a pipe, to a pipe when the kernel copies nothing.
    const std::string redirected = tmp / "redirected.zem";
    const std::function<void()> outputs[] = {
        [&] {
            const int fd = open(redirected.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
        },
        nullptr, refuseKernelCopiesInChild};
    for (const std::function<void()>& inChild : outputs) {
        const bool toFile = &inChild == &outputs[0];
        r = zemWith({"create", "-o", "-", root}, inChild);
        SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(toFile ? readFile(redirected) : r.out, expected);
    }
    EXPECT_EQ(listNames(tmp.path),
              (std::vector<std::string>{"pack", "pack.zem", "redirected.zem"}));
}

// What is at the archive's path decides how it is written, and a device, a named pipe or a socket
// is never replaced by a regular file. A path named with -o is followed through links: a file at
// their end is replaced, a device or pipe written into as standard output is. At the path the
// program chose (FOLDER.zem, for both programs) a link is replaced itself and anything special
// is the open error.
TEST_F(Create, WhatIsAtTheOutputPathDecidesBetweenReplacingAndStreaming) {
    ASSERT_EQ(zem({"create", "-o", tmp / "expected.zem", root}).exitCode, 0);
    const std::string expected = readFile(tmp / "expected.zem");
    const std::string target = tmp / "target", fifo = tmp / "fifo", device = tmp / "null";
    const std::string socketPath = tmp / "socket", chosen = root + ".zem";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mknod(socketPath.c_str(), S_IFSOCK | 0600, 0), 0);
    // Root can make a device (the one /dev/null is), where the file system allows devices.
    const int deviceFd = mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0
                             ? open(device.c_str(), O_WRONLY | O_CLOEXEC)
                             : -1;
    if (deviceFd >= 0) close(deviceFd);
    const auto typeAt = [](const std::string& path, bool follow) -> mode_t {
        struct stat st {};
        if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return 0;
        return st.st_mode & S_IFMT;
    };
    struct Case {
        const char* label;
        std::string at;      // the archive's path: -o, or FOLDER.zem when it is `chosen`
        std::string linkTo;  // a link made at `at` first, to this (empty: none)
        int exitCode;
        mode_t typeAfter;  // at `at`, a link not followed
    };
    const Case cases[] = {
        {"named pipe", fifo, "", 0, S_IFIFO},
        {"link to a named pipe", tmp / "to-fifo", fifo, 0, S_IFLNK},
        {"character device", device, "", 0, S_IFCHR},
        {"link to a file", tmp / "to-file", target, 0, S_IFLNK},
        {"dangling link", tmp / "to-nothing", target, 0, S_IFLNK},
        {"socket", socketPath, "", 1, S_IFSOCK},
        {"link to a socket", tmp / "to-socket", socketPath, 1, S_IFLNK},
        {"named pipe at the chosen path", chosen, "", 1, S_IFIFO},
        {"link at the chosen path", chosen, target, 0, S_IFREG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.at == device && deviceFd < 0) continue;
        writeFile(target, "old");
        if (c.label == std::string("dangling link")) unlink(target.c_str());
        if (c.at == chosen) unlink(chosen.c_str());
        const int made = !c.linkTo.empty() ? symlink(c.linkTo.c_str(), c.at.c_str())
                         : c.at == chosen  ? mkfifo(chosen.c_str(), 0600)
                                           : 0;
        ASSERT_EQ(made, 0);
        const bool named = c.at != chosen;
        // A named pipe's reader takes what is written into it.
        const bool toFifo = named && typeAt(c.at, true) == S_IFIFO;
        const ChildResult r =
            toFifo
                ? runExecutable(
                      "/bin/sh",
                      {"-c",
                       "cat \"$1\" > \"$2\" & \"$3\" create -o \"$1\" \"$4\"; s=$?; wait; exit $s",
                       "sh", c.at, tmp / "read", ZEM_EXE, root},
                      "")
            : named ? zem({"create", "-o", c.at, root})
                    : zem({"create", root});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(typeAt(c.at, false), c.typeAfter);
        if (c.exitCode != 0) {
            EXPECT_EQ(r.err, "zem: error opening .zem file (\"" + c.at + "\") for output\n");
        } else if (toFifo) {
            EXPECT_TRUE(readFile(tmp / "read") == expected);
        } else if (c.typeAfter != S_IFCHR) {
            EXPECT_TRUE(readFile(c.at) == expected);
        }
        EXPECT_EQ(readFile(target) == expected, named && c.linkTo == target);
        if (c.at == chosen && c.linkTo.empty()) {
            const ChildResult builder = runProgram({root}, "\n\n");
            EXPECT_EQ(builder.exitCode, 1);
            EXPECT_EQ(builder.err, "Error opening .zem file (\"" + chosen + "\") for output\n");
            EXPECT_EQ(typeAt(chosen, false), S_IFIFO);
        }
    }
}

// Standard output at a terminal is refused before anything is read or written, and so is
// standard input at one where an archive is read from it; standard error at one shows the progress
// line (of create, extract and verify); -v names each file in order, -q and a pipe show nothing.
TEST_F(Create, TerminalsNamesAndQuiet) {
    const std::string made = tmp / "made.zem";
    ASSERT_EQ(zemWith({"create", "-o", made, root}, {}).exitCode, 0);
    struct Case {
        std::vector<std::string> args;
        int terminalFd;  // -1: none
        int exitCode;
        std::string err;         // what reaches the pipe on standard error
        std::string onTerminal;  // the start of what the terminal shows
    };
    const std::string refused =
        "zem: won't write an archive to a terminal: redirect standard output or give -o FILE\n"
        "Try \"zem create --help\" for more information.\n";
    const Case cases[] = {
        {{"create", "-o", "-", root}, 1, 2, refused, ""},
        {{"create", "-q", "-o", "-", root}, 1, 2, refused, ""},
        // -o - written with standard output at a file: no refusal (the case above with a pipe is
        // in TheBuildersBytesToAFileOrAStream).
        {{"create", root}, 2, 0, "", "\rWriting: 0 of 4 files, 0.0 of 3.1 MiB (0%)"},
        {{"create", "-q", root}, 2, 0, "", ""},
        {{"create", "-v", "--sort=name", root},
         -1,
         0,
         "a.txt\nsub\\big.bin\nsub\\deeper\\empty\nz.bin\n",
         ""},
        {{"create", "-q", root}, -1, 0, "", ""},
        {{"create", root}, -1, 0, "", ""},
        {{"verify", made, root}, 2, 0, "", "\rComparing: 0 of 4 files, 0.0 of 3.1 MiB (0%)"},
        {{"extract", made, "-C", tmp / "out"},
         2,
         0,
         "",
         "\rExtracting: 0 of 4 files, 0.0 of 3.1 MiB (0%)"},
        {{"extract", "-v", "-f", made, "-C", tmp / "out"}, 2, 0, "", ""},
        {{"list", "-"},
         0,
         2,
         "zem: won't read an archive from a terminal: redirect standard input or name the "
         "archive\nTry \"zem list --help\" for more information.\n",
         ""},
    };
    for (const Case& c : cases) {
        const std::string shown = testing::PrintToString(c.args) + std::to_string(c.terminalFd);
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string slave = ptsname(master);
        const ChildResult r = zemWith(c.args, [&] {
            const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
            if (c.terminalFd >= 0 && (fd < 0 || dup2(fd, c.terminalFd) < 0)) _exit(126);
        });
        // The child has ended, so all it wrote to the terminal is there to read.
        std::string seen;
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {
            seen.append(buffer, static_cast<size_t>(n));
        }
        close(master);
        EXPECT_EQ(r.exitCode, c.exitCode) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
        EXPECT_EQ(seen.rfind(c.onTerminal, 0), 0u) << shown << seen;
        EXPECT_EQ(seen.empty(), c.onTerminal.empty()) << shown << seen;
        if (c.args[0] == "create") {
            EXPECT_EQ(exists(tmp / "pack.zem"), c.exitCode == 0) << shown;
            std::remove((tmp / "pack.zem").c_str());
        }
    }
}

// A file that shrinks or vanishes while the archive streams ends the run with the builder's text
// and exit 1. Once the pipe holds more than the header and a.txt, the run is inside sub/big.bin,
// 3 MiB that can't pass an unread pipe: z.bin, after it, is not open yet when it changes.
TEST_F(Create, AFileThatShrinksOrVanishesWhileStreamingEndsTheRun) {
    const std::string second = join(root, "z.bin");
    struct Case {
        bool vanish;
        std::string err;
    };
    const Case cases[] = {
        {false, "zem: error reading data from file \"" + second + "\"\n"},
        {true, "zem: error opening file \"" + second + "\" for input\n"},
    };
    for (const Case& c : cases) {
        writeFile(second, std::string(70000, 'z'));
        Child child = startExecutable(ZEM_EXE, {"create", "--sort=name", "-o", "-", root});
        const int beforeBig = 28 + 5;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (int queued = 0; queued <= beforeBig;) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "sub/big.bin never started";
            ASSERT_EQ(ioctl(child.out, FIONREAD, &queued), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (c.vanish) {
            ASSERT_EQ(unlink(second.c_str()), 0);
        } else {
            ASSERT_EQ(truncate(second.c_str(), 1000), 0);
        }
        const ChildResult r = finishChild(child);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, c.err);
        // What came before the failure is there for the caller to discard.
        EXPECT_GE(r.out.size(), size_t(28 + 5 + (3 << 20)));
    }
}

// The same tree copied twice, with the copies' files created in opposite orders (on tmpfs a
// folder lists newest first) and their times set differently after a fixed time, packed in two
// zones: the same bytes with --sort=name --mtime=@N --utc, different bytes without. And
// SOURCE_DATE_EPOCH caps the times of newer files only.
TEST(CreateReproducible, SameBytesWhateverTheOrderTimesAndZone) {
    const char* const shm = "/dev/shm";
    if (!isFolder(shm)) {
        if (std::getenv("CI")) FAIL() << "no /dev/shm, whose listing order follows creation";
        GTEST_SKIP() << "no /dev/shm, whose listing order follows creation";
    }
    // Two folders of the same name at two places, on tmpfs.
    std::unique_ptr<ScopedVariable> onShm = std::make_unique<ScopedVariable>("TMPDIR", shm);
    TempDir first, second;
    onShm.reset();
    const std::vector<std::string> files = {"b.txt", "a.txt", "sub/y", "sub/x", "c/d/e", "C"};
    const int64_t fixed = 1500000000;
    const auto copy = [&](const std::string& where, bool reversed, int64_t later) {
        const std::string root = join(where, "tree");
        std::vector<std::string> order = files;
        if (reversed) std::reverse(order.begin(), order.end());
        for (const std::string& name : order) {
            const std::string path = join(root, name);
            makeDirs(path.substr(0, path.rfind('/')));
            writeFile(path, "data of " + name);
            setModifiedTime(join(root, name), fixed + later);
        }
        return root;
    };
    const std::string one = copy(first.path, false, 100);
    const std::string two = copy(second.path, true, 5000);
    const auto pack = [&](const std::string& zone, const std::string& root,
                          const std::vector<std::string>& options, const char* epoch) {
        ScopedTimeZone inZone(zone.c_str());
        std::vector<std::string> args = {"create", "-o", "-"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(root);
        ScopedVariable inEnvironment("SOURCE_DATE_EPOCH", epoch);
        const ChildResult r = zem(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    };
    const std::vector<std::string> reproducible = {"--sort=name", "--mtime=@1400000000", "--utc"};
    const std::string berlin = pack("Europe/Berlin", one, reproducible, nullptr);
    EXPECT_EQ(pack("America/New_York", two, reproducible, nullptr), berlin);
    // Without the options the listing order, the times and the zone all show.
    EXPECT_NE(pack("Europe/Berlin", one, {"--mtime=@1400000000", "--utc"}, nullptr),
              pack("Europe/Berlin", two, {"--mtime=@1400000000", "--utc"}, nullptr));
    EXPECT_NE(pack("Europe/Berlin", one, {"--sort=name", "--utc"}, nullptr),
              pack("Europe/Berlin", two, {"--sort=name", "--utc"}, nullptr));
    EXPECT_NE(pack("Europe/Berlin", one, {"--sort=name", "--mtime=@1400000000"}, nullptr),
              pack("America/New_York", one, {"--sort=name", "--mtime=@1400000000"}, nullptr));

    // SOURCE_DATE_EPOCH caps newer times only: at the first copy's time, the second's come down
    // to it; between the two, the first keeps its own and the second takes the cap.
    const std::vector<std::string> sorted = {"--sort=name", "--utc"};
    const std::string atFirst = std::to_string(fixed + 100);
    EXPECT_EQ(pack("Europe/Berlin", one, sorted, atFirst.c_str()),
              pack("America/New_York", two, sorted, atFirst.c_str()));
    const std::string between = std::to_string(fixed + 1000);
    EXPECT_EQ(pack("Europe/Berlin", one, sorted, between.c_str()),
              pack("Europe/Berlin", one, sorted, nullptr));
    EXPECT_EQ(pack("Europe/Berlin", two, sorted, between.c_str()),
              pack("Europe/Berlin", two, {"--sort=name", "--utc", "--mtime=@" + between}, nullptr));
}

#endif  // !_WIN32

}  // namespace
