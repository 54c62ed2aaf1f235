// The run sequence with a scripted dialog, on a scripted file system and on real folders: no
// dialog ever opens here. Cases only Windows has sit in its section at the end.

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include <new>

#include "archive_builder.h"
#include "builder/run.h"
#include "builder/terminal_answer.h"
#include "fakes.h"
#include "test_util.h"
#include "viewer/archive_view.h"

namespace {

const std::string kUsage =
    "info: To run the ZEM Builder, put all your files into a folder, then drag-and-drop the folder "
    "onto the ZEM Builder's icon. The folder's name will be used as the name of the .zem file.";

TEST(RunArguments, WrongArgumentCountsAndAnEmptyArgumentShowTheUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"a", "b"},
          std::vector<std::string>{""}}) {
        FakeDialog dialog;
        FakeFileSystem fs;
        EXPECT_EQ(runZemBuilder(args, dialog, fs), 0);
        EXPECT_EQ(dialog.shown, std::vector<std::string>{kUsage});
        EXPECT_TRUE(fs.calls.empty());
    }
}

// A name the archive would read back as a subfolder ends the run before the first question, with
// nothing looked at beside the folder and nothing written.
TEST(RunArguments, ABackslashInAFileNameIsRefusedBeforeAnyQuestion) {
    FakeDialog dialog;
    FakeFileSystem fs;
    fs.folders["pack"] = {fakeFile("fine"), fakeFile("a\\b")};
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({native("pack/")}, dialog, fs), 1);
    EXPECT_EQ(dialog.shown, std::vector<std::string>{"error: File name \"" + join("pack", "a\\b") +
                                                     "\" holds a backslash, which a .zem file "
                                                     "would read back as a subfolder"});
    EXPECT_EQ(fs.calls, std::vector<std::string>{"list pack"});
}

// A path that can't be listed as a folder (a typo, a plain file) is an error naming it as given,
// with no question and nothing written; an empty folder still gets its question (RunTree). So is
// a subfolder that can't be listed, named by its path: passing over it would lose its files
// unseen.
TEST(RunArguments, AFolderThatCantBeListedIsAnErrorWithNothingWritten) {
    const struct {
        std::string argument;
        std::string named;  // in the message
        std::vector<std::string> calls;
    } cases[] = {
        {native("nosuchdir/"), native("nosuchdir/"), {"list nosuchdir"}},
        {"pack",
         join("pack", "sub/locked"),
         {"list pack", "list " + join("pack", "sub"), "list " + join("pack", "sub/locked"),
          "list " + join("pack", "z")}},
    };
    for (const auto& c : cases) {
        FakeDialog dialog;
        FakeFileSystem fs;
        fs.folders["pack"] = {fakeFolder("sub"), fakeFolder("z")};
        fs.folders[join("pack", "sub")] = {fakeFile("a"), fakeFolder("locked")};
        fs.folders[join("pack", "z")] = {fakeFile("b")};
        dialog.answers = {true, true};
        EXPECT_EQ(runZemBuilder({c.argument}, dialog, fs), 1);
        EXPECT_EQ(dialog.shown,
                  std::vector<std::string>{"error: Error opening folder \"" + c.named + "\""});
        EXPECT_EQ(fs.calls, c.calls);
    }
}

// The fake file system's paths are written with slashes here.
#ifndef _WIN32
// Running out of memory while listing shows a message and ends with exit code 1, before any
// question. (A real run out of memory, while listing and while writing, is in cli_test.cpp.)
TEST(RunArguments, RunningOutOfMemoryWhileListingIsAnErrorNotAnAbort) {
    struct ExhaustedFileSystem : FakeFileSystem {
        bool listFolder(const std::string& folderPath, FolderId& id,
                        std::vector<FolderItem>& items) override {
            FakeFileSystem::listFolder(folderPath, id, items);
            if (folderPath == "/w/pack/deep") throw std::bad_alloc();
            return true;
        }
    };
    FakeDialog dialog;
    ExhaustedFileSystem fs;
    fs.folders["/w/pack"] = {fakeFile("a"), fakeFolder("deep")};
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({"/w/pack/"}, dialog, fs), 1);
    EXPECT_EQ(dialog.shown,
              std::vector<std::string>{"error: Out of memory listing the folder \"/w/pack/\""});
}
#endif

