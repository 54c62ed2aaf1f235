// The zem program: archives packed by the scan and the writer read back, verified against their
// folder and extracted; hostile archives refused before anything is written; existing files kept
// unless forced; the command line. Cases only one platform has sit in its section at the end.

#ifdef _WIN32
#include <windows.h>

#include <sstream>
#include <stdexcept>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>

#include "archive_builder.h"
#include "common/fatal_error.h"
#include "format/local_time.h"
#include "ops/extract.h"
#include "ops/writer.h"
#include "platform/extract_fs.h"
#include "platform/scan.h"
#include "test_util.h"
#include "zem/commands.h"
#include "zem_run.h"

namespace {

#ifndef _WIN32
int64_t monotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// zem as a child, given half a minute at most: then it is killed and counts as hung, so a command
// that blocks fails its test instead of stopping the suite. With the child's peak resident memory
// from wait4, which includes the test's own pages that the fork copied (tens of MiB under the
// sanitizers): compare it with another run's.
struct BoundedRun {
    ChildResult result;
    bool hung = false;
    long peakKiB = -1;
};

BoundedRun zemWithin(const std::vector<std::string>& args,
                     const std::function<void()>& inChild = {}) {
    BoundedRun run;
    Child child = startExecutable(ZEM_EXE, args, inChild);
    close(child.in);
    const int64_t deadline = monotonicMilliseconds() + 30000;
    pollfd streams[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    std::string* texts[2] = {&run.result.out, &run.result.err};
    for (int open = 2; open > 0;) {
        const int64_t left = deadline - monotonicMilliseconds();
        if (left <= 0) {
            run.hung = true;
            kill(child.pid, SIGKILL);
            break;
        }
        if (poll(streams, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
            ADD_FAILURE() << "poll: " << strerror(errno);
            kill(child.pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(streams[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                streams[i].fd = -1;  // at its end: poll passes it over from now on
                --open;
            }
        }
    }
    close(child.out);
    close(child.err);
    int status = 0;
    rusage usage{};
    while (wait4(child.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peakKiB = usage.ru_maxrss;
    return run;
}

// In a child: 1 GiB of address space at most, so that a reader that trusts a header's claims
// ends at once out of memory instead of taking gigabytes from the machine. Not under the
// sanitizers, whose shadow memory takes terabytes of address space.
void limitAddressSpaceInChild() {
#ifndef ZEM_SANITIZED_BUILD
    const rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
#endif
}

void writeBytes(const std::string& path, const ByteBuffer& bytes) {
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}
#endif

// The zone whose times the tests store: one with summer time. A POSIX process sets it for itself
// and the programs it starts; on Windows the system's zone counts, which the test run sets.
#ifdef _WIN32
#define IN_BERLIN_TIME()
#else
#define IN_BERLIN_TIME() ScopedTimeZone berlin("Europe/Berlin")
#endif

// The folder defaultDestination gives, or "" with why there is none in `problem`.
std::string destinationOf(const std::string& archive, std::string& problem) {
    problem.clear();
    try {
        return defaultDestination(archive);
    } catch (const InputFault& fault) {
        problem = fault.finding;
        return "";
    }
}

// Every file and folder below root: relative path -> contents and time ("<folder>" for folders).
// Symbolic links are not expected in these trees.
struct TreeEntry {
    std::string contents;
    int64_t time = 0;
    bool operator==(const TreeEntry& o) const { return contents == o.contents && time == o.time; }
};
using Tree = std::map<std::string, TreeEntry>;

void collect(const std::string& root, const std::string& relative, Tree& tree) {
    for (const std::string& name : listNames(relative.empty() ? root : join(root, relative))) {
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        const std::string path = join(root, rel);
        if (isFolder(path)) {
            tree[rel] = {"<folder>", 0};
            collect(root, rel, tree);
        } else {
            tree[rel] = {readFile(path), modifiedTime(path)};
        }
    }
}

Tree treeOf(const std::string& root) {
    Tree tree;
    collect(root, "", tree);
    return tree;
}

// The files of a tree alone: a folder that holds no file is neither stored nor extracted.
Tree filesOf(Tree tree) {
    for (auto it = tree.begin(); it != tree.end();) {
        it = it->second.contents == "<folder>" ? tree.erase(it) : std::next(it);
    }
    return tree;
}

std::string describe(const Tree& tree) {
    std::string text;
    for (const auto& [name, entry] : tree) {
        text += "  " + name + " (" + std::to_string(entry.contents.size()) + " bytes, time " +
                std::to_string(entry.time) + ")\n";
    }
    return text;
}

// Packs root into archive as zem-builder does, through the scan and the writer.
void packFolder(const std::string& root, const std::string& archive) {
    FileList list;
    ASSERT_TRUE(scanFolder(systemFileSystem(), root, list)) << root;
    writeArchive(archive, list);
}

// A tree of pseudo-random shape from a seed: nested folders, empty and odd-sized files, one
// larger than the 1 MiB copy buffer, names with spaces, dots and 8-bit bytes (and the `odd`
// names), times spread over summer and winter of the years an archive holds.
void generateTree(const std::string& root, unsigned seed,
                  const std::vector<std::string>& odd = {}) {
    std::mt19937 rng(seed);
    std::vector<std::string> names = {
        "a.txt", "B", "with space", ".dot", "x..y", "\xe4\xf6", "long-name-" + std::string(60, 'n'),
        "z.bin"};
    names.insert(names.end(), odd.begin(), odd.end());
    std::vector<std::string> folders = {root};
    for (int i = 0; i < 25; ++i) {
        const std::string parent = folders[rng() % folders.size()];
        const std::string path = join(parent, names[rng() % names.size()] + std::to_string(i));
        if (rng() % 4 == 0) {
            makeDirs(path);
            folders.push_back(path);
            continue;
        }
        const size_t sizes[] = {0, 1, 7, 4096, 65537};
        std::string contents(sizes[rng() % 5], '\0');
        for (char& c : contents) c = static_cast<char>(rng());
        writeFile(path, contents);
        setModifiedTime(path, 86400 + static_cast<int64_t>(rng() % 2100000000u));
    }
    std::string big((1 << 20) + 333, '\0');
    for (char& c : big) c = static_cast<char>(rng());
    writeFile(join(root, "big"), big);
    setModifiedTime(join(root, "big"), 1700000000);
    makeDirs(join(root, "empty folder"));  // holds no file: not stored, not extracted
}

struct Zem : ::testing::Test {
    TempDir tmp;
    std::string root = tmp / "pack";
    std::string archive = root + ".zem";
    std::string dest = tmp / "out";

    // A file below root, with its folders and its last-write time.
    void add(const std::string& relative, const std::string& contents, int64_t utc) {
        const std::string path = join(root, relative);
        makeDirs(path.substr(0, path.rfind(native("/")[0])));
        writeFile(path, contents);
        setModifiedTime(path, utc);
    }
    void pack() { packFolder(root, archive); }
    // A hand-made archive at `archive`.
    void handMade(const std::vector<TestFile>& files) {
        writeFile(archive, buildArchive(files).text());
    }
};

TEST(ZemRoundTrip, GeneratedTreesPackVerifyAndExtractBackTheSame) {
    IN_BERLIN_TIME();
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir tmp;
        const std::string root = tmp / "pack";
        const std::string archive = root + ".zem";
        const std::string dest = tmp / "out";
        makeDirs(root);
        generateTree(root, seed);
        packFolder(root, archive);

        ChildResult r = zem({"verify", archive, root});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.rfind(archive + ": ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("all match " + root), std::string::npos) << r.out;

        r = zem({"extract", archive, dest});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        const Tree original = filesOf(treeOf(root));
        EXPECT_GT(original.size(), 5u);
        const Tree extracted = filesOf(treeOf(dest));
        EXPECT_TRUE(original == extracted) << "packed:\n"
                                           << describe(original) << "extracted:\n"
                                           << describe(extracted);
        EXPECT_FALSE(exists(join(dest, "empty folder")));
    }
}

TEST_F(Zem, BinaryFilesAndTimesAroundTheYearExtractBackTheSame) {
    IN_BERLIN_TIME();
    std::string binary;  // line ends and ^Z, which a text-mode write would change
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    binary += "\r\n\n\x1a\r";
    std::string big((1 << 20) + 4099, '\0');  // more than one copy buffer
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
    add("a.txt", "hello\n", secondsFromCalendar({2004, 7, 9, 11, 45, 30}));  // summer
    add("sub/deeper/b.bin", binary,
        secondsFromCalendar({2019, 1, 15, 23, 30, 0}));                  // winter, near midnight
    add("sub/empty", "", secondsFromCalendar({2026, 3, 29, 1, 30, 0}));  // the night clocks change
    add("Mixed Case.DAT", big, secondsFromCalendar({1999, 12, 31, 23, 59, 59}));
    pack();
    EXPECT_EQ(storedNames(readFile(archive)).size(), 4u);

    const ChildResult verified = zem({"verify", archive, root});
    EXPECT_EQ(verified.exitCode, 0) << verified.err;
    EXPECT_EQ(verified.out, archive + ": 4 files, all match " + root + "\n");

    const ChildResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(isFolder(join(dest, "sub/deeper")));
    const Tree original = treeOf(root);
    const Tree extracted = treeOf(dest);
    EXPECT_TRUE(original == extracted) << "packed:\n"
                                       << describe(original) << "extracted:\n"
                                       << describe(extracted);
}

TEST_F(Zem, ExtractsBesideTheArchiveByDefaultAndKeepsTimelessFilesAtNow) {
    add("sub/old", "from 1960", -315619200);  // 1960: an archive holds no time for it
    add("new", "2020", 1600000000);
    pack();
    ASSERT_EQ(std::rename(root.c_str(), (tmp / "original").c_str()), 0);

    const int64_t before = time(nullptr);
    const ChildResult r = zem({"extract", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(join(root, "sub/old")), "from 1960");
    EXPECT_GE(modifiedTime(join(root, "sub/old")), before);
    EXPECT_EQ(modifiedTime(join(root, "new")), 1600000000);
    EXPECT_EQ(listNames(root), (std::vector<std::string>{"new", "sub"}));  // no temporary left
}

// The stored local calendar time is turned back into UTC with the zone's offset in force now,
// whatever the file's own date.
TEST_F(Zem, FileTimesComeFromTheStoredCalendarTime) {
    IN_BERLIN_TIME();
    TestFile summer{"summer", "s"};  // 2004-07-09 13:45:30
    TestFile winter{"sub\\winter", "w"};
    winter.time = {{0xE3, 0x07, 1, 15, 23, 30, 0, 0}};  // 2019-01-15 23:30:00
    TestFile timeless{"timeless", "t"};
    timeless.time = {};
    handMade({summer, winter, timeless});
    const int64_t offset = currentUtcOffset();
    const int64_t before = static_cast<int64_t>(time(nullptr));

    const ChildResult r = zem({"extract", archive, dest});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(modifiedTime(join(dest, "summer")),
              secondsFromCalendar({2004, 7, 9, 13, 45, 30}) - offset);
    EXPECT_EQ(modifiedTime(join(dest, "sub/winter")),
              secondsFromCalendar({2019, 1, 15, 23, 30, 0}) - offset);
    EXPECT_GE(modifiedTime(join(dest, "timeless")), before);  // left at the time of writing
}

// A hand-made archive's sizes, times (or "-") and escaped names; then a packed one's local times,
// in the archive's order, which is the order the folder was listed in.
TEST_F(Zem, ListShowsSizeStoredLocalTimeAndEscapedName) {
    TestFile timeless{"sub\\no time", ""};
    timeless.time = {};
    handMade({{"a.txt", "hello"}, timeless, {"bell\x07", std::string(1234567, 'x')}});
    ChildResult r = zem({"list", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "         5  2004-07-09 13:45:30  a.txt\n"
              "         0  -                    sub\\no time\n"
              "   1234567  2004-07-09 13:45:30  bell\\x07\n");

    add("a.txt", "hello", secondsFromCalendar({2004, 7, 9, 11, 45, 30}));
    add("sub/b", std::string(1234567, 'b'), secondsFromCalendar({2019, 1, 15, 23, 30, 0}));
    pack();
    const int64_t offset = currentUtcOffset();
    const auto shown = [&](int64_t utc) {
        const CalendarTime t = calendarFromSeconds(utc + offset);
        char text[32];
        snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(t.year),
                 t.month, t.day, t.hour, t.minute, t.second);
        return std::string(text);
    };
    r = zem({"list", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string a =
        "         5  " + shown(secondsFromCalendar({2004, 7, 9, 11, 45, 30})) + "  a.txt\n";
    const std::string b =
        "   1234567  " + shown(secondsFromCalendar({2019, 1, 15, 23, 30, 0})) + "  sub\\b\n";
    const std::vector<std::string> names = storedNames(readFile(archive));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(r.out, names[0] == "a.txt" ? a + b : b + a);
}

// Each hostile or broken archive: exit 1, its message, and nothing written, not even the
// harmless file stored before the bad one.
TEST_F(Zem, HostileArchivesAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        TestFile bad;  // stored after a harmless file, "ok" unless `first` says
        std::string message;
        std::string first = "ok";
    };
    TestFile badTime{"t", "x"};
    badTime.time[2] = 13;
    const auto name = [](const std::string& stored, const std::string& problem) {
        return Case{{stored, "2"}, "record 1: name \"" + stored + "\" " + problem};
    };
    const std::string device = ", a Windows device name";
    const std::string notAllowed = ", which Windows does not allow";
    const std::string dropped =
        "has a component ending in a dot or space, which Windows would drop";
    const std::vector<Case> cases = {
        name("..\\escape", "has a \"..\" component"),
        name("sub\\..\\..\\escape", "has a \"..\" component"),
        name("\\tmp\\abs", "is absolute"),
        name("/tmp/abs", "is absolute"),
        name("C:\\x", "has a drive part"),
        name("a\\\\b", "has an empty component"),
        name("sub/../../x", "holds a slash, which would be read as a folder separator"),
        {{"", "2"}, "record 1: name \"\" is empty"},
        name("ok", "is stored twice (first in record 0)"),
        name("ok\\x", "needs \"ok\" as a folder, but record 0 is a file of that name"),
        {badTime, "record 1: time bytes at offset 73: month 13 is not 1-12"},
#ifdef _WIN32
        name("C:x", "has a drive part"),
        name("c:\\Windows\\x", "has a drive part"),
        name("\\\\server\\share\\x", "is absolute"),
        {{"esc\x1b[31m", "2"},
         "record 1: name \"esc\\x1B[31m\" holds the control character 0x1B" + notAllowed},
        name("CON", "has the component \"CON\"" + device),
        name("sub\\nul.txt", "has the component \"nul.txt\"" + device),
        name("Aux\\x", "has the component \"Aux\"" + device),
        name("COM1", "has the component \"COM1\"" + device),
        name("lpt9.log", "has the component \"lpt9.log\"" + device),
        // COM¹ in code page 1252: Windows takes the superscript for a digit. (zem escapes the
        // byte wherever it prints it.)
        {{"COM\xb9", "2"}, "record 1: name \"COM\\xB9\" has the component \"COM\\xB9\"" + device},
        name("a<b", "holds the character <" + notAllowed),
        name("a>b", "holds the character >" + notAllowed),
        name("sub\\a:b", "holds the character :" + notAllowed),
        name("a\"b", "holds the character \"" + notAllowed),
        name("a|b", "holds the character |" + notAllowed),
        name("a?b", "holds the character ?" + notAllowed),
        name("a*b", "holds the character *" + notAllowed),
        name("x.", dropped),
        name("sub \\x", dropped),
        // Names differing only in letter case are one file on Windows.
        name("OK", "is stored twice (first in record 0)"),
        name("OK\\x", "needs \"OK\" as a folder, but record 0 is a file of that name"),
        // So do É and é (code page 1252), and a name and the 8.3 short name Windows gives it.
        {{"\xe9.txt", "2"},
         "record 1: name \"\\xE9.txt\" is stored twice (first in record 0)",
         "\xc9.txt"},
        {{"LONGFI~1.TXT", "2"},
         "record 1: name \"LONGFI~1.TXT\" may be the 8.3 short name of \"longfilename.txt\" "
         "(record 0), which is the same file on Windows",
         "longfilename.txt"},
#else
        name("sub\\" + std::string(300, 'n'),
             "has a component of 300 bytes, longer than the 255 a name may have"),
#endif
    };
    for (const Case& c : cases) {
        handMade({{c.first, "1"}, c.bad});
        for (const char* command : {"extract", "verify"}) {
            const ChildResult r = zem({command, archive, dest});
            EXPECT_EQ(r.exitCode, 1) << command << ' ' << c.message;
            EXPECT_EQ(r.err, "zem: " + archive + ": " + c.message + "\n") << command;
        }
        EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack.zem"})) << c.message;
    }
}

// A name as an existing file spells it: on Windows, where names differing only in letter case
// are one file, in the other case.
std::string asExisting(const std::string& name) {
#ifdef _WIN32
    std::string other = name;
    for (char& c : other) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return other;
#else
    return name;
#endif
}

TEST_F(Zem, ExistingFilesNeedForceAndFoldersAreNeverReplaced) {
    makeDirs(join(dest, "sub"));
    writeFile(join(dest, asExisting("a")), "old");
    handMade({{"a", "new"}, {"sub\\b", "b"}});

    ChildResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"a\": \"" + join(dest, "a") +
                         "\" already exists (--force replaces it)\n");
    EXPECT_EQ(readFile(join(dest, asExisting("a"))), "old");
    EXPECT_FALSE(exists(join(dest, "sub/b")));

    r = zem({"extract", archive, dest + native("/"), "--force"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(join(dest, "a")), "new");
    EXPECT_EQ(readFile(join(dest, "sub/b")), "b");
    EXPECT_EQ(listNames(dest).size(), 2u);

    handMade({{asExisting("sub"), "a file over a folder"}});
    r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"" + asExisting("sub") + "\": \"" +
                         join(dest, asExisting("sub")) + "\" is a folder\n");

    handMade({{"a\\x", "a folder over a file"}});
    r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"a\\x\": \"" + join(dest, "a") + "\" is not a folder\n");
    EXPECT_EQ(readFile(join(dest, "a")), "new");
    EXPECT_TRUE(isFolder(join(dest, "sub")));
}

// The write steps on their own, the checks that hold while extraction runs after the early look:
// the temporary file goes when the file is abandoned, a file that appeared meanwhile is kept, and
// a folder's place taken by a file is refused, not written into.
TEST_F(Zem, WritesRecheckWhatAppearedAfterTheEarlyLook) {
    Destination destination = findDestination(dest, /*chosen=*/false);
    const FolderHandle& folder = openDestination(destination);
    {
        AtomicFile file;
        startExtractedFile(file, folder, "abandoned");
        writeAtomicFile(file, "partial", 7);
#ifdef _WIN32
        // Windows has no unnamed files: the temporary one sits beside the final name.
        const std::vector<std::string> names = listNames(dest);
        ASSERT_EQ(names.size(), 1u);
        EXPECT_NE(names[0], "abandoned");
        EXPECT_EQ(names[0].substr(names[0].size() - 4), ".tmp");
#endif
    }
    EXPECT_TRUE(listNames(dest).empty());

    {
        AtomicFile file;
        startExtractedFile(file, folder, "raced");
        writeAtomicFile(file, "mine", 4);
        writeFile(join(dest, "raced"), "theirs");
        try {
            (void)finishExtractedFile(file, /*replace=*/false, /*dataOnDisk=*/false);
            ADD_FAILURE() << "replaced a file without being asked to";
        } catch (const FatalError& e) {
            EXPECT_EQ(std::string(e.what()), alreadyExistsText(join(dest, "raced")));
        }
    }
    EXPECT_EQ(readFile(join(dest, "raced")), "theirs");
    EXPECT_EQ(listNames(dest), std::vector<std::string>{"raced"});  // no temporary

    writeFile(join(dest, "notfolder"), "x");
    try {
        openSubfolder(folder, "notfolder");
        ADD_FAILURE() << "opened a file as a folder";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), "\"" + join(dest, "notfolder") + "\" is not a folder");
    }

#ifndef _WIN32
    // A link that appears where a folder is opened is refused, never followed.
    const std::string outside = tmp / "outside";
    makeDirs(outside);
    ASSERT_EQ(symlink(outside.c_str(), (dest + "/swapped").c_str()), 0);
    try {
        openSubfolder(folder, "swapped");
        ADD_FAILURE() << "opened a link as a folder";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), linkRefusalText(dest + "/swapped"));
    }
    EXPECT_TRUE(listNames(outside).empty());
#endif
}

TEST_F(Zem, VerifyReportsEveryDifferenceWithTheFolder) {
    makeDirs(join(root, "sub"));
    writeFile(join(root, "same"), "same");
    writeFile(join(root, "changed"), "0123456789");
    writeFile(join(root, "sub/gone"), "x");
    writeFile(join(root, "resized"), "abc");
    pack();
    writeFile(join(root, "changed"), "0123456x89");
    ASSERT_EQ(std::remove(join(root, "sub/gone").c_str()), 0);
    writeFile(join(root, "resized"), "abcd");
    writeFile(join(root, "sub/added"), "new");

    const ChildResult r = zem({"verify", archive, root + native("/")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> expected = {
        "zem: \"changed\": differs from \"" + join(root, "changed") + "\" at byte 7\n",
        "zem: \"sub\\gone\": in the archive, not in the folder\n",
        "zem: \"resized\": 3 bytes in the archive, 4 in \"" + join(root, "resized") + "\"\n",
        "zem: \"sub\\added\": in the folder, not in the archive\n",
        "zem: " + archive + " and " + root + " differ in 4 files\n"};
    for (const std::string& line : expected) {
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "in:\n" << r.err;
    }
    EXPECT_EQ(r.err.find("\"same\""), std::string::npos) << r.err;

    const ChildResult plain = zem({"verify", archive});
    EXPECT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.out, archive + ": 4 files, structure sound\n");
}

TEST_F(Zem, CommandLineExitCodesAndMessages) {
    handMade({{"a", "1"}});
    writeFile(tmp / "broken.zem", "too short");
    writeFile(tmp / "noext", readFile(archive));
    writeFile(tmp / ".zem", readFile(archive));
    writeFile(tmp / "text", "# Network services, Internet style\n");
    // The system's own words for a missing file.
#ifdef _WIN32
    const std::string notFound = "File not found";
    const std::string folderNotFound = "Path not found";
#else
    const std::string notFound = "No such file or directory";
    const std::string folderNotFound = notFound;
#endif
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;  // exact, or the start of it for the usage errors
    };
    // A wrong command line points to the help of the command, once there is one.
    const auto tryHelp = [](const std::string& command) {
        return "\nTry \"zem " + command + (command.empty() ? "" : " ") +
               "--help\" for more information.\n";
    };
    const std::vector<Case> cases = {
        {{}, 2, "zem: no command given" + tryHelp("")},
        {{"frob", archive}, 2, "zem: unknown command \"frob\"" + tryHelp("")},
        {{"list", "--bogus", archive},
         2,
         "zem: list: unknown option \"--bogus\"" + tryHelp("list")},
        {{"list"}, 2, "zem: list: missing ARCHIVE" + tryHelp("list")},
        {{"list", archive, "more"}, 2, "zem: list: unexpected argument \"more\"" + tryHelp("list")},
        {{"verify", archive, "f", "x"},
         2,
         "zem: verify: unexpected argument \"x\"" + tryHelp("verify")},
        {{"list", "--force", archive},
         2,
         "zem: list: unknown option \"--force\"" + tryHelp("list")},
        {{"mount", "--force", archive, tmp.path},
         2,
         "zem: mount: unknown option \"--force\"" + tryHelp("mount")},
        {{"mount", archive}, 2, "zem: mount: missing MOUNTPOINT" + tryHelp("mount")},
        {{"mount", archive, tmp.path, "x"},
         2,
         "zem: mount: unexpected argument \"x\"" + tryHelp("mount")},
        {{"unmount"}, 2, "zem: unmount: missing MOUNTPOINT" + tryHelp("unmount")},
#ifdef _WIN32
        {{"mount", archive, tmp.path},
         2,
         "zem: mount is not available on this system: it needs FUSE, which Linux has\n"},
        {{"unmount", tmp.path},
         2,
         "zem: unmount is not available on this system: it needs FUSE, which Linux has\n"},
#else
        {{"mount", "-f", archive, tmp / "no-folder"},
         1,
         "zem: cannot mount on \"" + tmp / "no-folder" + "\": " + notFound + "\n"},
        {{"mount", archive, archive},
         1,
         "zem: cannot mount on \"" + archive + "\": not a folder\n"},
        {{"unmount", tmp.path},
         1,
         "zem: cannot unmount \"" + tmp.path + "\": nothing is mounted there\n"},
        {{"unmount", tmp / "missing/x"},
         1,
         "zem: cannot find \"" + tmp / "missing" + "\": " + notFound + "\n"},
#endif
        {{"extract", tmp / "noext"},
         2,
         "zem: can't name a folder to extract \"" + tmp / "noext" +
             "\" into, as its name doesn't end in .zem: give DEST" + tryHelp("extract")},
        {{"extract", tmp / ".zem"},
         2,
         "zem: can't name a folder to extract \"" + tmp / ".zem" +
             "\" into, as its name is just \".zem\", which leaves no folder name: give DEST" +
             tryHelp("extract")},
        {{"extract", archive, "d", "a"},
         2,
         "zem: extract: give the folder with -C DEST to extract only some files (\"a\")" +
             tryHelp("extract")},
        {{"cat", archive}, 2, "zem: cat: missing NAME" + tryHelp("cat")},
        // DEST without -C that is no folder but a stored name or a pattern: tar's habit.
        {{"extract", archive, "a"},
         2,
         "zem: extract: \"a\" is a name in the archive, not a folder: to extract only that, give "
         "-C DEST \"a\" (-C . for the current folder)" +
             tryHelp("extract")},
        {{"extract", archive, tmp / "*.txt"},
         2,
         "zem: extract: \"" + tmp / "*.txt" +
             "\" is a pattern, not a folder: to extract only that, give -C DEST \"" +
             tmp / "*.txt" + "\" (-C . for the current folder)" + tryHelp("extract")},
        {{"extract", "-f", "-k", archive, tmp / "d"},
         2,
         "zem: extract: -f and -k exclude each other" + tryHelp("extract")},
        {{"extract", "--strip-components=-1", archive, tmp / "d"},
         2,
         "zem: --strip-components: \"-1\" is not a whole number" + tryHelp("extract")},
        {{"--bogus", "list", archive}, 2, "zem: unknown option \"--bogus\"" + tryHelp("")},
        {{"-x"}, 2, "zem: unknown option \"-x\"" + tryHelp("")},
        {{"create", "-o", "a", "-o", "b", tmp.path},
         2,
         "zem: --output is given 2 times, where it takes one" + tryHelp("create")},
        {{"--version", "x"}, 2, "zem: unknown command \"x\"" + tryHelp("")},
        {{"create", "--null", tmp.path},
         2,
         "zem: create: --null needs -T FILE" + tryHelp("create")},
        {{"create", "-T", tmp / "noext"},
         2,
         "zem: create: give -o FILE where -T comes without FOLDER" + tryHelp("create")},
        {{"list", tmp / "text"},
         1,
         "zem: " + tmp / "text" +
             ": not a .zem archive: header word at offset 0 is 0x654E2023, expected 0\n"},
        {{"create"}, 2, "zem: create: missing FOLDER" + tryHelp("create")},
        {{"create", ""}, 2, "zem: create: FOLDER is empty" + tryHelp("create")},
        {{"create", "-o"}, 2, "zem: --output needs FILE" + tryHelp("create")},
        {{"create", "--sort=size", tmp.path},
         2,
         "zem: --sort: \"size\" is neither name nor none" + tryHelp("create")},
        {{"create", "-v", "-q", tmp.path},
         2,
         "zem: create: -v and -q exclude each other" + tryHelp("create")},
        {{"create", "--mtime=2024-02-30", tmp.path},
         2,
         "zem: --mtime: \"2024-02-30\" is not a time: give "
         "YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM] or @SECONDS" +
             tryHelp("create")},
        {{"create", "--clamp-mtime", tmp.path},
         2,
         "zem: --clamp-mtime needs --mtime=WHEN or SOURCE_DATE_EPOCH" + tryHelp("create")},
        {{"create", "--mtime=@-1", "--utc", tmp.path},
         2,
         "zem: --mtime lies in 1969, outside the years 1970 to 2038 that an archive can store" +
             tryHelp("create")},
        {{"create", "-o", archive, tmp / "no-folder"},
         1,
         "zem: error opening folder \"" + tmp / "no-folder" + "\": " + folderNotFound + "\n"},
        // A folder at the archive's path can't be replaced by the archive.
        {{"create", "-o", tmp.path, tmp.path},
         1,
         "zem: error opening .zem file (\"" + tmp.path + "\") for output\n"},
        {{"list", tmp / "missing.zem"},
         1,
         "zem: cannot open \"" + tmp / "missing.zem" + "\": " + notFound + "\n"},
        {{"verify", tmp / "broken.zem"},
         1,
         "zem: " + tmp / "broken.zem" +
             ": not a .zem archive: 9 bytes long, shorter than the 28-byte header\n"},
        {{"verify", archive, tmp / "no-folder"},
         1,
         "zem: cannot list folder \"" + tmp / "no-folder" + "\": " + folderNotFound + "\n"},
        {{"list", "--", "-dash.zem"}, 1, "zem: cannot open \"-dash.zem\": " + notFound + "\n"},
        {{"list", archive}, 0, ""},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        const ChildResult r = zem(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
    }
    // Each command has its own help; the top level's names them all.
    for (const std::string command : {"", "list", "verify", "extract", "cat", "create"}) {
        const ChildResult r = command.empty() ? zem({"--help"}) : zem({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_NE(r.out.find("Usage: zem " + (command.empty() ? "[OPTIONS] SUBCOMMAND" : command)),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.err, "");
    }
    ChildResult r = zem({"--help"});
    for (const char* command : {"list", "verify", "extract", "cat", "create"}) {
        EXPECT_NE(r.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    }
    r = zem({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string("zem ") + ZEM_VERSION + "\n");
    EXPECT_EQ(listNames(tmp.path),
              (std::vector<std::string>{".zem", "broken.zem", "noext", "pack.zem", "text"}));
}

// Extraction's options: -k keeps what exists and extracts the rest, --strip-components takes
// folders off the names (refusing names that become the same), -v names each file and the totals.
TEST_F(Zem, ExtractKeepsStripsAndNamesFiles) {
    handMade({{"top\\a.txt", "A"}, {"top\\sub\\b.txt", "BB"}, {"c.txt", "C"}});
    makeDirs(join(dest, "top"));
    writeFile(join(dest, "top/a.txt"), "old");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        Tree files;  // what dest holds afterwards
    };
    const Tree all = {{"top/a.txt", {"old", 0}}, {"top/sub/b.txt", {"BB", 0}}, {"c.txt", {"C", 0}}};
    const Case cases[] = {
        {{"extract", "-k", archive, dest}, 0, "", all},
        {{"extract", "-k", "-v", archive, dest},
         0,
         "top\\a.txt (kept: it exists)\ntop\\sub\\b.txt (kept: it exists)\nc.txt (kept: it "
         "exists)\n0 files, 0 bytes extracted, 3 files kept\n",
         all},
        {{"extract", "-v", "--strip-components", "1", archive, "-C", dest + "2"},
         0,
         "a.txt\nsub\\b.txt\n2 files, 3 bytes extracted\n",
         {{"a.txt", {"A", 0}}, {"sub/b.txt", {"BB", 0}}}},
        {{"extract", "--strip-components=2", archive, "-C", dest + "3", "top"},
         0,
         "",
         {{"b.txt", {"BB", 0}}}},
    };
    for (const Case& c : cases) {
        const ChildResult r = zem(c.args);
        const std::string shown = testing::PrintToString(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << shown << r.err;
        EXPECT_EQ(r.out, c.out) << shown;
        Tree files = filesOf(treeOf(c.args.back() == "top"  ? dest + "3"
                                    : c.args.back() == dest ? dest
                                                            : c.args.back()));
        for (auto& [name, entry] : files) entry.time = 0;
        EXPECT_EQ(files, c.files) << shown << describe(files);
    }

    handMade({{"x\\f", "1"}, {"y\\f", "2"}});
    const ChildResult r = zem({"extract", "--strip-components=1", archive, dest + "4"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("zem: " + archive + ": with --strip-components=1, ", 0), 0u) << r.err;
    EXPECT_FALSE(exists(dest + "4"));
}

// list -v adds each file's data offset and the totals; --json gives every field for scripts, as
// valid JSON whatever the name holds.
TEST_F(Zem, ListVerboseAndJson) {
    handMade({{"a.txt", "hello"}, {"d\\q\"\x01\xff\xc3\xa9", "", {{0, 0, 0, 0, 0, 0, 0, 0}}}});
    ChildResult r = zem({"list", "-v", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "         5  2004-07-09 13:45:30          28  a.txt\n"
              "         0  -                            33  d\\q\"\\x01\\xFF\xc3\xa9\n"
              "2 files, 5 bytes\n");
    r = zem({"list", "--json", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "[\n"
        "{\"name\":\"a.txt\",\"size\":5,\"time\":\"2004-07-09T13:45:30\",\"offset\":28},\n"
        "{\"name\":\"d\\\\q\\\"\\u0001\\ufffd\xc3\xa9\",\"name_bytes\":[100,92,113,34,1,255,195,"
        "169],\"size\":0,\"time\":null,\"offset\":33}\n"
        "]\n");
    handMade({});
    r = zem({"list", "--json", archive});
    EXPECT_EQ(r.out, "[\n]\n");
}

// Files below the tenth level of subfolders are never packed: create says how many it left out,
// and verify reports them as missing from the archive.
TEST_F(Zem, FilesBelowTheDepthLimitAreCountedAndReported) {
    std::string folder = "";
    for (int d = 1; d <= 12; ++d) {
        folder += "d" + std::to_string(d) + "/";
        add(folder + "f", "x", 1700000000);
    }
    ChildResult r = zem({"create", root});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "zem: warning: left out 2 files below the tenth level of subfolders\n");
    const std::string deepest = "d1\\d2\\d3\\d4\\d5\\d6\\d7\\d8\\d9\\d10\\d11";
    r = zem({"verify", archive, root});
    EXPECT_EQ(r.exitCode, 1);
    const std::string deep =
        ": in the folder, not in the archive: it lies below the tenth level "
        "of subfolders, which packing leaves out\n";
    // In the order the folder lists them.
    const std::string one = "zem: \"" + deepest + "\\f\"" + deep;
    const std::string two = "zem: \"" + deepest + "\\d12\\f\"" + deep;
    const std::string summary = "zem: " + archive + " and " + root + " differ in 2 files\n";
    EXPECT_TRUE(r.err == one + two + summary || r.err == two + one + summary) << r.err;
}

// -T packs only the listed files and folders (with --null, NUL-separated), the paths below FOLDER
// or, without FOLDER, below the current folder or -C's; a listed path that isn't there, or leads
// outside, ends the run before anything is written.
TEST_F(Zem, CreateFromAListOfPaths) {
    add("a.txt", "a", 1700000000);
    add("sub/b.txt", "b", 1700000000);
    add("sub/c.txt", "c", 1700000000);
    add("other/d.txt", "d", 1700000000);
    const std::string list = tmp / "list";
    struct Case {
        std::string list;
        std::vector<std::string> args;
        int exitCode;
        std::string names;  // zem list's names, or the error
    };
    const std::string out = tmp / "out.zem";
    const Case cases[] = {
        {"./a.txt\nsub//b.txt\nother/\n", {"-T", list, root}, 0, "a.txt other\\d.txt sub\\b.txt"},
        {"a.txt\nsub\n", {"-T", list, "-C", tmp.path, "pack"}, 0, "a.txt sub\\b.txt sub\\c.txt"},
        {std::string("sub\0a.txt\0", 10),
         {"--null", "-T", list, "-C", root},
         0,
         "a.txt sub\\b.txt sub\\c.txt"},
        {".\n", {"-T", list, root}, 0, "a.txt other\\d.txt sub\\b.txt sub\\c.txt"},
        {"a.txt\nnope\n",
         {"-T", list, root},
         1,
         "zem: \"nope\" (listed in " + list + ") is not in \"" + root + "\"\n"},
        {tmp / "pack/a.txt\n",
         {"-T", list, root},
         1,
         "zem: \"" + tmp / "pack/a.txt" + "\" (listed in " + list +
             ") is an absolute path: list paths below FOLDER\n"},
        {"../pack/a.txt\n",
         {"-T", list, root},
         1,
         "zem: \"../pack/a.txt\" (listed in " + list +
             ") has a \"..\" component: list paths below FOLDER\n"},
    };
    for (const Case& c : cases) {
        writeFile(list, c.list);
        std::vector<std::string> args = {"create", "--sort=name", "-o", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ChildResult r = zem(args);
        const std::string shown = testing::PrintToString(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << shown << r.err;
        EXPECT_EQ(exists(out), c.exitCode == 0) << shown;
        if (c.exitCode != 0) {
            EXPECT_EQ(r.err, c.names) << shown;
            continue;
        }
        std::string names;
        const std::string listing = zem({"list", out}).out;
        for (size_t at = 0, end; (end = listing.find('\n', at)) != std::string::npos;
             at = end + 1) {
            const std::string line = listing.substr(at, end - at);
            names += (names.empty() ? "" : " ") + line.substr(line.rfind("  ") + 2);
        }
        EXPECT_EQ(names, c.names) << shown;
        std::remove(out.c_str());
    }
}

#ifndef _WIN32

// "-" reads the archive from standard input: a pipe is copied aside first, a file is read in place
// from where standard input stands; what is no archive says so, naming standard input.
TEST_F(Zem, ArchivesFromStandardInput) {
    add("a.txt", "hello", 1700000000);
    add("sub/b.txt", "bee", 1700000000);
    pack();
    const std::string bytes = readFile(archive);
    const std::string atOffset = tmp / "at-offset";
    writeFile(atOffset, "JUNK!" + bytes);
    // Standard input at the archive's first byte, 5 bytes into its file.
    const auto fileAtOffset = [&] {
        const int fd = open(atOffset.c_str(), O_RDONLY);
        if (fd < 0 || lseek(fd, 5, SEEK_SET) != 5 || dup2(fd, 0) < 0) _exit(126);
    };
    const ChildResult listed = zem({"list", archive});
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"list", "-"}, 0, listed.out, ""},
        {{"verify", "-"}, 0, "standard input: 2 files, structure sound\n", ""},
        {{"verify", "-", root}, 0, "standard input: 2 files, all match " + root + "\n", ""},
        {{"cat", "-", "sub/b.txt"}, 0, "bee", ""},
        {{"extract", "-", "-C", dest}, 0, "", ""},
        {{"extract", "-"},
         2,
         "",
         "zem: can't name a folder to extract standard input into: give DEST\nTry \"zem extract "
         "--help\" for more information.\n"},
    };
    for (const bool inPlace : {false, true}) {
        for (const Case& c : cases) {
            const std::string shown =
                testing::PrintToString(c.args) + (inPlace ? " file" : " pipe");
            const ChildResult r = runExecutable(
                ZEM_EXE, c.args, inPlace ? "" : bytes,
                inPlace ? std::function<void()>(fileAtOffset) : std::function<void()>());
            EXPECT_EQ(r.exitCode, c.exitCode) << shown << r.err;
            EXPECT_EQ(r.out, c.out) << shown;
            EXPECT_EQ(r.err, c.err) << shown;
        }
        EXPECT_EQ(filesOf(treeOf(dest)), filesOf(treeOf(root)));
        std::filesystem::remove_all(dest);
    }
    const ChildResult r = runExecutable(ZEM_EXE, {"list", "-"}, "not an archive at all, longer");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "zem: standard input: not a .zem archive: header word at offset 0 is 0x20746F6E, "
              "expected 0\n");
}

// A reader that closes the pipe early ends zem as it ends tar and cat: by SIGPIPE, with no message
// and nothing left behind; where SIGPIPE is ignored, the failed write is an error, exit 1.
TEST_F(Zem, AClosedPipeEndsTheRunAsItEndsTar) {
    add("a.txt", std::string(1 << 20, 'a'), 1700000000);
    pack();
    for (const bool ignored : {false, true}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"create", "-o", "-", root},
              std::vector<std::string>{"cat", archive, "a.txt"},
              std::vector<std::string>{"list", archive},
              std::vector<std::string>{"extract", "-v", archive, dest}}) {
            const std::string shown = testing::PrintToString(args) + (ignored ? " ignored" : "");
            const BoundedRun run = zemWithin(args, [&] {
                int closed[2];
                if (pipe(closed) != 0 || dup2(closed[1], 1) < 0) _exit(126);
                close(closed[0]);
                if (ignored) signal(SIGPIPE, SIG_IGN);
            });
            ASSERT_FALSE(run.hung) << shown;
            if (ignored) {
                EXPECT_EQ(run.result.exitCode, 1) << shown;
                EXPECT_NE(run.result.err.find("zem: "), std::string::npos) << shown;
            } else {
                EXPECT_EQ(run.result.exitCode, 128 + SIGPIPE) << shown;
                EXPECT_EQ(run.result.err, "") << shown;
            }
            if (exists(dest)) {
                for (const std::string& name : listNames(dest)) {
                    EXPECT_EQ(name, "a.txt") << shown;  // no temporary file left
                }
                std::filesystem::remove_all(dest);
            }
        }
    }
}

// Names and paths that could steer the terminal or disguise an entry are escaped in the listing,
// in verify's lines and in every message; printable UTF-8 passes as it is. (Windows allows no
// control characters in file names.)
TEST_F(Zem, NothingInANameOrPathReachesTheTerminalRaw) {
    const std::string hostile = tmp / "arc\xc2\x9b.zem";
    const std::string hostileShown = tmp.path + "/arc\\u009B.zem";
    const std::string folder = tmp / "dir\x1b[2J\xe2\x80\xae";
    const std::string folderShown = tmp.path + "/dir\\x1B[2J\\u202E";
    const std::string nice = "caf\xc3\xa9\xe4\xb8\xad";
    writeFile(hostile, buildArchive({{"csi\xc2\x9b"
                                      "2J",
                                      "1"},
                                     {"raw\x9b"
                                      "2J",
                                      "2"},
                                     {"rlo\xe2\x80\xae"
                                      "gpj.exe",
                                      "3"},
                                     {nice, "4"}})
                           .text());
    makeDirs(folder);
    writeFile(folder + "/csi\xc2\x9b" + std::string("2J"), "1");
    writeFile(folder + "/" + nice, "X");
    writeFile(folder + "/new\x1b", "5");

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const std::string time = "2004-07-09 13:45:30  ";
    const std::vector<Case> cases = {
        {{"list", hostile},
         0,
         "         1  " + time + "csi\\u009B2J\n" + "         1  " + time + "raw\\x9B2J\n" +
             "         1  " + time + "rlo\\u202Egpj.exe\n" + "         1  " + time + nice + "\n",
         ""},
        {{"verify", hostile}, 0, hostileShown + ": 4 files, structure sound\n", ""},
        {{"verify", hostile, folder},
         1,
         "",
         "zem: \"raw\\x9B2J\": in the archive, not in the folder\n"
         "zem: \"rlo\\u202Egpj.exe\": in the archive, not in the folder\n"
         "zem: \"" +
             nice + "\": differs from \"" + folderShown + "/" + nice +
             "\" at byte 0\n"
             "zem: \"new\\x1B\": in the folder, not in the archive\n"
             "zem: " +
             hostileShown + " and " + folderShown + " differ in 4 files\n"},
        {{"list", folder + ".zem"},
         1,
         "",
         "zem: cannot open \"" + folderShown + ".zem\": No such file or directory\n"},
        {{"\xc2\x9b"
          "31m"},
         2,
         "",
         "zem: unknown command \"\\u009B31m\"\nTry \"zem --help\" for more information.\n"},
    };
    for (const Case& c : cases) {
        const ChildResult r = zem(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST_F(Zem, NeverWritesThroughALinkInTheDestination) {
    const std::string outside = tmp / "outside";
    makeDirs(outside);
    makeDirs(dest);
    ASSERT_EQ(symlink(outside.c_str(), (dest + "/link").c_str()), 0);
    handMade({{"first", "1"}, {"link\\planted", "evil"}});

    ChildResult r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 1: name \"link\\planted\": \"" + dest +
                         "/link\" is a symbolic link; extraction never writes through a link\n");
    EXPECT_TRUE(listNames(outside).empty());
    EXPECT_EQ(listNames(dest), std::vector<std::string>{"link"});

    // A link as the file's own name is replaced with --force, never followed.
    writeFile(outside + "/target", "keep");
    ASSERT_EQ(symlink((outside + "/target").c_str(), (dest + "/first").c_str()), 0);
    handMade({{"first", "new"}});
    r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"first\": \"" + dest +
                         "/first\" already exists (--force replaces it)\n");
    r = zem({"extract", "-f", archive, dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(outside + "/target"), "keep");
    struct stat st {};
    ASSERT_EQ(lstat((dest + "/first").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(dest + "/first"), "new");
}

// The folder beside the archive is the program's choice, not the user's: a link there, whatever
// it leads to, is refused by both programs before any question, and one put there while the
// question waits is refused too (or, when the folder was there, the folder held open is written
// into). A link the user names as DEST is followed.
TEST_F(Zem, TheFolderBesideTheArchiveIsNeverReachedThroughALink) {
    const std::string victim = tmp / "victim";
    makeDirs(victim);
    writeFile(victim + "/a", "original");
    writeFile(tmp / "file", "original");
    handMade({{"a", "PWNED"}});
    const std::string refusal =
        "\"" + root + "\" is a symbolic link; extraction never writes through a link\n";
    const std::string builderRefusal =
        "Error extracting .zem file (\"" + archive + "\"): " + refusal;
    for (const std::string& target : {victim, tmp / "file", tmp / "nowhere"}) {
        unlink(root.c_str());
        ASSERT_EQ(symlink(target.c_str(), root.c_str()), 0);
        ChildResult r = runProgram({archive}, "\n\n");
        EXPECT_EQ(r.exitCode, 1) << target;
        EXPECT_EQ(r.out, "") << target;
        EXPECT_EQ(r.err, builderRefusal) << target;
        r = zem({"extract", "--force", archive});
        EXPECT_EQ(r.exitCode, 1) << target;
        EXPECT_EQ(r.err, "zem: " + refusal) << target;
    }

    // Planted while the question waits, with the folder missing, and in place of a folder that
    // was there.
    const std::string moved = tmp / "moved";
    for (const bool folderThere : {false, true}) {
        unlink(root.c_str());
        if (folderThere) makeDirs(root);
        Child child = startChild({archive});
        ASSERT_TRUE(waitForOutput(child, "[OK/cancel] ")) << child.stdoutText;
        if (folderThere) {
            ASSERT_EQ(rename(root.c_str(), moved.c_str()), 0);
        }
        ASSERT_EQ(symlink(victim.c_str(), root.c_str()), 0);
        sendInput(child, "\n\n");
        const ChildResult r = finishChild(child);
        if (folderThere) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(readFile(moved + "/a"), "PWNED");
        } else {
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.err, builderRefusal);
        }
    }
    EXPECT_EQ(readFile(victim + "/a"), "original");
    EXPECT_EQ(readFile(tmp / "file"), "original");
    EXPECT_FALSE(exists(tmp / "nowhere"));

    ChildResult r = zem({"extract", "--force", archive, root});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(victim + "/a"), "PWNED");
}

// On a file system without unnamed temporary files each file is written under a hidden name and
// renamed into place (without replacing anything unless forced): the same tree, nothing left.
TEST_F(Zem, WithoutUnnamedFilesHiddenFilesAreRenamedIntoPlace) {
    add("a", "aaa", 1600000000);
    add("sub/b", std::string(70000, 'b'), 1600000000);
    pack();
    for (const char* option : {"--", "--force"}) {
        const ChildResult r = runExecutable(ZEM_EXE, {"extract", option, archive, dest}, "",
                                            [] { refuseUnnamedFilesInChild(); });
        SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
        EXPECT_EQ(r.exitCode, 0) << option << ' ' << r.err;
        EXPECT_TRUE(treeOf(root) == treeOf(dest)) << option;
        EXPECT_EQ(listNames(dest), (std::vector<std::string>{"a", "sub"})) << option;
    }
}

// Ended by a signal in the middle of a file, zem removes that file's hidden name on its way out.
// Killed outright it can't: the next extraction removes what runs that no longer exist left, in
// DEST and in every folder it writes to.
TEST_F(Zem, ASignalInTheMiddleOfAFileLeavesNoHiddenFileBeyondTheNextRun) {
    handMade({{"sub\\first", "1"}, {"second", "2"}});
    for (const int sig : {SIGTERM, SIGKILL}) {
        int sockets[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
        Child child = startExecutable(ZEM_EXE, {"extract", archive, dest},
                                      [&] { refuseUnnamedFilesInChild(sockets[1]); });
        close(sockets[1]);
        HeldWrites held;
        const bool isHeld = waitForHeldWrite(sockets[0], dest + "/sub", held);
        close(sockets[0]);
        const std::vector<std::string> during = listNames(dest + "/sub");
        kill(child.pid, isHeld ? sig : SIGKILL);
        const ChildResult r = finishChild(child);
        SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
        ASSERT_TRUE(isHeld) << "zem was never held in a write: " << r.err;
        EXPECT_EQ(r.exitCode, 128 + sig);
        ASSERT_EQ(during.size(), 1u) << "only the first file's hidden name";
        EXPECT_EQ(during[0].rfind(".zem-", 0), 0u) << during[0];
        EXPECT_EQ(listNames(dest + "/sub"), sig == SIGKILL ? during : std::vector<std::string>{});
    }
    const pid_t gone = fork();  // its number is no process's once it has ended
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    writeFile(dest + "/" + temporaryFileName(static_cast<uint32_t>(gone), 0), "left");

    const ChildResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listNames(dest), (std::vector<std::string>{"second", "sub"}));
    EXPECT_EQ(listNames(dest + "/sub"), std::vector<std::string>{"first"});
}

// A sparse archive whose header claims gigabytes is refused for what is really there, at once
// and in little memory: what the reader holds follows the records it reads.
TEST_F(Zem, ASparseArchiveClaimingGigabytesTakesLittleMemory) {
    struct Case {
        uint32_t fileCount;
        uint32_t recordsLength;
        std::string problem;
    };
    const uint32_t most = 0xFFFFFFFFu / 21;  // as many records as a record block can hold
    const std::vector<Case> cases = {
        {1, 0xFFFFFFFFu - 32,
         "record block: the last record ends at offset 53, but the block runs to offset "
         "4294967295"},
        {most, most * 21,
         "index slot 1 at offset 32 holds 0, but record 1 begins at 21, right after the previous "
         "record"},
    };
    const BoundedRun baseline = zemWithin({"--version"}, limitAddressSpaceInChild);
    ASSERT_EQ(baseline.result.exitCode, 0) << baseline.result.err;
    for (const Case& c : cases) {
        BuiltArchive header = buildArchive({});
        header.set(12, c.fileCount);
        header.set(16, c.recordsLength);
        writeBytes(archive, header.bytes);
        const uint64_t size = 28 + 4 * uint64_t(c.fileCount) + c.recordsLength;
        ASSERT_EQ(truncate(archive.c_str(), static_cast<off_t>(size)), 0) << strerror(errno);
        const BoundedRun run = zemWithin({"list", archive}, limitAddressSpaceInChild);
        ASSERT_FALSE(run.hung) << c.problem;
        EXPECT_EQ(run.result.exitCode, 1) << c.problem;
        EXPECT_EQ(run.result.err, "zem: " + archive + ": " + c.problem + "\n");
        EXPECT_LT(run.peakKiB, baseline.peakKiB + 32 * 1024)
            << "peak RSS in KiB reading a " << size << "-byte archive, against " << baseline.peakKiB
            << " for --version";
    }
}

// Whatever the command, an archive that isn't a regular file is refused at once: opening a named
// pipe without a writer used to wait forever.
TEST_F(Zem, AnArchiveThatIsNoRegularFileIsRefusedWithoutWaiting) {
    const std::string pipe = tmp / "pipe.zem";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0) << strerror(errno);
    const std::string folder = tmp / "folder.zem";
    makeDirs(folder);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {pipe, "it is a named pipe, not a regular file"},
        {folder, "it is a folder, not a regular file"},
        {"/dev/null", "it is a character device, not a regular file"},
    };
    for (const auto& c : cases) {
        for (const char* command : {"list", "verify", "extract"}) {
            const BoundedRun run = zemWithin({command, c.first});
            ASSERT_FALSE(run.hung) << "zem " << command << ' ' << c.first << " waited";
            EXPECT_EQ(run.result.exitCode, 1) << command << ' ' << c.first;
            EXPECT_EQ(run.result.err, "zem: cannot read \"" + c.first + "\": " + c.second + "\n")
                << command;
        }
    }
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"folder.zem", "pipe.zem"}));
}

