// The run sequence on Windows paths with a scripted dialog: no message box ever opens here.

#include <windows.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <functional>

#include "app/run.h"
#include "archive_builder.h"
#include "fakes.h"
#include "test_util.h"

namespace {

struct RunWin32Tree : ::testing::Test {
    TempDir tmp;
    std::string root = join(tmp.path, "pack");
    std::string archive = root + ".zem";
    void SetUp() override {
        makeDirs(join(root, "sub"));
        writeFile(join(root, "a.txt"), "hello");
        writeFile(join(root, "sub\\b.bin"), "bb");
    }
};

TEST_F(RunWin32Tree, TrailingBackslashPacksBesideTheFolder) {
    FakeDialog dialog;
    dialog.answers = {true};
    EXPECT_EQ(runZemBuilder({root + "\\"}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown, (std::vector<std::string>{
                                "ask: Generating \"" + archive + "\" from 2 files. Continue?",
                                "info: ZEM creation complete."}));
    std::vector<std::string> names = storedNames(readFile(archive));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub\\b.bin"}));
}

TEST_F(RunWin32Tree, ForwardSlashWritesDotZemInsideWithTheSameNames) {
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

TEST_F(RunWin32Tree, AFolderAtTheArchivePathIsAskedAboutThenFails) {
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

TEST_F(RunWin32Tree, AFileRemovedWhileTheQuestionIsOpenEndsWithTheErrorAndKeepsTheArchive) {
    writeFile(archive, "previous");
    MeanwhileDialog dialog;
    dialog.answers = {true, true};
    dialog.meanwhile = [&] { ASSERT_TRUE(DeleteFileA(join(root, "sub\\b.bin").c_str())); };
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 1);
    ASSERT_EQ(dialog.shown.size(), 3u);
    EXPECT_EQ(dialog.shown[2],
              "error: Error opening file \"" + join(root, "sub\\b.bin") + "\" for input");
    EXPECT_EQ(readFile(archive), "previous");
    EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

// Names travel as system code page bytes; one the code page can't spell comes back from the
// listing with question marks and can't be opened under that name.
TEST_F(RunWin32Tree, ANameOutsideTheCodePageEndsWithTheInputError) {
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

TEST_F(RunWin32Tree, CancelWritesNothing) {
    FakeDialog dialog;
    dialog.answers = {false};
    EXPECT_EQ(runZemBuilder({root}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"pack"});
}

}  // namespace