TEST(RunQuestions, CancelAtTheFirstQuestionMakesNoExistenceTest) {
    FakeDialog dialog;
    FakeFileSystem fs;
    fs.folders["pack"] = {fakeFile("a"), fakeFile("b")};
    fs.existing = {"pack.zem"};
    dialog.answers = {false};
    EXPECT_EQ(runZemBuilder({native("pack/")}, dialog, fs), 0);
    EXPECT_EQ(dialog.shown,
              std::vector<std::string>{"ask: Generating \"pack.zem\" from 2 files. Continue?"});
    EXPECT_EQ(fs.calls, std::vector<std::string>{"list pack"});
}

TEST(RunQuestions, CancelAtTheSecondQuestionEndsWithoutWriting) {
    FakeDialog dialog;
    FakeFileSystem fs;
    fs.folders["pack"] = {fakeFile("only")};
    fs.existing = {"pack.zem"};
    dialog.answers = {true, false};
    EXPECT_EQ(runZemBuilder({"pack"}, dialog, fs), 0);
    EXPECT_EQ(dialog.shown,
              (std::vector<std::string>{
                  "ask: Generating \"pack.zem\" from 1 files. Continue?",
                  "ask: ZEM file \"pack.zem\" already exists. Definitely continue?"}));
    EXPECT_EQ(fs.calls, (std::vector<std::string>{"list pack", "exists pack.zem"}));
}

// A folder "pack" holding a.txt and sub/b.bin, beside the place of its archive.
struct RunTree : ::testing::Test {
    TempDir tmp;
    std::string root = tmp / "pack";
    std::string archive = root + ".zem";
    void SetUp() override {
        makeDirs(join(root, "sub"));
        writeFile(join(root, "a.txt"), "hello");
        writeFile(join(root, "sub/b.bin"), "bb");
    }
};

TEST_F(RunTree, OkOnBothQuestionsWithATrailingSeparatorPacksBesideTheFolder) {
    writeFile(archive, "old");
    FakeDialog dialog;
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({root + native("/")}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown,
              (std::vector<std::string>{
                  "ask: Generating \"" + archive + "\" from 2 files. Continue?",
                  "ask: ZEM file \"" + archive + "\" already exists. Definitely continue?",
                  "info: ZEM creation complete."}));
    const std::string bytes = readFile(archive);
    EXPECT_EQ(bytes.size(), 28 + 5 + 2 + 2 * 4 + 20 + 6 + 20 + 10u);
    std::vector<std::string> names = storedNames(bytes);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub\\b.bin"}));
}

TEST_F(RunTree, AnEmptyFolderAsksAboutZeroFilesAndWritesTheHeader) {
    makeDirs(tmp / "empty");
    FakeDialog dialog;
    dialog.answers = {true};
    EXPECT_EQ(runZemBuilder({tmp / "empty"}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown.front(),
              "ask: Generating \"" + tmp / "empty" + ".zem\" from 0 files. Continue?");
    EXPECT_EQ(readFile(tmp / "empty.zem").size(), 28u);
}

TEST_F(RunTree, AFolderAtTheArchivePathIsAskedAboutThenFails) {
    makeDirs(archive);
    FakeDialog dialog;
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 1);
    EXPECT_EQ(dialog.shown,
              (std::vector<std::string>{
                  "ask: Generating \"" + archive + "\" from 2 files. Continue?",
                  "ask: ZEM file \"" + archive + "\" already exists. Definitely continue?",
                  "error: Error opening .zem file (\"" + archive + "\") for output"}));
}

// A dialog whose first answer comes only after something has happened to the folder.
struct MeanwhileDialog : FakeDialog {
    std::function<void()> meanwhile;
    bool askToContinue(const std::string& text) override {
        if (meanwhile) {
            meanwhile();
            meanwhile = nullptr;
        }
        return FakeDialog::askToContinue(text);
    }
};

TEST_F(RunTree, AFileRemovedWhileTheQuestionIsOpenEndsWithTheErrorAndKeepsTheArchive) {
    writeFile(archive, "previous");
    MeanwhileDialog dialog;
    dialog.answers = {true, true};
    dialog.meanwhile = [&] { ASSERT_EQ(std::remove(join(root, "sub/b.bin").c_str()), 0); };
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 1);
    ASSERT_EQ(dialog.shown.size(), 3u);
    EXPECT_EQ(dialog.shown[2],
              "error: Error opening file \"" + join(root, "sub/b.bin") + "\" for input");
    EXPECT_EQ(readFile(archive), "previous");
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