// The folder beside the archive, or the true reason why there is none.
TEST(ZemDefaultDestination, TheFolderBesideTheArchiveOrWhyThereIsNone) {
    struct Case {
        std::string archive;
        std::string folder;
        std::string problem;
    };
    const std::string noSuffix = "its name doesn't end in .zem";
    const std::string justZem = "its name is just \".zem\", which leaves no folder name";
    const std::vector<Case> cases = {
        {"pack.zem", "pack", ""},
        {"dir/Pack.ZEM", "dir/Pack", ""},
        {"back\\.zem", "back\\", ""},  // a backslash is an ordinary character here
        {"C:.zem", "C:", ""},          // and so is a colon
        {".zem", "", justZem},
        {"dir/.zem", "", justZem},
        {".ZEM", "", "its name is just \".ZEM\", which leaves no folder name"},
        {"x.zem/", "", "it ends in \"/\""},
        {"..zem", "", "its name without .zem is \".\", which names no folder of its own"},
        {"dir/...zem", "", "its name without .zem is \"..\", which names no folder of its own"},
        {"pack.zip", "", noSuffix},
        {"", "", noSuffix},
    };
    for (const Case& c : cases) {
        std::string problem;
        EXPECT_EQ(destinationOf(c.archive, problem), c.folder) << c.archive;
        EXPECT_EQ(problem, c.problem) << c.archive;
    }
}

