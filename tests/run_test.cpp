// The run sequence with a scripted dialog, on a scripted file system and on real folders: no
// dialog ever opens here. Cases only Windows has sit in its section at the end.

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <new>

#include "app/run.h"
#include "app/terminal_answer.h"
#include "archive_builder.h"
#include "fakes.h"
#include "test_util.h"

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
// with no question and nothing written; an empty folder still gets its question (RunTree).
TEST(RunArguments, APathThatIsNoFolderIsAnErrorWithNothingWritten) {
    FakeDialog dialog;
    FakeFileSystem fs;
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({native("nosuchdir/")}, dialog, fs), 1);
    EXPECT_EQ(dialog.shown, std::vector<std::string>{"error: Error opening folder \"" +
                                                     native("nosuchdir/") + "\""});
    EXPECT_EQ(fs.calls, std::vector<std::string>{"list nosuchdir"});
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
    EXPECT_EQ(dialog.shown, std::vector<std::string>{"error: Error opening folder \"" +
                                                     tmp / "plain.txt" + "\""});
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "plain.txt"}));
}

TEST_F(RunTree, CancelWritesNothing) {
    FakeDialog dialog;
    dialog.answers = {false};
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});
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

// Names travel as system code page bytes; one the code page can't spell comes back from the
// listing with question marks and can't be opened under that name.
TEST_F(RunTree, ANameOutsideTheCodePageEndsWithTheInputError) {
    const std::wstring wideRoot(root.begin(), root.end());
    const HANDLE file = CreateFileW((wideRoot + L"\\\u65e5\u672c.txt").c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    FakeDialog dialog;
    dialog.answers = {true};
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 1);
    ASSERT_EQ(dialog.shown.size(), 2u);
    EXPECT_EQ(dialog.shown[0], "ask: Generating \"" + archive + "\" from 3 files. Continue?");
    EXPECT_EQ(dialog.shown[1],
              "error: Error opening file \"" + join(root, "??.txt") + "\" for input");
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});
}

#endif  // _WIN32

}  // namespace