TEST_F(RunTree, APlainFileIsNoFolderToPack) {
    writeFile(tmp / "plain.txt", "text");
    FakeDialog dialog;
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({tmp / "plain.txt"}, dialog, systemFileSystem()), 1);
    // With the reason in the system's words ("Not a directory" on Linux).
    const std::string start = "error: Error opening folder \"" + tmp / "plain.txt" + "\": ";
    ASSERT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(dialog.shown[0].rfind(start, 0), 0u) << dialog.shown[0];
    EXPECT_GT(dialog.shown[0].size(), start.size()) << dialog.shown[0];
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "plain.txt"}));
}

TEST_F(RunTree, CancelWritesNothing) {
    FakeDialog dialog;
    dialog.answers = {false};
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});
}

// Every message with {A} and {F} standing for the archive and the folder.
std::vector<std::string> expandPaths(const std::vector<std::string>& texts,
                                     const std::string& archive, const std::string& folder) {
    std::vector<std::string> out;
    for (std::string text : texts) {
        for (const auto& [mark, value] : {std::pair<std::string, std::string>{"{A}", archive},
                                          std::pair<std::string, std::string>{"{F}", folder}}) {
            for (size_t at; (at = text.find(mark)) != std::string::npos;) {
                text.replace(at, mark.size(), value);
            }
        }
        out.push_back(text);
    }
    return out;
}

// The files below a folder with their contents, "name=data" in sorted order, one level of
// subfolders deep; "-" when the folder is missing.
std::string folderContents(const std::string& folder) {
    if (!isFolder(folder)) return "-";
    std::string contents;
    for (const std::string& name : listNames(folder)) {
        const std::string path = join(folder, name);
        if (isFolder(path)) {
            for (const std::string& inner : listNames(path)) {
                contents += " " + name + "/" + inner + "=" + readFile(join(path, inner));
            }
        } else {
            contents += " " + name + "=" + readFile(path);
        }
    }
    return contents.empty() ? contents : contents.substr(1);
}

// An archive "pack.zem" beside the place of its folder, built byte by byte.
struct UnpackTree : ::testing::Test {
    TempDir tmp;
    std::string archive = tmp / "pack.zem";
    std::string folder = tmp / "pack";
    void writeArchive(const std::vector<TestFile>& files) {
        writeFile(archive, buildArchive(files).text());
    }
    std::vector<std::string> expand(const std::vector<std::string>& texts) const {
        return expandPaths(texts, archive, folder);
    }
};

const std::vector<TestFile> kTwoFiles = {{"a.txt", "hello", {}}, {"sub\\b.bin", "bb", {}}};