// A folder made relative to the open one above it.
int makeFolderAt(int parent, const std::string& name) {
    if (mkdirat(parent, name.c_str(), 0755) != 0) return -1;
    return openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool writeFileAt(int folder, const std::string& name, const std::string& contents) {
    const int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write(fd, contents.data(), contents.size()) == ssize_t(contents.size());
    return close(fd) == 0 && written;
}

// Folders and files whose full paths pass PATH_MAX (4,096 bytes) are listed relative to their
// open folder, and must be read as well, small and large alike, to pack them and to verify them.
// Fifteen folders of 250-byte names above the root bring it near the limit (made one at a time,
// as mkdir -p can't); two more below it pass it within the depth limit.
TEST(ZemRoundTrip, FilesAndFoldersPastPathMaxArePackedAndVerified) {
    TempDir tmp;
    const std::string longName(250, 'n');
    std::string root = tmp.path;
    int folder = open(tmp.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < 16; ++i) {
        const std::string name = i < 15 ? longName : "pack";
        const int next = makeFolderAt(folder, name);
        close(folder);
        ASSERT_GE(next, 0) << "level " << i << ": " << strerror(errno);
        folder = next;
        root += "/" + name;
    }
    const std::string sub(250, 's'), subsub(250, 't'), file(250, 'f');
    const int s = makeFolderAt(folder, sub);
    ASSERT_GE(s, 0);
    const int t = makeFolderAt(s, subsub);
    ASSERT_GE(t, 0);
    // "big" is past the size read ahead: the kernel copies it.
    const bool made = writeFileAt(folder, "a", "short path") &&
                      writeFileAt(s, file, "past the limit") &&
                      writeFileAt(t, "big", std::string(100000, 'b')) &&
                      writeFileAt(t, "g", "in a folder past the limit");
    for (int fd : {folder, s, t}) close(fd);
    ASSERT_TRUE(made);
    ASSERT_GT(root.size() + 1 + sub.size() + 1 + file.size(), size_t(PATH_MAX));
    ASSERT_LT(root.size() + 4, size_t(PATH_MAX)) << "the archive itself has a path of usual length";

    const std::string archive = root + ".zem";
    ChildResult r = runProgram({root}, "\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string question = "Generating \"" + archive + "\" from ";
    ASSERT_EQ(r.out.rfind(question, 0), 0u);
    EXPECT_EQ(r.out.substr(question.size()),
              "4 files. Continue? [OK/cancel] ZEM creation complete.\n");
    r = zem({"verify", archive, root});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, archive + ": 4 files, all match " + root + "\n");

    // Extracted again over what is there, as the builder unpacks beside the archive and as zem
    // does with --force: the folders on each name's way are looked at relative to their parents.
    const std::string dest = root + ".out";
    for (const bool again : {false, true}) {
        r = zem(again ? std::vector<std::string>{"extract", "--force", archive, dest}
                      : std::vector<std::string>{"extract", archive, dest});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    r = zem({"verify", archive, dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = runProgram({archive}, "\n\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

// Whatever names Linux holds, what packing stores its own tools read back: random trees of odd
// but legal names (control characters, a Mac's "Icon\r", bytes that are no UTF-8, reordering
// marks, Windows' reserved characters, leading dashes, dots and spaces, the longest name) either
// pack and come back the same through list, verify and extract, or, with a backslash, are
// refused before any question.
TEST(ZemRoundTrip, OddNamesComeBackOrAreRefusedBeforeAnyQuestion) {
    const std::vector<std::string> odd = {"\t",
                                          "\x1b[31m",
                                          "Icon\r",
                                          "\n",
                                          "\x01",
                                          "\x7f",
                                          "-",
                                          " ",
                                          "...",
                                          "\xff",
                                          "\xe4",
                                          "\xc2\x9b",
                                          "\xe2\x80\xae",
                                          "*?:\"<>|",
                                          "nul",
                                          "back\\slash",
                                          std::string(250, 'n')};
    int refused = 0;
    for (unsigned seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir tmp;
        const std::string root = tmp / "pack", archive = root + ".zem", dest = tmp / "out";
        makeDirs(root);
        generateTree(root, seed, odd);
        const Tree files = filesOf(treeOf(root));
        const bool backslash = std::any_of(files.begin(), files.end(), [](const auto& file) {
            return file.first.find('\\') != std::string::npos;
        });
        ChildResult r = runProgram({root}, "\n\n");
        if (backslash) {
            ++refused;
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find("holds a backslash"), std::string::npos) << r.err;
            EXPECT_FALSE(exists(archive));
            continue;
        }
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (const std::vector<std::string>& command : {std::vector<std::string>{"list", archive},
                                                        {"verify", archive, root},
                                                        {"extract", archive, dest}}) {
            r = zem(command);
            EXPECT_EQ(r.exitCode, 0) << command[0] << ": " << r.err;
        }
        EXPECT_TRUE(files == filesOf(treeOf(dest))) << describe(files);
    }
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, 24);
}

// A folder file whose name holds a backslash is no stand-in for the stored name it looks like:
// an archive can't hold its name faithfully, so it is a difference, never a match.
TEST_F(Zem, VerifyReportsAFolderFileWithABackslashInItsName) {
    makeDirs(root + "/x");
    writeFile(root + "/x/y", "xy");
    pack();
    unlink((root + "/x/y").c_str());
    rmdir((root + "/x").c_str());
    writeFile(root + "/x\\y", "xy");

    const ChildResult r = zem({"verify", archive, root});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "zem: \"x\\y\": in the archive, not in the folder\n"
              "zem: \"" +
                  root +
                  "/x\\y\": in the folder, holds a backslash in a name, which an archive "
                  "would read back as a subfolder\n"
                  "zem: " +
                  archive + " and " + root + " differ in 2 files\n");
}

// Running out of memory while listing the folder (links that make no loop still multiply the
// files) is an error with a message, never an abort.
TEST_F(Zem, VerifyOutOfMemoryIsAnErrorNotAnAbort) {
#ifdef ZEM_SANITIZED_BUILD
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit here allows";
#endif
    makeDirs(root);
    writeFile(root + "/a", "a");
    pack();
    makeLinkFanOut(root + "/fan");
    const ChildResult r = runExecutable(ZEM_EXE, {"verify", archive, root}, "", [] {
        const rlimit small{32 << 20, 32 << 20};
        setrlimit(RLIMIT_AS, &small);
    });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zem: out of memory listing folder \"" + root + "\"\n");
}

// Files started ahead of the one written hold descriptors: under a tight limit extraction starts
// none ahead, and still writes every file.
TEST_F(Zem, ATightDescriptorLimitCostsOnlySpeed) {
    for (int i = 0; i < 20; ++i) {
        add("d" + std::to_string(i % 3) + "/f" + std::to_string(i), std::string(size_t(i), 'x'),
            1600000000 + i);
    }
    pack();
    const ChildResult r = runExecutable(ZEM_EXE, {"extract", archive, dest}, "", [] {
        rlimit low{};
        getrlimit(RLIMIT_NOFILE, &low);
        low.rlim_cur = 10;  // standard streams, the archive, the folders and a file, and a few
        setrlimit(RLIMIT_NOFILE, &low);
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(treeOf(root) == treeOf(dest));
}

#endif  // !_WIN32

#ifdef _WIN32

// The stored times mean something only in a zone away from UTC; the suite sets Europe/Berlin.
TEST(ZemWin32Zone, TheSuiteRunsInBerlinTime) {
    const int64_t offset = currentUtcOffset();
    EXPECT_TRUE(offset == 3600 || offset == 7200)
        << "UTC offset " << offset << ": run with TZ=Europe/Berlin";
}

// A file that can't be put in place (a read-only one, which even --force can't replace) ends
// the run: the files before it stay, its temporary file is gone, nothing after it is written.
TEST_F(Zem, AFailedFileLeavesNoTemporaryBehind) {
    makeDirs(dest);
    writeFile(join(dest, "locked"), "old");
    const HANDLE held = CreateFileA(join(dest, "locked").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    handMade({{"first", "1"}, {"locked", "new"}, {"after", "3"}});

    const ChildResult r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("zem: cannot create \"" + join(dest, "locked") + "\": ", 0), 0u) << r.err;
    EXPECT_EQ(listNames(dest), (std::vector<std::string>{"first", "locked"}));
    CloseHandle(held);
    EXPECT_EQ(readFile(join(dest, "locked")), "old");
    EXPECT_EQ(readFile(join(dest, "first")), "1");
}

// The folder beside the archive, or the true reason why there is none; a drive's colon ends a
// path too.
TEST(ZemDefaultDestination, TheFolderBesideTheArchiveOrWhyThereIsNone) {
    struct Case {
        std::string archive;
        std::string folder;
        std::string problem;
    };
    const std::string justZem = "its name is just \".zem\", which leaves no folder name";
    const std::vector<Case> cases = {
        {"C:\\work\\Pack.ZEM", "C:\\work\\Pack", ""},
        {"C:pack.zem", "C:pack", ""},
        {"C:\\work\\.zem", "", justZem},
        {"C:.zem", "", justZem},  // would be the drive's current folder
        {"x.zem\\", "", "it ends in \"\\\""},
        {"C:\\work\\..zem", "", "its name without .zem is \".\", which names no folder of its own"},
        {"C:\\work\\pack.zip", "", "its name doesn't end in .zem"},
    };
    for (const Case& c : cases) {
        std::string problem;
        EXPECT_EQ(destinationOf(c.archive, problem), c.folder) << c.archive;
        EXPECT_EQ(problem, c.problem) << c.archive;
    }
}

// An archive that isn't a file on disk is refused at once: a device, or a folder.
TEST_F(Zem, AnArchiveThatIsNoDiskFileIsRefused) {
    const std::string folder = join(tmp.path, "folder.zem");
    makeDirs(folder);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"NUL", "it is a character device, not a regular file"},
        {folder, "it is a folder, not a regular file"},
    };
    for (const auto& c : cases) {
        const ChildResult r = zem({"extract", c.first});
        EXPECT_EQ(r.exitCode, 1) << c.first;
        EXPECT_EQ(r.err, "zem: cannot read \"" + c.first + "\": " + c.second + "\n");
    }
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"folder.zem"});
}

