// The writer through the Win32 archive file: exact bytes, the temporary file beside the archive,
// the atomic replacement, and every failure leaving the previous archive as it was.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "archive/bytes.h"
#include "archive/local_time.h"
#include "archive/output_file.h"
#include "scan/scan.h"
#include "win32_test_util.h"

namespace {

// A folder "pack" inside a temporary folder, and its archive path beside it.
struct Pack {
    TempDir tmp;
    std::string root = join(tmp.path, "pack");
    std::string archive = root + ".zem";
    Pack() { makeDirs(root); }

    FileEntry add(const std::string& relative, const std::string& contents, int64_t time = 0) {
        const size_t sep = relative.rfind('\\');
        if (sep != std::string::npos) makeDirs(join(root, relative.substr(0, sep)));
        writeFile(join(root, relative), contents);
        FileEntry e;
        e.path = join(root, relative);
        e.storedName = relative;
        e.size = contents.size();
        e.modifiedTime = time;
        return e;
    }
};

TEST(WriterWin32, OneFileArchiveMatchesByteForByte) {
    Pack p;
    FileList list{p.add("a.txt", "hello", secondsFromCalendar({2004, 7, 9, 13, 45, 30}))};
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    ASSERT_EQ(bytes.size(), 63u);
    EXPECT_EQ(
        hex(bytes.substr(0, 28)),
        "00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 1A 00 00 00 21 00 00 00 08 00 00 00");
    EXPECT_EQ(bytes.substr(28, 5), "hello");
    EXPECT_EQ(hex(bytes.substr(33)),
              "00 00 00 00 1C 00 00 00 05 00 00 00 05 00 00 00 D4 07 07 09 0D 2D 1E 00 61 2E 74 78 "
              "74 00");
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

TEST(WriterWin32, LargeAndEmptyFilesInSubfoldersAndAGrownFileCutAtItsScannedSize) {
    Pack p;
    std::string big(3 * 1024 * 1024 + 17, '\0');  // several copy buffers and an odd tail
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 7);
    FileList list{p.add("sub\\big", big), p.add("sub\\deeper\\empty", ""),
                  p.add("grown", "0123456789")};
    list[2].size = 4;  // as if the file had four bytes when the folder was scanned
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    EXPECT_EQ(bytes.substr(28, big.size()), big);
    EXPECT_EQ(bytes.substr(28 + big.size(), 4), "0123");
    const std::vector<uint32_t> offsets = dataOffsets(bytes);
    ASSERT_EQ(offsets.size(), 3u);
    EXPECT_EQ(offsets[1], offsets[2]);
    EXPECT_EQ(readU32(reinterpret_cast<const uint8_t*>(&bytes[20])), 28 + big.size() + 4);
    EXPECT_EQ(storedNames(bytes),
              (std::vector<std::string>{"sub\\big", "sub\\deeper\\empty", "grown"}));
}

TEST(WriterWin32, AnExistingArchiveIsReplacedAndNothingIsLeftBeside) {
    Pack p;
    writeFile(p.archive, std::string(5000, 'o'));
    FileList list{p.add("a", "new")};
    writeArchive(p.archive, list);
    EXPECT_EQ(readFile(p.archive).size(), 28 + 3 + 4 + 20 + 2u);
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

// Relative and drive-relative archive paths put the temporary file in the current folder.
TEST(WriterWin32, RelativeAndDriveRelativeArchivePaths) {
    Pack p;
    FileList list{p.add("a", "aa")};
    char previous[MAX_PATH + 1];
    ASSERT_GT(GetCurrentDirectoryA(sizeof previous, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(p.tmp.path.c_str()));
    writeArchive("pack.zem", list);
    const std::string driveRelative = p.tmp.path.substr(0, 2) + "drive.zem";
    writeArchive(driveRelative, list);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"drive.zem", "pack", "pack.zem"}));
    EXPECT_EQ(readFile(p.archive), readFile(join(p.tmp.path, "drive.zem")));
}

TEST(WriterWin32, AnUncommittedFileSitsBesideTheArchiveAndIsRemovedWithIt) {
    Pack p;
    {
        OutputFile out;
        createOutputFile(out, p.archive);
        writeOutput(out, "partial", 7);
        const std::vector<std::string> names = listNames(p.tmp.path);
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0].rfind(".zem-", 0), 0u) << names[0];
    }
    EXPECT_EQ(listNames(p.tmp.path), std::vector<std::string>{"pack"});
}