// Every text and exit code of an unpacking run. A message ending in "..." matches by its start;
// `after` is the folder's listing, its files and their contents ("-" when the folder is missing).
TEST(RunUnpack, EveryTextExitCodeAndWhatIsLeft) {
    const std::string ask = "ask: Extracting 2 files from \"{A}\" into \"{F}\". Continue?";
    const std::string askExisting =
        "ask: Folder \"{F}\" already exists. Files in it with the same "
        "names will be replaced. Definitely continue?";
    const std::string done = "info: ZEM extraction complete.";
    BuiltArchive truncated = buildArchive(kTwoFiles);
    truncated.bytes.resize(truncated.bytes.size() - 1);
    struct Case {
        const char* label;
        std::string bytes;
        bool folderExists;  // holding a.txt "old" and keep.txt
        std::deque<bool> answers;
        std::vector<std::string> shown;
        int exitCode;
        std::string after;
    } cases[] = {
        {"fresh folder, OK",
         buildArchive(kTwoFiles).text(),
         false,
         {true},
         {ask, done},
         0,
         "a.txt=hello sub/b.bin=bb"},
        {"existing folder, OK twice",
         buildArchive(kTwoFiles).text(),
         true,
         {true, true},
         {ask, askExisting, done},
         0,
         "a.txt=hello keep.txt=k sub/b.bin=bb"},
        {"Cancel at the first question",
         buildArchive(kTwoFiles).text(),
         false,
         {false},
         {ask},
         0,
         "-"},
        {"Cancel at the second question",
         buildArchive(kTwoFiles).text(),
         true,
         {true, false},
         {ask, askExisting},
         0,
         "a.txt=old keep.txt=k"},
        {"damaged archive",
         truncated.text(),
         false,
         {true, true},
         {"error: Error reading .zem file (\"{A}\"): ..."},
         1,
         "-"},
        {"damaged archive, existing folder",
         truncated.text(),
         true,
         {true, true},
         {"error: Error reading .zem file (\"{A}\"): ..."},
         1,
         "a.txt=old keep.txt=k"},
        {"a name that climbs out",
         buildArchive({{"..\\evil", "x", {}}}).text(),
         false,
         {true, true},
         {"error: Error reading .zem file (\"{A}\"): record 0: ..."},
         1,
         "-"},
        {"an absolute name",
         buildArchive({{"\\evil", "x", {}}}).text(),
         true,
         {true, true},
         {"error: Error reading .zem file (\"{A}\"): record 0: ..."},
         1,
         "a.txt=old keep.txt=k"},
        {"a folder where a file goes",
         buildArchive({{"keep.txt\\c", "x", {}}}).text(),
         true,
         {true, true},
         {"error: Error extracting .zem file (\"{A}\"): record 0: ..."},
         1,
         "a.txt=old keep.txt=k"},
        {"an empty archive",
         buildArchive({}).text(),
         false,
         {true},
         {"ask: Extracting 0 files from \"{A}\" into \"{F}\". Continue?", done},
         0,
         ""},
        {"one file",
         buildArchive({{"a.txt", "hello", {}}}).text(),
         false,
         {true},
         {"ask: Extracting 1 file from \"{A}\" into \"{F}\". Continue?", done},
         0,
         "a.txt=hello"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir tmp;
        const std::string archive = tmp / "pack.zem";
        const std::string folder = tmp / "pack";
        writeFile(archive, c.bytes);
        FakeFileSystem fs;
        if (c.folderExists) {
            makeDirs(folder);
            writeFile(join(folder, "a.txt"), "old");
            writeFile(join(folder, "keep.txt"), "k");
            fs.existing = {folder};
        }
        FakeDialog dialog;
        dialog.answers = c.answers;
        EXPECT_EQ(runZemBuilder({archive}, dialog, fs), c.exitCode);
        const std::vector<std::string> expected = expandPaths(c.shown, archive, folder);
        ASSERT_EQ(dialog.shown.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const std::string& want = expected[i];
            if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
                EXPECT_EQ(dialog.shown[i].substr(0, want.size() - 3),
                          want.substr(0, want.size() - 3));
            } else {
                EXPECT_EQ(dialog.shown[i], want);
            }
        }
        EXPECT_EQ(folderContents(folder), c.after);
        // Nothing beside the two, and so no temporary file either.
        EXPECT_EQ(listNames(tmp.path), isFolder(folder)
                                           ? (std::vector<std::string>{"pack", "pack.zem"})
                                           : std::vector<std::string>{"pack.zem"});
    }
}

