#include <gtest/gtest.h>

#include <new>

#include "app/run.h"
#include "app/terminal_answer.h"
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
    EXPECT_EQ(runZemBuilder({"pack/"}, dialog, fs), 1);
    EXPECT_EQ(dialog.shown,
              std::vector<std::string>{"error: File name \"pack/a\\b\" holds a backslash, "
                                       "which a .zem file would read back as a subfolder"});
    EXPECT_EQ(fs.calls, std::vector<std::string>{"list pack"});
}

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

TEST(RunQuestions, CancelAtTheFirstQuestionMakesNoExistenceTest) {
    FakeDialog dialog;
    FakeFileSystem fs;
    fs.folders["pack"] = {fakeFile("a"), fakeFile("b")};
    fs.existing = {"pack.zem"};
    dialog.answers = {false};
    EXPECT_EQ(runZemBuilder({"pack/"}, dialog, fs), 0);
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

TEST(RunQuestions, OkOnBothQuestionsWritesTheArchiveAndReportsCompletion) {
    TempDir tmp;
    const std::string root = tmp / "pack";
    makeDirs(root);
    writeFile(root + "/a.txt", "hello");
    writeFile(tmp / "pack.zem", "old");
    FakeDialog dialog;
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({root + "/"}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown,
              (std::vector<std::string>{
                  "ask: Generating \"" + root + ".zem\" from 1 files. Continue?",
                  "ask: ZEM file \"" + root + ".zem\" already exists. Definitely continue?",
                  "info: ZEM creation complete."}));
    EXPECT_EQ(readFile(tmp / "pack.zem").size(), 63u);
}

TEST(RunQuestions, AnEmptyFolderAsksAboutZeroFilesAndWritesTheHeader) {
    TempDir tmp;
    makeDirs(tmp / "empty");
    FakeDialog dialog;
    dialog.answers = {true};
    EXPECT_EQ(runZemBuilder({tmp / "empty"}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown.front(),
              "ask: Generating \"" + tmp / "empty" + ".zem\" from 0 files. Continue?");
    EXPECT_EQ(readFile(tmp / "empty.zem").size(), 28u);
}

TEST(RunQuestions, AFatalErrorIsShownAndEndsWithExitCodeOne) {
    TempDir tmp;
    makeDirs(tmp / "pack");
    makeDirs(tmp / "pack.zem");
    FakeDialog dialog;
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({tmp / "pack"}, dialog, systemFileSystem()), 1);
    ASSERT_EQ(dialog.shown.size(), 3u);
    EXPECT_EQ(dialog.shown[2],
              "error: Error opening .zem file (\"" + tmp / "pack.zem" + "\") for output");
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

}  // namespace
