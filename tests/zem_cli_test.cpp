// The zem program end to end: archives packed by zem-builder read back, verified against their
// folder and extracted; hostile archives refused before anything is written; the command line.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <random>

#include "archive/fatal_error.h"
#include "archive_builder.h"
#include "test_util.h"
#include "zem/extract_fs.h"

namespace {

ChildResult zem(const std::vector<std::string>& args) { return runExecutable(ZEM_EXE, args, ""); }

void writeBytes(const std::string& path, const ByteBuffer& bytes) {
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

int64_t modifiedTime(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mtim.tv_sec;
}

// Every file below root: relative path -> contents and last-write time. Folders are implied by
// the paths; symbolic links are not expected in these trees.
struct TreeFile {
    std::string contents;
    int64_t time = 0;
    bool operator==(const TreeFile& o) const { return contents == o.contents && time == o.time; }
};
using Tree = std::map<std::string, TreeFile>;

void collect(const std::string& root, const std::string& relative, Tree& tree) {
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    for (const std::string& name : listNames(folder)) {
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        struct stat st {};
        lstat((root + "/" + rel).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            collect(root, rel, tree);
        } else {
            tree[rel] = {readFile(root + "/" + rel), static_cast<int64_t>(st.st_mtim.tv_sec)};
        }
    }
}

Tree treeOf(const std::string& root) {
    Tree tree;
    collect(root, "", tree);
    return tree;
}

// A tree of pseudo-random shape from a seed: nested folders, empty and odd-sized files, one
// larger than the 1 MiB copy buffer, names with spaces, dots and 8-bit bytes, times spread over
// summer and winter of the years an archive holds.
void generateTree(const std::string& root, unsigned seed) {
    std::mt19937 rng(seed);
    const std::vector<std::string> names = {
        "a.txt", "B", "with space", ".dot", "x..y", "\xe4\xf6", "long-name-" + std::string(60, 'n'),
        "z.bin"};
    std::vector<std::string> folders = {root};
    for (int i = 0; i < 25; ++i) {
        const std::string parent = folders[rng() % folders.size()];
        const std::string name = names[rng() % names.size()] + std::to_string(i);
        if (rng() % 4 == 0) {
            makeDirs(parent + "/" + name);
            folders.push_back(parent + "/" + name);
            continue;
        }
        const size_t sizes[] = {0, 1, 7, 4096, 65537};
        std::string contents(sizes[rng() % 5], '\0');
        for (char& c : contents) c = static_cast<char>(rng());
        const std::string path = parent + "/" + name;
        writeFile(path, contents);
        setModifiedTime(path, 86400 + static_cast<int64_t>(rng() % 2100000000u));
    }
    std::string big((1 << 20) + 333, '\0');
    for (char& c : big) c = static_cast<char>(rng());
    writeFile(root + "/big", big);
    setModifiedTime(root + "/big", 1700000000);
    makeDirs(root + "/empty folder");  // holds no file: not stored, not extracted
}

struct Zem : ::testing::Test {
    TempDir tmp;
    std::string root = tmp / "pack";
    std::string archive = root + ".zem";
    std::string dest = tmp / "out";

    void pack() {
        const ChildResult r = runProgram({root}, "\n\n");
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    // A hand-made archive at `archive`.
    void handMade(const std::vector<TestFile>& files) {
        writeBytes(archive, buildArchive(files).bytes);
    }
};

TEST(ZemRoundTrip, GeneratedTreesPackVerifyAndExtractBackTheSame) {
    ScopedTimeZone berlin("Europe/Berlin");  // a zone with summer time, inherited by both programs
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir tmp;
        const std::string root = tmp / "pack";
        const std::string archive = root + ".zem";
        const std::string dest = tmp / "out";
        makeDirs(root);
        generateTree(root, seed);
        ChildResult r = runProgram({root}, "\n\n");
        ASSERT_EQ(r.exitCode, 0) << r.err;

        r = zem({"verify", archive, root});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.rfind(archive + ": ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("all match " + root), std::string::npos) << r.out;

        r = zem({"extract", archive, dest});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        const Tree original = treeOf(root);
        EXPECT_GT(original.size(), 5u);
        EXPECT_TRUE(original == treeOf(dest)) << "extracted tree differs";
        EXPECT_FALSE(exists(dest + "/empty folder"));
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
}

TEST_F(Zem, ExtractsBesideTheArchiveByDefaultAndKeepsTimelessFilesAtNow) {
    makeDirs(root + "/sub");
    writeFile(root + "/sub/old", "from 1960");
    setModifiedTime(root + "/sub/old", -315619200);  // 1960: an archive holds no time for it
    writeFile(root + "/new", "2020");
    setModifiedTime(root + "/new", 1600000000);
    pack();
    ASSERT_EQ(rename(root.c_str(), (tmp / "original").c_str()), 0);

    const int64_t before = time(nullptr);
    const ChildResult r = zem({"extract", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(root + "/sub/old"), "from 1960");
    EXPECT_GE(modifiedTime(root + "/sub/old"), before);
    EXPECT_EQ(modifiedTime(root + "/new"), 1600000000);
    EXPECT_EQ(listNames(root), (std::vector<std::string>{"new", "sub"}));  // no temporary left
}

TEST_F(Zem, VerifyReportsEveryDifferenceWithTheFolder) {
    makeDirs(root + "/sub");
    writeFile(root + "/same", "same");
    writeFile(root + "/changed", "0123456789");
    writeFile(root + "/sub/gone", "x");
    writeFile(root + "/resized", "abc");
    makeDirs(root + "/x");
    writeFile(root + "/x/y", "xy");
    pack();
    writeFile(root + "/changed", "0123456x89");
    unlink((root + "/sub/gone").c_str());
    writeFile(root + "/resized", "abcd");
    writeFile(root + "/sub/added", "new");
    // The file x\y is no stand-in for x/y: an archive can't hold its name faithfully.
    unlink((root + "/x/y").c_str());
    rmdir((root + "/x").c_str());
    writeFile(root + "/x\\y", "xy");

    const ChildResult r = zem({"verify", archive, root + "/"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> expected = {
        "zem: \"changed\": differs from \"" + root + "/changed\" at byte 7\n",
        "zem: \"sub\\gone\": in the archive, not in the folder\n",
        "zem: \"resized\": 3 bytes in the archive, 4 in \"" + root + "/resized\"\n",
        "zem: \"sub\\added\": in the folder, not in the archive\n",
        "zem: \"x\\y\": in the archive, not in the folder\n",
        "zem: \"" + root +
            "/x\\y\": in the folder, holds a backslash in a name, which an archive would read "
            "back as a subfolder\n",
        "zem: " + archive + " and " + root + " differ in 6 files\n"};
    for (const std::string& line : expected) {
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "in:\n" << r.err;
    }
    EXPECT_EQ(r.err.find("\"same\""), std::string::npos);

    const ChildResult plain = zem({"verify", archive});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, archive + ": 5 files, structure sound\n");
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

TEST_F(Zem, ListShowsSizeLocalTimeAndEscapedName) {
    TestFile timeless{"sub\\no time", ""};
    timeless.time = {};
    handMade({{"a.txt", "hello"}, timeless, {"bell\x07", std::string(1234567, 'x')}});
    const ChildResult r = zem({"list", archive});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "         5  2004-07-09 13:45:30  a.txt\n"
              "         0  -                    sub\\no time\n"
              "   1234567  2004-07-09 13:45:30  bell\\x07\n");
}

// Names and paths that could steer the terminal or disguise an entry are escaped in the listing,
// in verify's lines and in every message; printable UTF-8 passes as it is.
TEST_F(Zem, NothingInANameOrPathReachesTheTerminalRaw) {
    const std::string hostile = tmp / "arc\xc2\x9b.zem";
    const std::string hostileShown = tmp.path + "/arc\\u009B.zem";
    const std::string folder = tmp / "dir\x1b[2J\xe2\x80\xae";
    const std::string folderShown = tmp.path + "/dir\\x1B[2J\\u202E";
    const std::string nice = "caf\xc3\xa9\xe4\xb8\xad";
    writeBytes(hostile, buildArchive({{"csi\xc2\x9b"
                                       "2J",
                                       "1"},
                                      {"raw\x9b"
                                       "2J",
                                       "2"},
                                      {"rlo\xe2\x80\xae"
                                       "gpj.exe",
                                       "3"},
                                      {nice, "4"}})
                            .bytes);
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

// Each hostile or broken archive: exit 1, its message, and nothing written, not even the
// harmless file stored before the bad one.
TEST_F(Zem, HostileArchivesAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        std::vector<TestFile> files;
        std::string message;
    };
    TestFile badTime{"t", "x"};
    badTime.time[2] = 13;
    const std::vector<Case> cases = {
        {{{"ok", "1"}, {"..\\escape", "2"}},
         "record 1: name \"..\\escape\" has a \"..\" component"},
        {{{"ok", "1"}, {"sub\\..\\..\\escape", "2"}},
         "record 1: name \"sub\\..\\..\\escape\" has a \"..\" component"},
        {{{"ok", "1"}, {"\\tmp\\abs", "2"}}, "record 1: name \"\\tmp\\abs\" is absolute"},
        {{{"ok", "1"}, {"/tmp/abs", "2"}}, "record 1: name \"/tmp/abs\" is absolute"},
        {{{"ok", "1"}, {"C:\\x", "2"}}, "record 1: name \"C:\\x\" has a drive part"},
        {{{"ok", "1"}, {"a\\\\b", "2"}}, "record 1: name \"a\\\\b\" has an empty component"},
        {{{"ok", "1"}, {"sub/../../x", "2"}},
         "record 1: name \"sub/../../x\" holds a slash, which would be read as a folder separator"},
        {{{"ok", "1"}, {"esc\x1b[31m", "2"}},
         "record 1: name \"esc\\x1B[31m\" holds the control character 0x1B"},
        {{{"ok", "1"}, {"", "2"}}, "record 1: name \"\" is empty"},
        {{{"ok", "1"}, {"ok", "2"}}, "record 1: name \"ok\" is stored twice (first in record 0)"},
        {{{"ok", "1"}, {"ok\\x", "2"}},
         "record 1: name \"ok\\x\" needs \"ok\" as a folder, but record 0 is a file of that name"},
        {{{"ok", "1"}, badTime}, "record 1: time bytes at offset 73: month 13 is not 1-12"},
    };
    for (const Case& c : cases) {
        handMade(c.files);
        for (const char* command : {"extract", "verify"}) {
            const ChildResult r = zem({command, archive, dest});
            EXPECT_EQ(r.exitCode, 1) << command << ' ' << c.message;
            EXPECT_EQ(r.err, "zem: " + archive + ": " + c.message + "\n") << command;
        }
        EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack.zem"})) << c.message;
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

TEST_F(Zem, ExistingFilesNeedForceAndFoldersAreNeverReplaced) {
    makeDirs(dest + "/sub");
    writeFile(dest + "/a", "old");
    handMade({{"a", "new"}, {"sub\\b", "b"}});

    ChildResult r = zem({"extract", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"a\": \"" + dest +
                         "/a\" already exists (--force replaces it)\n");
    EXPECT_EQ(readFile(dest + "/a"), "old");
    EXPECT_FALSE(exists(dest + "/sub/b"));

    r = zem({"extract", archive, dest, "--force"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(dest + "/a"), "new");
    EXPECT_EQ(readFile(dest + "/sub/b"), "b");

    handMade({{"sub", "file over a folder"}});
    r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"sub\": \"" + dest + "/sub\" is a folder\n");

    handMade({{"a\\x", "folder over a file"}});
    r = zem({"extract", "--force", archive, dest});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zem: record 0: name \"a\\x\": \"" + dest + "/a\" is not a folder\n");
    EXPECT_EQ(readFile(dest + "/a"), "new");
}

// The checks that hold while extraction runs, after the early look: a link or a file that
// appears in the meantime is refused at the moment of the write.
TEST_F(Zem, WritesRecheckWhatAppearedAfterTheEarlyLook) {
    const std::string outside = tmp / "outside";
    makeDirs(outside);
    const FolderHandle destFolder = openDestination(dest);
    ASSERT_EQ(symlink(outside.c_str(), (dest + "/swapped").c_str()), 0);
    try {
        openSubfolder(destFolder, "swapped");
        ADD_FAILURE() << "opened a link as a folder";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), linkRefusalText(dest + "/swapped"));
    }

    {
        AtomicFile file;
        startExtractedFile(file, destFolder, "raced");
        writeAtomicFile(file, "mine", 4);
        writeFile(dest + "/raced", "theirs");
        EXPECT_THROW(finishExtractedFile(file, false, 0, false), FatalError);
    }
    EXPECT_EQ(readFile(dest + "/raced"), "theirs");
    EXPECT_EQ(listNames(dest), (std::vector<std::string>{"raced", "swapped"}));  // no temporary
    EXPECT_TRUE(listNames(outside).empty());
}

// On a file system without unnamed temporary files each file is written under a hidden name and
// renamed into place (without replacing anything unless forced): the same tree, nothing left.
TEST_F(Zem, WithoutUnnamedFilesHiddenFilesAreRenamedIntoPlace) {
    makeDirs(root + "/sub");
    writeFile(root + "/a", "aaa");
    setModifiedTime(root + "/a", 1600000000);
    writeFile(root + "/sub/b", std::string(70000, 'b'));
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
TEST_F(Zem, TerminatedInTheMiddleOfAFileItLeavesNoHiddenFile) {
    handMade({{"first", "1"}, {"second", "2"}});
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    Child child = startExecutable(ZEM_EXE, {"extract", archive, dest},
                                  [&] { refuseUnnamedFilesInChild(sockets[1]); });
    close(sockets[1]);
    HeldWrites held;
    const bool isHeld = waitForHeldWrite(sockets[0], dest, held);
    close(sockets[0]);
    if (!isHeld) {
        kill(child.pid, SIGKILL);
        const ChildResult r = finishChild(child);
        SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
        FAIL() << "zem was never held in a write: " << r.err;
    }
    const std::vector<std::string> during = listNames(dest);
    ASSERT_EQ(during.size(), 1u) << "only the first file's hidden name";
    EXPECT_EQ(during[0].rfind(".zem-", 0), 0u) << during[0];
    kill(child.pid, SIGTERM);
    const ChildResult r = finishChild(child);
    EXPECT_EQ(r.exitCode, 128 + SIGTERM);
    EXPECT_TRUE(listNames(dest).empty());
}

TEST_F(Zem, CommandLineExitCodesAndMessages) {
    handMade({{"a", "1"}});
    writeFile(tmp / "broken.zem", "too short");
    writeFile(tmp / "noext", readFile(archive));
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;  // exact, or the start of it for the usage errors
    };
    const std::string tryHelp = "\nTry \"zem --help\" for more information.\n";
    const std::vector<Case> cases = {
        {{}, 2, "zem: no command given" + tryHelp},
        {{"frob", archive}, 2, "zem: unknown command \"frob\"" + tryHelp},
        {{"list", "--bogus", archive}, 2, "zem: unknown option \"--bogus\"" + tryHelp},
        {{"list"}, 2, "zem: list: ARCHIVE is missing" + tryHelp},
        {{"list", archive, "more"}, 2, "zem: list: too many arguments (\"more\")" + tryHelp},
        {{"verify", archive, "f", "x"}, 2, "zem: verify: too many arguments (\"x\")" + tryHelp},
        {{"list", "--force", archive}, 2, "zem: --force applies to extract only" + tryHelp},
        {{"extract", tmp / "noext"},
         2,
         "zem: can't name a folder to extract \"" + tmp / "noext" +
             "\" into, as its name doesn't end in .zem: give DEST" + tryHelp},
        {{"list", tmp / "missing.zem"},
         1,
         "zem: cannot open \"" + tmp / "missing.zem" + "\": No such file or directory\n"},
        {{"verify", tmp / "broken.zem"},
         1,
         "zem: " + tmp / "broken.zem" +
             ": archive is 9 bytes long, shorter than its 28-byte header\n"},
        {{"verify", archive, tmp / "no-folder"},
         1,
         "zem: cannot list folder \"" + tmp / "no-folder" + "\"\n"},
        {{"list", "--", "-dash.zem"},
         1,
         "zem: cannot open \"-dash.zem\": No such file or directory\n"},
        {{"list", archive}, 0, ""},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        const ChildResult r = zem(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
    }
    ChildResult r = zem({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: zem list ARCHIVE\n", 0), 0u);
    EXPECT_EQ(r.err, "");
    r = zem({"extract", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    r = zem({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string("zem ") + ZEM_VERSION + "\n");
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"broken.zem", "noext", "pack.zem"}));
}

}  // namespace