// The viewer's Extract all and Extract selected: into a folder the user picked, which exists, with
// unpacking's checks and messages; the question about replacing comes only when a chosen file is
// already there. `before` is what the folder holds first ("name=data" pairs, "/" for a folder).
TEST(RunUnpack, TheViewerExtractsChosenFilesIntoAPickedFolder) {
    const std::string done = "info: ZEM extraction complete.";
    const std::string askReplace =
        "ask: Folder \"{F}\" already exists. Files in it with the same "
        "names will be replaced. Definitely continue?";
    struct Case {
        const char* label;
        std::vector<size_t> chosen;
        std::vector<std::string> before;
        std::deque<bool> answers;
        std::vector<std::string> shown;
        int exitCode;
        std::string after;
    } cases[] = {
        {"all, into an empty folder",
         {0, 1},
         {},
         {true},
         {"ask: Extracting 2 files from \"{A}\" into \"{F}\". Continue?", done},
         0,
         "a.txt=hello sub/b.bin=bb"},
        {"one, beside an unrelated file: no question about replacing",
         {1},
         {"keep.txt=k"},
         {true},
         {"ask: Extracting 1 file from \"{A}\" into \"{F}\". Continue?", done},
         0,
         "keep.txt=k sub/b.bin=bb"},
        {"a chosen file is there: replaced after the question",
         {1, 0, 1},
         {"a.txt=old"},
         {true, true},
         {"ask: Extracting 2 files from \"{A}\" into \"{F}\". Continue?", askReplace, done},
         0,
         "a.txt=hello sub/b.bin=bb"},
        {"Cancel at the question about replacing",
         {0},
         {"a.txt=old"},
         {true, false},
         {"ask: Extracting 1 file from \"{A}\" into \"{F}\". Continue?", askReplace},
         0,
         "a.txt=old"},
        {"a file where a folder goes: refused before any question",
         {0, 1},
         {"sub=file"},
         {true, true},
         {"error: Error extracting .zem file (\"{A}\"): record 1: ..."},
         1,
         "sub=file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir tmp;
        const std::string archivePath = tmp / "pack.zem";
        const std::string folder = tmp / "picked";
        writeFile(archivePath, buildArchive(kTwoFiles).text());
        makeDirs(folder);
        for (const std::string& entry : c.before) {
            const size_t eq = entry.find('=');
            writeFile(join(folder, entry.substr(0, eq)), entry.substr(eq + 1));
        }
        LoadedArchive archive;
        FakeDialog dialog;
        ASSERT_TRUE(loadArchiveForUnpacking(archivePath, archive, dialog));
        dialog.answers = c.answers;
        FakeFileSystem fs;
        EXPECT_EQ(extractRecords(archive, c.chosen, folder, dialog, fs), c.exitCode);
        const std::vector<std::string> expected = expandPaths(c.shown, archivePath, folder);
        ASSERT_EQ(dialog.shown.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const std::string& want = expected[i];
            const size_t keep = want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0
                                    ? want.size() - 3
                                    : std::string::npos;
            EXPECT_EQ(dialog.shown[i].substr(0, keep), want.substr(0, keep));
        }
        EXPECT_EQ(folderContents(folder), c.after);
        // The viewer goes on showing every record.
        ASSERT_EQ(archive.records.size(), 2u);
        EXPECT_EQ(archive.records[1].name, "sub\\b.bin");
    }
}

// A display that cancels once `cancelAt` files are done.
struct CancellingDialog : FakeDialog {
    uint64_t cancelAt = 0;
    struct Display : ProgressDisplay {
        uint64_t cancelAt;
        explicit Display(uint64_t at) : cancelAt(at) {}
        void update(const WriteProgress& progress) override {
            if (progress.filesDone == cancelAt) throw Cancelled();
        }
    };
    std::unique_ptr<ProgressDisplay> startProgress() override {
        return std::make_unique<Display>(cancelAt);
    }
};

TEST_F(UnpackTree, CancelOnTheProgressKeepsTheFilesInPlaceAndNoTemporaryFile) {
    writeArchive({{"a.txt", "1", {}}, {"b.txt", "2", {}}, {"c.txt", "3", {}}});
    CancellingDialog dialog;
    dialog.cancelAt = 1;
    dialog.answers = {true};
    EXPECT_EQ(runZemBuilder({archive}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown,
              expand({"ask: Extracting 3 files from \"{A}\" into \"{F}\". Continue?"}));
    EXPECT_EQ(listNames(folder), std::vector<std::string>{"a.txt"});
}

// A subfolder turned into a file while the question is open: the write fails with its error and
// the file already in place stays, with no temporary file beside it.
TEST_F(UnpackTree, AFailedWriteIsAnErrorWithNoTemporaryFileLeft) {
    writeArchive({{"a.txt", "1", {}}, {"sub\\b.txt", "2", {}}});
    MeanwhileDialog dialog;
    dialog.answers = {true, true};
    dialog.meanwhile = [&] {
        makeDirs(folder);
        writeFile(join(folder, "sub"), "in the way");
    };
    EXPECT_EQ(runZemBuilder({archive}, dialog, systemFileSystem()), 1);
    ASSERT_EQ(dialog.shown.size(), 3u);
    EXPECT_EQ(dialog.shown[1], expand({"ask: Folder \"{F}\" already exists. Files in it with the "
                                       "same names will be replaced. Definitely continue?"})[0]);
    EXPECT_EQ(
        dialog.shown[2].rfind(expand({"error: Error extracting .zem file (\"{A}\"): "})[0], 0), 0u)
        << dialog.shown[2];
    EXPECT_NE(dialog.shown[2].find(join(folder, "sub")), std::string::npos) << dialog.shown[2];
    EXPECT_EQ(listNames(folder), (std::vector<std::string>{"a.txt", "sub"}));
}

// Which run an argument gets: the suffix in any letter case on a regular file unpacks; a folder
// named like an archive packs as before; a file named just ".zem" names no folder to unpack into.
TEST_F(UnpackTree, TheArgumentDecidesBetweenUnpackingAndPacking) {
    writeFile(tmp / "UPPER.ZEM", buildArchive({{"x", "1", {}}}).text());
    FakeDialog upper;
    upper.answers = {true};
    EXPECT_EQ(runZemBuilder({tmp / "UPPER.ZEM"}, upper, systemFileSystem()), 0);
    EXPECT_EQ(readFile(tmp / "UPPER/x"), "1");

    makeDirs(tmp / "box.zem");
    writeFile(tmp / "box.zem/f", "f");
    FakeDialog folderDialog;
    EXPECT_EQ(runZemBuilder({tmp / "box.zem"}, folderDialog, systemFileSystem()), 0);
    EXPECT_EQ(folderDialog.shown, std::vector<std::string>{"ask: Generating \"" + tmp / "box.zem" +
                                                           ".zem\" from 1 files. Continue?"});

    writeFile(tmp / ".zem", buildArchive({}).text());
    FakeDialog bare;
    EXPECT_EQ(runZemBuilder({tmp / ".zem"}, bare, systemFileSystem()), 1);
    EXPECT_EQ(bare.shown, std::vector<std::string>{
                              "error: Error extracting .zem file (\"" + tmp / ".zem" +
                              "\"): can't name a folder to extract it into, as its name is just "
                              "\".zem\", which leaves no folder name"});
}

// Pack a folder by its drop, move the archive to a fresh place, unpack it by its drop there: the
// same files with the same contents and times come back.
TEST(RunRoundTrip, PackedThenUnpackedGivesTheSameFilesAndTimes) {
    TempDir tmp;
    const std::string root = tmp / "trip";
    makeDirs(join(root, "sub/deeper"));
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "hello"}, {"sub/b.bin", std::string(3 << 20, 'b')}, {"sub/deeper/c", ""}};
    int64_t when = 1100000001;  // an odd second: the archive keeps times to the second
    for (const auto& [name, data] : files) {
        writeFile(join(root, name), data);
        setModifiedTime(join(root, name), when);
        when += 86400 * 40;
    }
    FakeDialog pack;
    pack.answers = {true};
    ASSERT_EQ(runZemBuilder({root}, pack, systemFileSystem()), 0);

    makeDirs(tmp / "elsewhere");
    const std::string moved = tmp / "elsewhere/trip.zem";
    writeFile(moved, readFile(root + ".zem"));
    FakeDialog unpack;
    unpack.answers = {true};
    ASSERT_EQ(runZemBuilder({moved}, unpack, systemFileSystem()), 0);
    EXPECT_EQ(unpack.shown.back(), "info: ZEM extraction complete.");
    const std::string back = tmp / "elsewhere/trip";
    EXPECT_EQ(listNames(back), (std::vector<std::string>{"a.txt", "sub"}));
    EXPECT_EQ(listNames(join(back, "sub")), (std::vector<std::string>{"b.bin", "deeper"}));
    EXPECT_EQ(listNames(join(back, "sub/deeper")), std::vector<std::string>{"c"});
    for (const auto& [name, data] : files) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFile(join(back, name)), data);
        EXPECT_EQ(modifiedTime(join(back, name)), modifiedTime(join(root, name)));
    }
}