// zem.exe itself, as another program starts it: the command line split by the runtime (paths
// with spaces), results on standard output, messages on standard error, the exit code.
std::string besideThisProgram(const std::string& name) {
    char self[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) throw std::runtime_error("GetModuleFileNameA");
    std::string path(self, length);
    return path.substr(0, path.find_last_of("\\/") + 1) + name;
}

ChildResult runZemExe(const std::vector<std::string>& args) {
    return runExecutable(besideThisProgram("zem.exe"), args, "");
}

// The console's line ends, as the runtime writes them in text mode.
std::string lines(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(ZemWin32Exe, ExitCodesStreamsAndPathsWithSpaces) {
    TempDir tmp;
    const std::string folder = tmp / "with space";
    makeDirs(folder);
    const std::string archive = join(folder, "my pack.zem");
    writeFile(archive, buildArchive({{"a b.txt", "hello"}}).text());
    writeFile(tmp / "broken.zem", "too short");

    ChildResult r = runZemExe({"list", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, lines("         5  2004-07-09 13:45:30  a b.txt\n"));
    EXPECT_EQ(r.err, "");

    r = runZemExe({"extract", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(join(folder, "my pack/a b.txt")), "hello");

    r = runZemExe({"verify", tmp / "broken.zem"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              lines("zem: " + tmp / "broken.zem" +
                    ": not a .zem archive: 9 bytes long, shorter than the 28-byte header\n"));

    // A named pipe whose server never writes: reading it would wait for ever.
    const std::string pipeName = "\\\\.\\pipe\\zem-test-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    r = runZemExe({"list", pipeName});
    CloseHandle(pipe);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, lines("zem: cannot read \"" + pipeName +
                           "\": it is a named pipe, not a regular file\n"));

    r = runZemExe({"frob"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("zem: unknown command \"frob\"", 0), 0u) << r.err;

    r = runZemExe({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, lines(std::string("zem ") + ZEM_VERSION + "\n"));

    // An archive and stored files on standard output are raw bytes: no line end is translated.
    const std::string packed = tmp / "lines";
    makeDirs(packed);
    writeFile(join(packed, "two lines.txt"), "a\nb\n");
    r = runZemExe({"create", packed});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = runZemExe({"create", "-o", "-", packed});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, readFile(packed + ".zem"));
    r = runZemExe({"cat", packed + ".zem", "two lines.txt"});
    EXPECT_EQ(r.out, "a\nb\n");
    EXPECT_EQ(listNames(tmp.path),
              (std::vector<std::string>{"broken.zem", "lines", "lines.zem", "with space"}));
}

// The file at a full path of any length, read by its "\\?\" form; "(missing)" when it can't be
// opened.
std::string readLongPath(const std::string& path) {
    const std::wstring wide = L"\\\\?\\" + std::wstring(path.begin(), path.end());
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "(missing)";
    char buffer[64];
    DWORD got = 0;
    const BOOL read = ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return read ? std::string(buffer, got) : "(unreadable)";
}

// A name of more than 255 characters is refused before anything is written. Paths have no limit:
// each step below the destination is relative to an open folder, so files land past MAX_PATH.
TEST_F(Zem, NamesPastTheSystemsLimitAreRefusedAndLongPathsWritten) {
    const std::string deep = std::string(200, 'd') + "\\" + std::string(200, 'e') + "\\x";
    const struct {
        std::string name;
        bool refused;
    } cases[] = {
        {"sub\\" + std::string(256, 'n'), true},
        {"sub\\" + std::string(255, 'n'), false},
        {deep, false},
    };
    char letter = 'a';
    for (const auto& c : cases) {
        const std::string caseDest = join(tmp.path, std::string("ou") + letter++);
        handMade({{"ok", "1"}, {c.name, "2"}});
        const ChildResult r = zem({"extract", archive, caseDest});
        if (!c.refused) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(readLongPath(join(caseDest, c.name)), "2");
            continue;
        }
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "zem: record 1: name \"" + c.name +
                             "\" has a component of 256 characters, longer than the 255 a name "
                             "may have on Windows\n");
        EXPECT_FALSE(exists(caseDest)) << "written before the refusal";
    }
}

// Wine's Unix name of a Windows path; empty when this doesn't run under Wine.
std::string unixNameOf(const std::string& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto call = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!call) return "";
    const std::wstring wide(path.begin(), path.end());
    char* name = call(wide.c_str());
    if (!name) return "";
    const std::string unixName = name;
    HeapFree(GetProcessHeap(), 0, name);
    return unixName;
}

// A folder swapped for a link while extraction runs is never written through. A Unix shell (Wine
// starts one like any program, and Windows programs under Wine can make no links) swaps DEST\a
// for a symbolic link to a folder outside and back, over and over, while the archive is
// extracted again and again: each run writes into the real folder or refuses the link, and the
// folder outside stays empty.
TEST_F(Zem, AFolderSwappedForALinkMidRunIsNeverWrittenThrough) {
    const std::string outside = tmp / "outside";
    makeDirs(outside);
    makeDirs(join(dest, "a"));
    const std::string unixDest = unixNameOf(dest);
    if (unixDest.empty()) GTEST_SKIP() << "needs Wine, which runs a Unix shell to make the links";
    std::vector<TestFile> files;
    for (int i = 0; i < 50; ++i) files.push_back({"a\\f" + std::to_string(i), "x"});
    handMade(files);
    // It says it has started (and swapped once) by "started", and ends when "stop" appears,
    // leaving the real folder in place and saying so by "stopped".
    writeFile(tmp / "swap.sh",
              "cd '" + unixDest +
                  "' || exit 1\n"
                  "swap() { mv -T a a.real && ln -s '" +
                  unixNameOf(outside) +
                  "' a && rm a &&\n"
                  "  mv -T a.real a; }\n"
                  "swap; : > ../started\n"
                  "while [ -e ../started ] && [ ! -e ../stop ]; do swap 2>/dev/null\n"
                  "  if [ -d a.real ] && [ ! -e a ]; then mv -T a.real a; fi\n"
                  "  if [ -d a.real ] && [ -d a ] && [ ! -L a ]; then rm -rf a.real; fi\n"
                  "done\n"
                  "if [ -L a ]; then rm a; fi; if [ -d a.real ]; then mv -T a.real a; fi\n"
                  ": > ../stopped\n");
    // Wine hands a Unix program over to the system: its process handle can't be waited for, the
    // files it makes can.
    const auto waitFor = [](const std::string& path) {
        for (int tries = 0; tries < 60000 && !exists(path); ++tries) Sleep(1);
        return exists(path);
    };
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string commandLine = "Z:\\bin\\sh " + unixNameOf(tmp / "swap.sh");
    ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The shell stops however the test ends (and on its own once its folder is gone).
    struct Stop {
        std::string path;
        ~Stop() { writeFile(path, ""); }
    } stop{tmp / "stop"};
    ASSERT_TRUE(waitFor(tmp / "started")) << commandLine;
    int refused = 0;
    for (int run = 0; run < 40; ++run) {
        const ChildResult r = zem({"extract", "--force", archive, dest});
        if (r.exitCode != 0) {
            ++refused;
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_NE(r.err.find("\\a"), std::string::npos) << r.err;
        }
        ASSERT_TRUE(listNames(outside).empty()) << "run " << run << ": written through the link";
    }
    writeFile(stop.path, "");
    EXPECT_TRUE(waitFor(tmp / "stopped"));
    EXPECT_TRUE(listNames(outside).empty());
    RecordProperty("refused", refused);
}

// The id of a process that has ended: no process's any more.
DWORD endedProcessId() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + besideThisProgram("zem.exe") + "\" --version";
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        throw std::runtime_error("cannot start " + commandLine);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

// What a process killed between lifting its file's delete mark and the move leaves goes with the
// next extraction into that folder; the files of running processes, and folders, stay.
TEST(ZemWin32Exe, LeftoversOfEndedProcessesGoWithTheNextExtraction) {
    TempDir tmp;
    const DWORD ended = endedProcessId();
    const std::string dest = join(tmp.path, "out");
    makeDirs(dest);
    const std::string left = temporaryFileName(ended, 3);
    const std::string running = temporaryFileName(GetCurrentProcessId(), 3);
    const std::string folder = temporaryFileName(ended, 4);
    writeFile(join(dest, left), "left");
    writeFile(join(dest, running), "running");
    makeDirs(join(dest, folder));
    const std::string archive = join(tmp.path, "pack.zem");
    writeFile(archive, buildArchive({{"a", "1"}}).text());

    const ChildResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> expected{"a", running, folder};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listNames(dest), expected);
}

#endif  // _WIN32

}  // namespace
