// zem create and the commands that take names: the patterns, the times a command line asks for,
// the builder's archive from a script (same bytes, to a file or a stream), archives that don't
// depend on the machine, extraction of selected files and zem cat. Cases only POSIX runs (the
// built programs, pipes, terminals, time zones per process) sit in its section.

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "archive/format.h"
#include "archive/local_time.h"
#include "archive/reader.h"
#include "scan/name_pattern.h"
#include "test_util.h"
#include "zem/commands.h"
#include "zem/create.h"
#include "zem_run.h"

namespace {

TEST(NamePattern, WildcardsSetsAndEitherSeparator) {
    struct Case {
        const char* pattern;
        const char* text;
        bool matches;
    };
    const Case cases[] = {
        {"*.tmp", "a.tmp", true},
        {"*.tmp", "a.tmpx", false},
        {"*", "", true},
        {"?", "", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        // A star spans folders, so a folder's pattern takes its whole subtree.
        {"textures/*", "textures/x/y.png", true},
        {"textures\\*", "textures/x", true},
        {"a/b", "a\\b", true},
        {"a\\b", "a/b", true},
        {"*a*b*c", "xxaxxbxxbxc", true},
        {"*a*b*c", "xxaxxbxxbxcx", false},
        {"[abc]x", "bx", true},
        {"[!abc]x", "bx", false},
        {"[^abc]x", "dx", true},
        {"[a-f]", "e", true},
        {"[a-f]", "g", false},
        {"[]]", "]", true},
        {"[*]", "*", true},
        {"[*]", "a", false},
        {"[a", "[a", true},  // no closing bracket: an ordinary character
        {"\xc3\xa9*", "\xc3\xa9t\xc3\xa9", true},
        {"ABC", "abc", false},  // letter case counts
    };
    for (const Case& c : cases) {
        EXPECT_EQ(matchesPattern(c.pattern, c.text), c.matches) << c.pattern << " " << c.text;
    }
    // A path is also selected by a pattern for a folder it lies in, not by a part of a name.
    EXPECT_TRUE(matchesPathOrFolder("a", "a\\b\\c"));
    EXPECT_TRUE(matchesPathOrFolder("a/b", "a\\b\\c"));
    EXPECT_TRUE(matchesPathOrFolder("?", "a\\b"));
    EXPECT_FALSE(matchesPathOrFolder("b", "a\\b\\c"));
    EXPECT_FALSE(matchesPathOrFolder("a\\b", "a\\bc"));
    EXPECT_FALSE(matchesPathOrFolder("a/", "a\\b"));
}

TEST(CreateTimes, ArgumentsAndTheRuleTheyMake) {
    const int64_t berlin = 3600;  // a local offset, one hour east
    const int64_t y2020 = secondsFromCalendar({2020, 1, 1, 0, 0, 0});
    struct Time {
        const char* text;
        bool valid;
        int64_t utc;
    };
    const Time times[] = {
        {"@0", true, 0},
        {"@1700000000", true, 1700000000},
        {"@-5", true, -5},
        {"@+5", true, 5},
        {"2020-01-01", true, y2020 - berlin},  // local time without a zone
        {"2020-01-01T00:00Z", true, y2020},
        {"2020-01-01 00:00:30Z", true, y2020 + 30},
        {"2020-01-01T01:30+01:30", true, y2020},
        {"2019-12-31T19:00:00-05:00", true, y2020},
        {"2024-02-29T23:59:59Z", true, secondsFromCalendar({2024, 2, 29, 23, 59, 59})},
        {"2023-02-29", false, 0},
        {"2020-13-01", false, 0},
        {"2020-01-01T24:00", false, 0},
        {"2020-01-01T12", false, 0},
        {"2020-01-01T12:00+0100", false, 0},
        {"2020-1-01", false, 0},
        {"2020-01-01Z ", false, 0},
        {"@", false, 0},
        {"@12x", false, 0},
        {"@ 12", false, 0},
        {"1700000000", false, 0},
        {"", false, 0},
    };
    for (const Time& t : times) {
        int64_t utc = 0;
        EXPECT_EQ(parseTimeArgument(t.text, berlin, utc), t.valid) << t.text;
        if (t.valid) {
            EXPECT_EQ(utc, t.utc) << t.text;
        }
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
    const Rule rules[] = {
        {"", false, false, nullptr, Kind::Keep, 0, ""},
        {"", false, false, "", Kind::Keep, 0, ""},  // set but empty: as unset
        {"", false, true, "1000000000", Kind::Clamp, 1000000000, ""},
        {"@5000", false, false, "1000000000", Kind::Replace, 5000, ""},
        {"@5000", true, false, nullptr, Kind::Clamp, 5000, ""},
        {"", true, false, "77", Kind::Clamp, 77, ""},
        {"", true, false, nullptr, Kind::Keep, 0,
         "--clamp-mtime needs --mtime=WHEN or SOURCE_DATE_EPOCH"},
        {"", false, false, "-1", Kind::Keep, 0,
         "SOURCE_DATE_EPOCH: \"-1\" is no whole number of seconds since 1970-01-01 00:00:00 UTC"},
        {"", false, false, "1e9", Kind::Keep, 0,
         "SOURCE_DATE_EPOCH: \"1e9\" is no whole number of seconds since 1970-01-01 00:00:00 UTC"},
        {"@4102444800", false, false, nullptr, Kind::Keep, 0,
         "--mtime lies in 2100, outside the years 1970 to 2038 that an archive can store"},
        // The first second of 1970 UTC is a time of 1969 one zone west.
        {"@0", false, true, nullptr, Kind::Replace, 0, ""},
    };
    for (const Rule& r : rules) {
        CreateArguments arguments;
        arguments.mtime = r.mtime;
        arguments.clampMtime = r.clamp;
        arguments.utc = r.utc;
        const std::string shown = r.mtime + " " + (r.epoch ? r.epoch : "(unset)");
        try {
            const TimeRule rule = createTimeRule(arguments, r.epoch, berlin);
            EXPECT_EQ(r.error, std::string()) << shown;
            EXPECT_EQ(rule.kind, r.kind) << shown;
            EXPECT_EQ(rule.instant, r.instant) << shown;
            EXPECT_EQ(rule.listedOffset, berlin) << shown;
            EXPECT_EQ(rule.storedOffset, r.utc ? 0 : berlin) << shown;
        } catch (const UsageError& e) {
            EXPECT_EQ(e.what(), std::string(r.error)) << shown;
        }
    }
    CreateArguments west;
    west.mtime = "@0";
    EXPECT_THROW(createTimeRule(west, nullptr, -3600), UsageError);
}

// The files every create test packs: large ones (copied by the kernel where it can), small ones
// (read ahead), an empty one, in subfolders.
struct Create : ::testing::Test {
    TempDir tmp;
    std::string root = tmp / "pack";
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
        std::vector<std::string> extracted;  // below DEST, "" when refused
    };
    const Case cases[] = {
        {{"a.txt"}, {"a.txt"}},
        {{"sub"}, {"sub/big.bin", "sub/deeper/empty"}},
        {{"sub\\deeper\\empty", "*.txt"}, {"a.txt", "sub/deeper/empty"}},
        {{"*.bin"}, {"sub/big.bin", "z.bin"}},
        {{"?.*"}, {"a.txt", "z.bin"}},
        {{"a.txt", "nothing*"}, {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dest = tmp / ("out" + std::to_string(n++));
        std::vector<std::string> args = {"extract", archive, "-C", dest};
        args.insert(args.end(), c.names.begin(), c.names.end());
        const ChildResult r = zem(args);
        if (c.extracted.empty()) {
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.err, "zem: " + archive + ": nothing stored matches \"nothing*\"\n");
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

TEST_F(Create, AnExistingArchiveIsReplacedAndVerifiesAgainstItsFolder) {
    const std::string archive = tmp / "out.zem";
    writeFile(archive, "old");
    ChildResult r = zem({"create", "-o", archive, root + native("/")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    r = zem({"verify", archive, root});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"out.zem", "pack"}));
}

#ifndef _WIN32

// Bytes of a file or of a command's standard output.
std::string bytesOf(const ChildResult& r) { return r.out; }

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

    const std::string redirected = tmp / "redirected.zem";
    r = zemWith({"create", "-o", "-", root}, [&] {
        const int fd = open(redirected.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(redirected), expected);

    r = zem({"create", "-o", "-", root});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(bytesOf(r), expected);

    r = zemWith({"create", "-o", "-", root}, refuseKernelCopiesInChild);
    SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(bytesOf(r), expected);
    EXPECT_EQ(listNames(tmp.path),
              (std::vector<std::string>{"pack", "pack.zem", "redirected.zem"}));
}

// Standard output at a terminal is refused before anything is read or written; standard error at
// one shows the progress line; -v names each file in order, -q and a pipe show nothing.
TEST_F(Create, TerminalsNamesAndQuiet) {
    struct Case {
        std::vector<std::string> options;
        int terminalFd;  // 0: none
        int exitCode;
        std::string err;         // what reaches the pipe on standard error
        std::string onTerminal;  // the start of what the terminal shows
    };
    const std::string refused =
        "zem: won't write an archive to a terminal: redirect standard output or give -o FILE\n"
        "Try \"zem create --help\" for more information.\n";
    const Case cases[] = {
        {{"-o", "-"}, 1, 2, refused, ""},
        {{"-q", "-o", "-"}, 1, 2, refused, ""},
        // -o - written with standard output at a file: no refusal (the case above with a pipe is
        // in TheBuildersBytesToAFileOrAStream).
        {{}, 2, 0, "", "\rWriting: 0 of 4 files, 0.0 of 3.1 MiB (0%)"},
        {{"-q"}, 2, 0, "", ""},
        {{"-v", "--sort=name"}, 0, 0, "a.txt\nsub\\big.bin\nsub\\deeper\\empty\nz.bin\n", ""},
        {{"-q"}, 0, 0, "", ""},
        {{}, 0, 0, "", ""},
    };
    for (const Case& c : cases) {
        const std::string shown = testing::PrintToString(c.options) + std::to_string(c.terminalFd);
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string slave = ptsname(master);
        std::vector<std::string> args = {"create"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(root);
        const ChildResult r = zemWith(args, [&] {
            const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
            if (c.terminalFd != 0 && (fd < 0 || dup2(fd, c.terminalFd) < 0)) _exit(126);
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
        EXPECT_EQ(exists(tmp / "pack.zem"), c.exitCode == 0) << shown;
        std::remove((tmp / "pack.zem").c_str());
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
        {false, "zem: Error reading data from file \"" + second + "\"\n"},
        {true, "zem: Error opening file \"" + second + "\" for input\n"},
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
    TempDir tmp;
    // Two folders of the same name at two places, on tmpfs.
    const char* const oldBase = std::getenv("TMPDIR");
    const std::string savedBase = oldBase ? oldBase : "";
    setenv("TMPDIR", shm, 1);
    TempDir first, second;
    if (oldBase) {
        setenv("TMPDIR", savedBase.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
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
        const ChildResult r = zemWith(args, [epoch] {
            if (epoch) setenv("SOURCE_DATE_EPOCH", epoch, 1);
        });
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

    // A clamp between the two copies' times: the first keeps its own, the second takes the clamp;
    // so with the clamp at the first's time the two are the same.
    const std::string clamp = std::to_string(fixed + 100);
    EXPECT_EQ(pack("Europe/Berlin", one, {"--sort=name", "--utc"}, clamp.c_str()),
              pack("America/New_York", two, {"--sort=name", "--utc"}, clamp.c_str()));
    const std::string between = std::to_string(fixed + 1000);
    const std::string clamped = tmp / "clamped.zem";
    writeFile(clamped, pack("Europe/Berlin", two, {"--sort=name", "--utc"}, between.c_str()));
    writeFile(tmp / "kept.zem",
              pack("Europe/Berlin", one, {"--sort=name", "--utc"}, between.c_str()));
    const std::string expectedTime = formatStoredTime(calendarFromSeconds(fixed + 1000));
    const std::string keptTime = formatStoredTime(calendarFromSeconds(fixed + 100));
    for (const auto& [archive, time] : {std::pair<std::string, std::string>{clamped, expectedTime},
                                        {tmp / "kept.zem", keptTime}}) {
        const ChildResult r = zem({"list", archive});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        size_t lines = 0;
        for (size_t at = r.out.find(time); at != std::string::npos; at = r.out.find(time, at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, files.size()) << r.out;
    }
}

#endif  // !_WIN32

}  // namespace