TEST(TerminalAnswers, OkWordsEmptyLineAndEverythingElse) {
    for (const char* ok :
         {"", "ok", "OK", "Ok", "o", "O", "y", "Y", "yes", "YES", " yes ", "ok\r"}) {
        EXPECT_TRUE(isOkAnswer(ok)) << '"' << ok << '"';
    }
    for (const char* no : {"n", "no", "cancel", "c", "yess", "okay", "0", "y y", "q"}) {
        EXPECT_FALSE(isOkAnswer(no)) << '"' << no << '"';
    }
}

#ifdef _WIN32

// A slash is no separator to trim on Windows: the folder named with one packs into ".zem" inside
// it, with the same stored names.
TEST_F(RunTree, ForwardSlashWritesDotZemInsideWithTheSameNames) {
    FakeDialog dialog;
    dialog.answers = {true};
    EXPECT_EQ(runZemBuilder({root + "/"}, dialog, systemFileSystem()), 0);
    ASSERT_EQ(dialog.shown.size(), 2u);
    EXPECT_EQ(dialog.shown[0], "ask: Generating \"" + root + "/.zem\" from 2 files. Continue?");
    std::vector<std::string> names = storedNames(readFile(join(root, ".zem")));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub\\b.bin"}));
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});
}

// Makes the file, or the folder holding p.txt, `name` inside the ASCII folder `folder`, by its
// "\\?\" path, which takes the name as it is spelled. A file holds its name and "!", so that one
// read under another's name shows.
void makeWide(const std::string& folder, const std::wstring& name, bool isFolder) {
    std::wstring path = L"\\\\?\\" + std::wstring(folder.begin(), folder.end()) + L"\\" + name;
    if (isFolder) {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
        path += L"\\p.txt";
    }
    std::string content;
    for (size_t i = path.find_last_of(L'\\') + 1; i < path.size(); ++i) {
        content.push_back(path[i] < 0x80 ? static_cast<char>(path[i]) : '?');
    }
    content.push_back('!');
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    CloseHandle(h);
}

