// The zem program on Windows, its commands called in-process on real folders: archives written
// by the Windows writer extracted back (backslash names become folders, times come from the
// stored calendar time), hostile names refused before anything is written, existing files kept
// unless forced, no temporary file left by a failure, verify against a folder, and list.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

#include "archive/fatal_error.h"
#include "archive/local_time.h"
#include "archive_builder.h"
#include "scan/scan.h"
#include "win32_test_util.h"
#include "zem/commands.h"
#include "zem/extract_fs.h"

namespace {

struct ZemResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ZemResult zem(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    ZemResult r;
    r.exitCode = runZem(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

DWORD attributesOf(const std::string& path) { return GetFileAttributesA(path.c_str()); }
bool exists(const std::string& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }
bool isFolder(const std::string& path) {
    const DWORD a = attributesOf(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The last-write time in seconds since 1970 UTC.
int64_t modifiedTime(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    if (file == INVALID_HANDLE_VALUE) return -1;
    FILETIME written{};
    EXPECT_TRUE(GetFileTime(file, nullptr, nullptr, &written)) << path;
    CloseHandle(file);
    const uint64_t ticks =
        (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

// Every file and folder below root: backslash path -> contents and time ("<folder>" for folders).
struct TreeEntry {
    std::string contents;
    int64_t time = 0;
    bool operator==(const TreeEntry& o) const { return contents == o.contents && time == o.time; }
};
using Tree = std::map<std::string, TreeEntry>;

void collect(const std::string& root, const std::string& relative, Tree& tree) {
    for (const std::string& name : listNames(relative.empty() ? root : join(root, relative))) {
        const std::string rel = relative.empty() ? name : join(relative, name);
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

std::string describe(const Tree& tree) {
    std::string text;
    for (const auto& [name, entry] : tree) {
        text += "  " + name + " (" + std::to_string(entry.contents.size()) + " bytes, time " +
                std::to_string(entry.time) + ")\n";
    }
    return text;
}

struct ZemWin32 : ::testing::Test {
    TempDir tmp;
    std::string root = join(tmp.path, "pack");
    std::string archive = root + ".zem";
    std::string dest = join(tmp.path, "out");

    // A file below root with its last-write time.
    void add(const std::string& relative, const std::string& contents, int64_t utc) {
        const size_t sep = relative.rfind('\\');
        makeDirs(sep == std::string::npos ? root : join(root, relative.substr(0, sep)));
        writeFile(join(root, relative), contents);
        setModifiedTime(join(root, relative), utc);
    }
    // Packs root into archive through the Windows scan and writer.
    void pack() {
        FileList list;
        scanFolder(systemFileSystem(), root, list);
        writeArchive(archive, list);
    }
    void handMade(const std::vector<TestFile>& files) {
        writeFile(archive, buildArchive(files).text());
    }
};

// The stored times mean something only in a zone away from UTC; the suite sets Europe/Berlin.
TEST(ZemWin32Zone, TheSuiteRunsInBerlinTime) {
    const int64_t offset = currentUtcOffset();
    EXPECT_TRUE(offset == 3600 || offset == 7200)
        << "UTC offset " << offset << ": run with TZ=Europe/Berlin";
}

TEST_F(ZemWin32, WindowsArchiveExtractsBackIntoTheSameTree) {
    std::string binary;  // line ends and ^Z, which a text-mode write would change
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    binary += "\r\n\n\x1a\r";
    std::string big((1 << 20) + 4099, '\0');  // more than one copy buffer
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
    add("a.txt", "hello\n", secondsFromCalendar({2004, 7, 9, 11, 45, 30}));  // summer
    add("sub\\deeper\\b.bin", binary,
        secondsFromCalendar({2019, 1, 15, 23, 30, 0}));                   // winter, near midnight
    add("sub\\empty", "", secondsFromCalendar({2026, 3, 29, 1, 30, 0}));  // the night clocks change
    add("Mixed Case.DAT", big, secondsFromCalendar({1999, 12, 31, 23, 59, 59}));
    pack();
    EXPECT_EQ(storedNames(readFile(archive)).size(), 4u);

    const ZemResult verified = zem({"verify", archive, root});
    EXPECT_EQ(verified.exitCode, 0) << verified.err;
    EXPECT_EQ(verified.out, archive + ": 4 files, all match " + root + "\n");

    const ZemResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(isFolder(join(dest, "sub\\deeper")));
    const Tree original = treeOf(root);
    const Tree extracted = treeOf(dest);
    EXPECT_TRUE(original == extracted) << "packed:\n"
                                       << describe(original) << "extracted:\n"
                                       << describe(extracted);
}

// The stored local calendar time is turned back into UTC with the zone's offset in force now,
// whatever the runtime makes of the TZ variable.
TEST_F(ZemWin32, FileTimesComeFromTheStoredCalendarTime) {
    TestFile summer{"summer", "s"};  // 2004-07-09 13:45:30
    TestFile winter{"sub\\winter", "w"};
    winter.time = {{0xE3, 0x07, 1, 15, 23, 30, 0, 0}};  // 2019-01-15 23:30:00
    TestFile timeless{"timeless", "t"};
    timeless.time = {};
    handMade({summer, winter, timeless});
    const int64_t offset = currentUtcOffset();
    const int64_t before = static_cast<int64_t>(time(nullptr));

    const ZemResult r = zem({"extract", archive, dest});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(modifiedTime(join(dest, "summer")),
              secondsFromCalendar({2004, 7, 9, 13, 45, 30}) - offset);
    EXPECT_EQ(modifiedTime(join(dest, "sub\\winter")),
              secondsFromCalendar({2019, 1, 15, 23, 30, 0}) - offset);
    EXPECT_GE(modifiedTime(join(dest, "timeless")), before - 2);  // left at the time of writing
}

TEST_F(ZemWin32, ListShowsSizeStoredLocalTimeAndName) {
    add("a.txt", "hello", secondsFromCalendar({2004, 7, 9, 11, 45, 30}));
    add("sub\\b", std::string(1234567, 'b'), secondsFromCalendar({2019, 1, 15, 23, 30, 0}));
    pack();
    const int64_t offset = currentUtcOffset();
    const auto shown = [&](int64_t utc) {
        const CalendarTime t = calendarFromSeconds(utc + offset);
        char text[32];
        snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(t.year),
                 t.month, t.day, t.hour, t.minute, t.second);
        return std::string(text);
    };
    const ZemResult r = zem({"list", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string a =
        "         5  " + shown(secondsFromCalendar({2004, 7, 9, 11, 45, 30})) + "  a.txt\n";
    const std::string b =
        "   1234567  " + shown(secondsFromCalendar({2019, 1, 15, 23, 30, 0})) + "  sub\\b\n";
    // In the archive's order, which is the order the folder was listed in.
    const std::vector<std::string> names = storedNames(readFile(archive));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(r.out, names[0] == "a.txt" ? a + b : b + a);
}

// Each hostile name is refused with its reason before anything is written: not even the
// harmless file stored before it appears, and nothing lands anywhere else.
TEST_F(ZemWin32, HostileNamesAreRefusedBeforeAnythingIsWritten) {
    const std::string device = ", a Windows device name";
    const std::map<std::string, std::string> cases = {
        {"C:x", "has a drive part"},
        {"c:\\Windows\\x", "has a drive part"},
        {"..\\x", "has a \"..\" component"},
        {"sub\\..\\..\\x", "has a \"..\" component"},
        {"\\\\server\\share\\x", "is absolute"},
        {"\\x", "is absolute"},
        {"CON", "has the component \"CON\"" + device},
        {"sub\\nul.txt", "has the component \"nul.txt\"" + device},
        {"Aux\\x", "has the component \"Aux\"" + device},
        {"COM1", "has the component \"COM1\"" + device},
        {"lpt9.log", "has the component \"lpt9.log\"" + device},
        {"a<b", "holds the character <, which Windows does not allow"},
        {"a>b", "holds the character >, which Windows does not allow"},
        {"sub\\a:b", "holds the character :, which Windows does not allow"},
        {"a\"b", "holds the character \", which Windows does not allow"},
        {"a|b", "holds the character |, which Windows does not allow"},
        {"a?b", "holds the character ?, which Windows does not allow"},
        {"a*b", "holds the character *, which Windows does not allow"},
        {"x.", "has a component ending in a dot or space, which Windows would drop"},
        {"sub \\x", "has a component ending in a dot or space, which Windows would drop"},
    };
    for (const auto& [name, problem] : cases) {
        handMade({{"ok", "1"}, {name, "2"}});
        for (const char* command : {"extract", "verify"}) {
            const ZemResult r = zem({command, archive, dest});
            EXPECT_EQ(r.exitCode, 1) << command << ' ' << name;
            EXPECT_EQ(r.err,
                      "zem: " + archive + ": record 1: name \"" + name + "\" " + problem + "\n")
                << command;
        }
        EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack.zem"}) << name;
    }

    // Names differing only in letter case are one file on Windows.
    handMade({{"Read.me", "1"}, {"READ.ME", "2"}});
    ZemResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: " + archive +
                         ": record 1: name \"READ.ME\" is stored twice (first in record 0)\n");
    handMade({{"sub", "1"}, {"SUB\\x", "2"}});
    r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: " + archive +
                         ": record 1: name \"SUB\\x\" needs \"SUB\" as a folder, but record 0 is a "
                         "file of that name\n");
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack.zem"});
}

// Names and paths past what the ANSI calls take are refused before anything is written: a name
// of more than 255 characters, a full path of more than 259, counting the temporary name that a
// file is written under first. Right at the limits, the files are written.
TEST_F(ZemWin32, NamesAndPathsPastTheSystemsLimitsAreRefusedBeforeAnythingIsWritten) {
    const size_t base = dest.size() + 1;  // dest is a full path; each case's is as long
    ASSERT_LT(base + 39, 200u) << dest;
    const std::string atLimit(259 - base, 'n');
    // A folder of 219 characters: with the longest temporary name in it, 259.
    const std::string deep(219 - dest.size() - 1, 'd');
    enum Problem { None, LongName, LongPath };
    const struct {
        std::string name;
        Problem problem;
    } cases[] = {
        {"sub\\" + std::string(256, 'n'), LongName},
        {atLimit, None},
        {atLimit + "n", LongPath},
        {deep + "\\x", None},
        {deep + "e\\x", LongPath},
    };
    char letter = 'a';
    for (const auto& c : cases) {
        const std::string caseDest = join(tmp.path, std::string("ou") + letter++);
        handMade({{"ok", "1"}, {c.name, "2"}});
        const ZemResult r = zem({"extract", archive, caseDest});
        if (c.problem == None) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(readFile(join(caseDest, c.name)), "2");
            continue;
        }
        const std::string problem =
            c.problem == LongName
                ? "has a component of 256 characters, longer than the 255 a name may have on "
                  "Windows"
                : "needs a path of 260 characters to write \"" + join(caseDest, c.name) +
                      "\" (its temporary name beside it included), more than the 259 Windows "
                      "allows";
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "zem: record 1: name \"" + c.name + "\" " + problem + "\n");
        EXPECT_FALSE(exists(caseDest)) << "written before the refusal";
    }
}

TEST_F(ZemWin32, ExistingFilesNeedForceAndFoldersAreNeverReplaced) {
    makeDirs(join(dest, "sub"));
    writeFile(join(dest, "A"), "old");  // the archive's "a", in another letter case
    handMade({{"a", "new"}, {"sub\\b", "b"}});

    ZemResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"a\": \"" + dest +
                         "\\a\" already exists (--force replaces it)\n");
    EXPECT_EQ(readFile(join(dest, "A")), "old");
    EXPECT_FALSE(exists(join(dest, "sub\\b")));

    r = zem({"extract", "--force", archive, dest + "\\"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(join(dest, "a")), "new");
    EXPECT_EQ(readFile(join(dest, "sub\\b")), "b");
    EXPECT_EQ(listNames(dest).size(), 2u);

    handMade({{"SUB", "a file over a folder"}});
    r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"SUB\": \"" + dest + "\\SUB\" is a folder\n");

    handMade({{"a\\x", "a folder over a file"}});
    r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"a\\x\": \"" + dest + "\\a\" is not a folder\n");
    EXPECT_EQ(readFile(join(dest, "a")), "new");
    EXPECT_TRUE(isFolder(join(dest, "sub")));
}

// A file that can't be put in place (a read-only one, which even --force can't replace) ends
// the run: the files before it stay, its temporary file is gone, nothing after it is written.
TEST_F(ZemWin32, AFailedFileLeavesNoTemporaryBehind) {
    makeDirs(dest);
    writeFile(join(dest, "locked"), "old");
    const HANDLE held = CreateFileA(join(dest, "locked").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    handMade({{"first", "1"}, {"locked", "new"}, {"after", "3"}});

    const ZemResult r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("zem: cannot create \"" + dest + "\\locked\": ", 0), 0u) << r.err;
    EXPECT_EQ(listNames(dest), (std::vector<std::string>{"first", "locked"}));
    CloseHandle(held);
    EXPECT_EQ(readFile(join(dest, "locked")), "old");
    EXPECT_EQ(readFile(join(dest, "first")), "1");
}

// The write steps on their own: the temporary file sits beside the final name until the commit,
// is removed when the file is abandoned, and a file that appeared meanwhile is kept.
TEST_F(ZemWin32, UncommittedFilesAreRemovedAndARaceIsLost) {
    const FolderHandle folder = openDestination(dest);
    {
        AtomicFile file;
        startExtractedFile(file, folder, "abandoned");
        writeAtomicFile(file, "partial", 7);
        const std::vector<std::string> names = listNames(dest);
        ASSERT_EQ(names.size(), 1u);
        EXPECT_NE(names[0], "abandoned");
        EXPECT_EQ(names[0].substr(names[0].size() - 4), ".tmp");
    }
    EXPECT_TRUE(listNames(dest).empty());

    {
        AtomicFile file;
        startExtractedFile(file, folder, "raced");
        writeAtomicFile(file, "mine", 4);
        writeFile(join(dest, "raced"), "theirs");
        try {
            (void)finishExtractedFile(file, false, 0, false);
            ADD_FAILURE() << "replaced a file without being asked to";
        } catch (const FatalError& e) {
            EXPECT_EQ(std::string(e.what()), alreadyExistsText(join(dest, "raced")));
        }
    }
    EXPECT_EQ(readFile(join(dest, "raced")), "theirs");
    EXPECT_EQ(listNames(dest), std::vector<std::string>{"raced"});

    // A folder's place taken by a file is refused, not written into.
    writeFile(join(dest, "notfolder"), "x");
    try {
        openSubfolder(folder, "notfolder");
        ADD_FAILURE() << "opened a file as a folder";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), "\"" + dest + "\\notfolder\" is not a folder");
    }
}

TEST_F(ZemWin32, VerifyReportsEveryDifferenceWithTheFolder) {
    add("same", "same", secondsFromCalendar({2010, 5, 5, 5, 5, 5}));
    add("changed", "0123456789", secondsFromCalendar({2010, 5, 5, 5, 5, 5}));
    add("sub\\gone", "x", secondsFromCalendar({2010, 5, 5, 5, 5, 5}));
    add("resized", "abc", secondsFromCalendar({2010, 5, 5, 5, 5, 5}));
    pack();
    writeFile(join(root, "changed"), "0123456x89");
    ASSERT_TRUE(DeleteFileA(join(root, "sub\\gone").c_str()));
    writeFile(join(root, "resized"), "abcd");
    writeFile(join(root, "sub\\added"), "new");

    const ZemResult r = zem({"verify", archive, root + "\\"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> expected = {
        "zem: \"changed\": differs from \"" + root + "\\changed\" at byte 7\n",
        "zem: \"sub\\gone\": in the archive, not in the folder\n",
        "zem: \"resized\": 3 bytes in the archive, 4 in \"" + root + "\\resized\"\n",
        "zem: \"sub\\added\": in the folder, not in the archive\n",
        "zem: " + archive + " and " + root + " differ in 4 files\n"};
    for (const std::string& line : expected) {
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "in:\n" << r.err;
    }
    EXPECT_EQ(r.err.find("\"same\""), std::string::npos) << r.err;

    const ZemResult plain = zem({"verify", archive});
    EXPECT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.out, archive + ": 4 files, structure sound\n");

    const ZemResult noFolder = zem({"verify", archive, join(tmp.path, "missing")});
    EXPECT_EQ(noFolder.exitCode, 1);
    EXPECT_EQ(noFolder.err, "zem: cannot list folder \"" + join(tmp.path, "missing") + "\"\n");
}

TEST_F(ZemWin32, DefaultDestinationIsBesideTheArchive) {
    EXPECT_EQ(defaultDestination("C:\\work\\Pack.ZEM"), "C:\\work\\Pack");
    EXPECT_EQ(defaultDestination("C:\\work\\.zem"), "");
    EXPECT_EQ(defaultDestination("C:\\work\\pack.zip"), "");

    handMade({{"sub\\f", "f"}});
    ZemResult r = zem({"extract", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(join(root, "sub\\f")), "f");

    const std::string other = join(tmp.path, "archive.bin");
    writeFile(other, readFile(archive));
    r = zem({"extract", other});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "zem: can't name a folder to extract \"" + other +
                         "\" into, as its name doesn't end in .zem: give DEST\n"
                         "Try \"zem --help\" for more information.\n");
}

// zem.exe itself, as another program starts it: the command line split by the runtime (paths
// with spaces), results on standard output, messages on standard error, the exit code.
struct ExeResult {
    DWORD exitCode = 0;
    DWORD processId = 0;  // no longer any process's once the result is in
    std::string out;
    std::string err;
};

std::string besideThisProgram(const std::string& name) {
    char self[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) throw std::runtime_error("GetModuleFileNameA");
    std::string path(self, length);
    return path.substr(0, path.find_last_of("\\/") + 1) + name;
}

// An inheritable handle on a new file that the child writes one of its streams to.
HANDLE streamFile(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
    return h;
}

ExeResult runZemExe(const TempDir& tmp, const std::vector<std::string>& args) {
    std::string commandLine = "\"" + besideThisProgram("zem.exe") + "\"";
    for (const std::string& arg : args) commandLine += " \"" + arg + "\"";  // no quotes inside
    const std::string outPath = join(tmp.path, "stdout.txt");
    const std::string errPath = join(tmp.path, "stderr.txt");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = streamFile(outPath);
    startup.hStdError = streamFile(errPath);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    if (!started) throw std::runtime_error("cannot start " + commandLine);
    ExeResult r;
    r.processId = process.dwProcessId;
    const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
    GetExitCodeProcess(process.hProcess, &r.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0) throw std::runtime_error("zem.exe did not end within a minute");
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    DeleteFileA(outPath.c_str());
    DeleteFileA(errPath.c_str());
    return r;
}

// The console's line ends, as the runtime writes them in text mode.
std::string lines(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(ZemWin32Exe, ExitCodesStreamsAndPathsWithSpaces) {
    TempDir tmp;
    const std::string folder = join(tmp.path, "with space");
    makeDirs(folder);
    const std::string archive = join(folder, "my pack.zem");
    writeFile(archive, buildArchive({{"a b.txt", "hello"}}).text());
    writeFile(join(tmp.path, "broken.zem"), "too short");

    ExeResult r = runZemExe(tmp, {"list", archive});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, lines("         5  2004-07-09 13:45:30  a b.txt\n"));
    EXPECT_EQ(r.err, "");

    r = runZemExe(tmp, {"extract", archive});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(readFile(join(folder, "my pack\\a b.txt")), "hello");

    r = runZemExe(tmp, {"verify", join(tmp.path, "broken.zem")});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, lines("zem: " + join(tmp.path, "broken.zem") +
                           ": archive is 9 bytes long, shorter than its 28-byte header\n"));

    r = runZemExe(tmp, {"frob"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("zem: unknown command \"frob\"", 0), 0u) << r.err;

    r = runZemExe(tmp, {"--version"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, lines(std::string("zem ") + ZEM_VERSION + "\n"));
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"broken.zem", "with space"}));
}

// What a process killed between lifting its file's delete mark and the move leaves goes with the
// next extraction into that folder; the files of running processes, and folders, stay.
TEST(ZemWin32Exe, LeftoversOfEndedProcessesGoWithTheNextExtraction) {
    TempDir tmp;
    const DWORD ended = runZemExe(tmp, {"--version"}).processId;
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

    const ZemResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> expected{"a", running, folder};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listNames(dest), expected);
}

}  // namespace