// An archive name past the system's limits is the open error, before any data is written.
TEST(WriterWin32, AnArchiveNameTooLongIsTheOpenErrorBeforeAnyData) {
    Pack p;
    const std::string archive = join(p.tmp.path, std::string(252, 'n') + ".zem");
    FileList list{p.add("a", "aaa")};
    EXPECT_EQ(failureOf(archive, list), "Error opening .zem file (\"" + archive + "\") for output");
    EXPECT_EQ(listNames(p.tmp.path), std::vector<std::string>{"pack"});
}

// Each failure: the exact text, the previous archive unchanged, nothing left beside it.
struct WriterWin32Failure : ::testing::Test {
    Pack p;
    const std::string previous = "previous archive bytes";
    void SetUp() override { writeFile(p.archive, previous); }
    void expectUntouched() {
        EXPECT_EQ(readFile(p.archive), previous);
        EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
    }
};

TEST_F(WriterWin32Failure, MissingInputFile) {
    FileList list{p.add("a", "aaa"), p.add("b", "bbb")};
    ASSERT_TRUE(DeleteFileA(list[1].path.c_str()));
    EXPECT_EQ(failureOf(p.archive, list), "Error opening file \"" + list[1].path + "\" for input");
    expectUntouched();
}

TEST_F(WriterWin32Failure, InputHeldOpenExclusivelyByAnotherHandle) {
    FileList list{p.add("a", "aaa")};
    const HANDLE held = CreateFileA(list[0].path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string failure = failureOf(p.archive, list);
    CloseHandle(held);
    EXPECT_EQ(failure, "Error opening file \"" + list[0].path + "\" for input");
    expectUntouched();
}

TEST_F(WriterWin32Failure, InputShorterThanScanned) {
    FileList list{p.add("a", std::string(3 * 1024 * 1024, 'a'))};
    list[0].size += 1;
    EXPECT_EQ(failureOf(p.archive, list), "Error reading data from file \"" + list[0].path + "\"");
    expectUntouched();
}

TEST_F(WriterWin32Failure, AFolderListedAsAFile) {
    FileList list{p.add("a", "aaa")};
    makeDirs(join(p.root, "now-a-folder"));
    FileEntry folder = list[0];
    folder.path = join(p.root, "now-a-folder");
    list.push_back(folder);
    EXPECT_EQ(failureOf(p.archive, list), "Error opening file \"" + folder.path + "\" for input");
    RemoveDirectoryA(folder.path.c_str());
    expectUntouched();
}

TEST_F(WriterWin32Failure, FolderAtTheArchivePathOrNoSuchFolder) {
    FileList list{p.add("a", "aaa")};
    const std::string missingFolder = join(p.tmp.path, "missing\\pack.zem");
    EXPECT_EQ(failureOf(missingFolder, list),
              "Error opening .zem file (\"" + missingFolder + "\") for output");
    expectUntouched();

    ASSERT_TRUE(DeleteFileA(p.archive.c_str()));
    makeDirs(p.archive);
    EXPECT_EQ(failureOf(p.archive, list),
              "Error opening .zem file (\"" + p.archive + "\") for output");
    EXPECT_TRUE(listNames(p.archive).empty());
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

}  // namespace

// A large file reports each piece but its last while it is copied; a cancel at a piece stops the
// copy there and leaves the previous archive and nothing beside it.
TEST_F(WriterWin32Failure, ALargeFileReportsItsPiecesAndACancelThereLeavesNothingBehind) {
    struct Recording : ProgressDisplay {
        std::vector<uint64_t> bytesDone;
        size_t cancelAt = SIZE_MAX;
        void update(const WriteProgress& progress) override {
            bytesDone.push_back(progress.bytesDone);
            if (bytesDone.size() - 1 == cancelAt) throw WriteCancelled();
        }
    };
    const uint64_t piece = 8 << 20;
    FileList list{p.add("big", std::string(2 * piece + 1, 'b'))};
    Recording cancelling;
    cancelling.cancelAt = 1;
    EXPECT_THROW(writeArchive(p.archive, list, &cancelling), WriteCancelled);
    EXPECT_EQ(cancelling.bytesDone, (std::vector<uint64_t>{0, piece}));
    expectUntouched();

    Recording all;
    writeArchive(p.archive, list, &all);
    EXPECT_EQ(all.bytesDone, (std::vector<uint64_t>{0, piece, 2 * piece, 2 * piece + 1}));
}