// A name with a character the code page lacks (1252 here) can't be stored: it is refused right
// after the listing, before any question, with the character spelled out; never stored as the
// look-alike the ANSI calls make of it ("．．／s" as "../s", "ａ.txt" as "a.txt", "ＣＯＮ" as
// "CON"). A folder's name counts for the files below it.
TEST_F(RunTree, NamesTheCodePageLacksAreRefusedBeforeAnyQuestion) {
    ASSERT_EQ(GetACP(), 1252u);
    const struct {
        std::wstring name;
        bool isFolder;
        std::string shown;  // the refused file's path below the root
    } cases[] = {
        {L"\uff0e\uff0e\uff0fs", true, "<U+FF0E><U+FF0E><U+FF0F>s\\p.txt"},
        {L"\uff0e\uff0e", true, "<U+FF0E><U+FF0E>\\p.txt"},
        {L"\uff41.txt", false, "<U+FF41>.txt"},
        {L"\uff23\uff2f\uff2e", false, "<U+FF23><U+FF2F><U+FF2E>"},
        {L"a\uff1ab", false, "a<U+FF1A>b"},
        {L"\u65e5\u672c.txt", false, "<U+65E5><U+672C>.txt"},
        {L"\U0001f600", false, "<U+1F600>"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string caseRoot = root + std::to_string(n++);
        makeDirs(caseRoot);
        writeFile(join(caseRoot, "a.txt"), "a");
        makeWide(caseRoot, c.name, c.isFolder);
        FakeDialog dialog;
        dialog.answers = {true, true};
        EXPECT_EQ(runZemBuilder({caseRoot}, dialog, systemFileSystem()), 1) << c.shown;
        EXPECT_EQ(dialog.shown,
                  std::vector<std::string>{"error: File name \"" + caseRoot + "\\" + c.shown +
                                           "\" holds characters that the system code page lacks "
                                           "(shown as <U+XXXX>), which a .zem file can't store "
                                           "faithfully"});
        EXPECT_FALSE(exists(caseRoot + ".zem")) << c.shown;
    }
}

// Each file is read by its own name: "x." beside "x" is stored with its own bytes (the ANSI calls
// drop the trailing dot and read x's), and folders past MAX_PATH's reach are listed.
TEST_F(RunTree, NamesAndPathsReachTheirOwnFiles) {
    makeWide(root, L"x", false);
    makeWide(root, L"x.", false);
    std::string deep = root;
    for (char letter : {'d', 'e', 'f'}) {
        makeWide(deep, std::wstring(100, static_cast<wchar_t>(letter)), true);
        deep += "\\" + std::string(100, letter);
    }
    FakeDialog dialog;
    dialog.answers = {true};
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 0);
    ASSERT_EQ(dialog.shown.size(), 2u) << dialog.shown[0];
    EXPECT_EQ(dialog.shown[0], "ask: Generating \"" + archive + "\" from 7 files. Continue?");
    const std::string bytes = readFile(archive);
    std::vector<std::string> names = storedNames(bytes);
    std::sort(names.begin(), names.end());
    const std::string d(100, 'd'), e(100, 'e'), f(100, 'f');
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", d + "\\" + e + "\\" + f + "\\p.txt",
                                               d + "\\" + e + "\\p.txt", d + "\\p.txt",
                                               "sub\\b.bin", "x", "x."}));
    EXPECT_NE(bytes.find("x!"), std::string::npos);
    EXPECT_NE(bytes.find("x.!"), std::string::npos);
}

#endif  // _WIN32

}  // namespace
