// The writer on real files: exact bytes, data in list order at the offsets the records name,
// progress, and every failure leaving the previous archive as it was with nothing beside it. Cases
// only one platform has sit in its section at the end.

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "archive_builder.h"
#include "common/fatal_error.h"
#include "format/local_time.h"
#include "ops/extract.h"
#include "ops/verify.h"
#include "ops/writer.h"
#include "platform/atomic_file.h"
#include "platform/scan.h"
#include "test_util.h"

#ifdef _WIN32
#include "platform/output_file.h"
#endif

namespace {

void appendToFile(const std::string& path, const std::string& more) {
    writeFile(path, readFile(path) + more);
}

// Keeps every update; throws Cancelled at update number cancelAt (from 0), if given.
struct RecordingProgress : ProgressDisplay {
    std::vector<WriteProgress> updates;
    size_t cancelAt = SIZE_MAX;
    void update(const WriteProgress& progress) override {
        updates.push_back(progress);
        if (updates.size() - 1 == cancelAt) throw Cancelled();
    }
};

TEST(WriterBytes, EmptyListIsTheTwentyEightByteHeader) {
    PackFolder p;
    FileList list;
    writeArchive(p.archive, list);
    EXPECT_EQ(
        hex(readFile(p.archive)),
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 1C 00 00 00 08 00 00 00");
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

TEST(WriterBytes, OneFileArchiveMatchesByteForByte) {
    PackFolder p;
    p.add("a.txt", "hello", secondsFromCalendar({2004, 7, 9, 13, 45, 30}));
    FileList& list = p.list;
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    ASSERT_EQ(bytes.size(), 63u);
    EXPECT_EQ(
        hex(bytes.substr(0, 28)),
        "00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 1A 00 00 00 21 00 00 00 08 00 00 00");
    EXPECT_EQ(bytes.substr(28, 5), "hello");
    EXPECT_EQ(hex(bytes.substr(33, 4)), "00 00 00 00");
    EXPECT_EQ(hex(bytes.substr(37)),
              "1C 00 00 00 05 00 00 00 05 00 00 00 D4 07 07 09 0D 2D 1E 00 61 2E 74 78 74 00");
    EXPECT_EQ(dataOffsets(bytes), std::vector<uint32_t>{28});
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

TEST(WriterBytes, NoTimeGivesEightZeroBytes) {
    PackFolder p;
    p.add("t", "", kNoTime);
    FileList& list = p.list;
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    EXPECT_EQ(hex(bytes.substr(28 + 4 + 12, 8)), "00 00 00 00 00 00 00 00");
}

TEST(WriterBytes, LayoutOfSeveralFilesWithSubfoldersOddAndEmptyFiles) {
    PackFolder p;
    p.add("odd", "abc", secondsFromCalendar({2038, 12, 31, 23, 59, 59}));
    p.add("sub/deeper/empty", "");
    p.add("sub/file.bin", std::string(4, '\xff'));
    p.add("last-empty", "");
    FileList& list = p.list;
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    const auto u32 = [&](size_t at) { return u32At(bytes, at); };

    EXPECT_EQ(u32(12), 4u);
    // 31: odd, no alignment; 31 again: an empty file shares the next file's offset; 35: the last
    // empty file points at the index.
    const std::vector<uint32_t> dataOffsets{28, 31, 31, 35};
    const uint32_t indexOffset = u32(20);
    EXPECT_EQ(indexOffset, 35u);
    EXPECT_EQ(bytes.substr(28, 7), "abc\xff\xff\xff\xff");

    const size_t recordsStart = indexOffset + 4 * 4;
    const std::vector<std::string> names{"odd", "sub\\deeper\\empty", "sub\\file.bin",
                                         "last-empty"};
    size_t expectedSlot = 0;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(u32(indexOffset + 4 * i), expectedSlot);
        const size_t record = recordsStart + expectedSlot;
        EXPECT_EQ(u32(record), dataOffsets[i]);
        EXPECT_EQ(u32(record + 4), list[i].size);
        EXPECT_EQ(u32(record + 8), list[i].size);
        EXPECT_EQ(bytes.substr(record + 20, names[i].size() + 1), names[i] + '\0');
        expectedSlot += 20 + names[i].size() + 1;
    }
    EXPECT_EQ(u32(16), expectedSlot);
    EXPECT_EQ(bytes.size(), recordsStart + expectedSlot);
    EXPECT_EQ(hex(bytes.substr(recordsStart + 12, 8)), "F6 07 0C 1F 17 3B 3B 00");
}

TEST(WriterBytes, LargeAndEmptyFilesInSubfoldersAndAGrownFileCutAtItsScannedSize) {
    PackFolder p;
    std::string big(3 * 1024 * 1024 + 17, '\0');  // several copy buffers and an odd tail
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 7);
    p.add("sub/big", big);
    p.add("sub/deeper/empty", "");
    p.add("grown", "0123456789");
    FileList& list = p.list;
    list[2].size = 4;  // as if the file had four bytes when the folder was scanned
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    EXPECT_EQ(bytes.substr(28, big.size()), big);
    EXPECT_EQ(bytes.substr(28 + big.size(), 4), "0123");
    const std::vector<uint32_t> offsets = dataOffsets(bytes);
    ASSERT_EQ(offsets.size(), 3u);
    EXPECT_EQ(offsets[1], offsets[2]);
    EXPECT_EQ(u32At(bytes, 20), 28 + big.size() + 4);
    EXPECT_EQ(storedNames(bytes),
              (std::vector<std::string>{"sub\\big", "sub\\deeper\\empty", "grown"}));
}

// On Linux small files are gathered in memory and large ones copied by the kernel: mixed in one
// list, across many gatherings' worth of bytes, the data must still come out in list order, each
// file at the offset its record names, a grown large file cut at its scanned size.
TEST(WriterBytes, MixedSmallAndLargeFilesKeepTheirOrderAndOffsets) {
    PackFolder p;
    FileList& list = p.list;
    std::string expected;
    for (int i = 0; i < 120; ++i) {
        const size_t size = i % 10 == 9 ? 300000 + i : size_t(i) * 7919 % 70000;
        std::string contents(size, '\0');
        for (size_t j = 0; j < size; ++j) contents[j] = static_cast<char>(i * 31 + j * 7);
        const std::string path =
            p.add("d" + std::to_string(i % 3) + "/f" + std::to_string(i), contents);
        if (i == 59) appendToFile(path, "grown after the scan");
        expected += contents;
    }
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    ASSERT_GT(expected.size(), size_t(4) << 20);
    EXPECT_TRUE(bytes.compare(28, expected.size(), expected) == 0);
    const std::vector<uint32_t> offsets = dataOffsets(bytes);
    ASSERT_EQ(offsets.size(), list.size());
    uint64_t offset = 28;
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(offsets[i], offset) << list.pathOf(list[i]);
        offset += list[i].size;
    }
    EXPECT_EQ(u32At(bytes, 20), offset);
}

TEST(WriterBytes, ScannedTreeRoundTripsThroughTheRecords) {
    PackFolder p;
    p.add("one", "1");
    p.add("dir/two", "22");
    FileList list;
    scanFolder(systemFileSystem(), p.root, list);
    writeArchive(p.archive, list);
    const std::string bytes = readFile(p.archive);
    EXPECT_NE(bytes.find(std::string("dir\\two\0", 8)), std::string::npos);
    EXPECT_NE(bytes.find(std::string("one\0", 4)), std::string::npos);
}

TEST(WriterBytes, AnExistingArchiveIsReplacedAndNothingIsLeftBeside) {
    PackFolder p;
    writeFile(p.archive, std::string(5000, 'o'));
    p.add("a", "new");
    FileList& list = p.list;
    writeArchive(p.archive, list);
    EXPECT_EQ(readFile(p.archive).size(), 28 + 3 + 4 + 20 + 2u);
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

// Each failure: the exact text, the previous archive unchanged, nothing left beside it.
struct WriterFailure : ::testing::Test {
    PackFolder p;
    const std::string previous = "previous archive bytes";
    void SetUp() override { writeFile(p.archive, previous); }
    void expectUntouched() {
        EXPECT_EQ(readFile(p.archive), previous);
        EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
    }
};

TEST_F(WriterFailure, MissingInputFile) {
    p.add("a", "aaa");
    p.add("b", "bbb");
    FileList& list = p.list;
    ASSERT_EQ(std::remove(list.pathOf(list[1]).c_str()), 0);
    EXPECT_EQ(failureOf(p.archive, list),
              "Error opening file \"" + list.pathOf(list[1]) + "\" for input");
    expectUntouched();
}

// To verify, a file gone since it listed the folder is a difference to report, not a failure.
TEST_F(WriterFailure, VerifyReportsAFileGoneSinceTheListing) {
    p.add("a", "aaa");
    p.add("b", "bbb");
    writeArchive(p.archive, p.list);
    LoadedArchive archive;
    readArchiveFile(p.archive, archive);
    struct RemovingProgress : ProgressDisplay {
        std::string path;
        void update(const WriteProgress&) override {
            if (!path.empty()) std::remove(path.c_str());
            path.clear();
        }
    } listed;  // its first report comes once the folder is listed
    listed.path = join(p.root, "a");
    EXPECT_EQ(folderDifferences(archive, p.root, &listed),
              std::vector<std::string>{"\"a\": cannot open \"" + join(p.root, "a") + "\""});
}

// A small file and one larger than a copy buffer.
TEST_F(WriterFailure, InputShorterThanScanned) {
    for (const size_t size : {size_t(3), size_t(3) << 20}) {
        p.list = FileList(p.root);
        p.add("a", std::string(size, 'a'));
        FileList& list = p.list;
        list[0].size += 7;
        EXPECT_EQ(failureOf(p.archive, list),
                  "Error reading data from file \"" + list.pathOf(list[0]) + "\"");
        expectUntouched();
    }
}

TEST_F(WriterFailure, AFolderListedAsAFile) {
    p.add("a", "aaa");
    FileList& list = p.list;
    makeDirs(join(p.root, "now-a-folder"));
    list.add("now-a-folder", 3);
    EXPECT_EQ(failureOf(p.archive, list),
              "Error opening file \"" + join(p.root, "now-a-folder") + "\" for input");
    expectUntouched();
}

TEST_F(WriterFailure, FolderAtTheArchivePathOrNoSuchFolder) {
    p.add("a", "aaa");
    FileList& list = p.list;
    const std::string missingFolder = p.tmp / "missing/pack.zem";
    EXPECT_EQ(failureOf(missingFolder, list),
              "Error opening .zem file (\"" + missingFolder + "\") for output");
    expectUntouched();

    ASSERT_EQ(std::remove(p.archive.c_str()), 0);
    makeDirs(p.archive);
    EXPECT_EQ(failureOf(p.archive, list),
              "Error opening .zem file (\"" + p.archive + "\") for output");
    EXPECT_TRUE(listNames(p.archive).empty());
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
}

TEST_F(WriterFailure, ListsTheFormatCannotHoldAreRefusedBeforeWriting) {
    FileList tooBig(p.root);
    tooBig.add("huge", 0x100000000ULL);
    EXPECT_EQ(
        failureOf(p.archive, tooBig),
        "File \"" + join(p.root, "huge") + "\" is 4 GiB or larger, more than a .zem file can hold");

    // Two files that each fit but together pass the 32-bit end of the archive.
    FileList together(p.root);
    together.add("huge", 0x7FFFFFF0u);
    together.add("huge", 0x7FFFFFF0u);
    EXPECT_NE(failureOf(p.archive, together).find("more than a .zem file can hold"),
              std::string::npos);

    // The last byte that still fits: header + data + index slot + record ("huge" and its NUL).
    FileList fits(p.root);
    fits.add("huge", 0xFFFFFFFFu - 28 - 4 - 20 - 5);
    checkArchivable(fits);
    fits[0].size += 1;
    EXPECT_THROW(checkArchivable(fits), FatalError);
    expectUntouched();
}

// A large file moves the progress within itself, once per piece but its last, each report
// counting the bytes copied so far; small files only report when they are done. Extraction
// reports alike.
TEST(WriterProgress, ALargeFileReportsEachPieceAndSmallFilesOnlyTheirEnd) {
    PackFolder p;
    const uint64_t piece = 8 << 20;
    std::string big(5 * piece + 5, '\0');
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
    p.add("a", "small");
    p.add("big", big);
    p.add("c", std::string(70000, 'c'));
    FileList& list = p.list;
    RecordingProgress progress;
    writeArchive(p.archive, list, &progress);
    const uint64_t total = 5 + big.size() + 70000;
    std::vector<std::string> seen;
    for (const WriteProgress& u : progress.updates) {
        EXPECT_EQ(u.fileCount, 3u);
        EXPECT_EQ(u.byteCount, total);
        seen.push_back(std::to_string(u.filesDone) + ":" + std::to_string(u.bytesDone));
    }
    std::vector<std::string> expected{"0:0", "1:5"};
    for (uint64_t k = 1; k <= 5; ++k) expected.push_back("1:" + std::to_string(5 + k * piece));
    expected.push_back("2:" + std::to_string(5 + big.size()));
    expected.push_back("3:" + std::to_string(total));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(readFile(p.archive).substr(28 + 5, big.size()), big);

    // Extraction counts as the writer does: the same reports for the same files.
    LoadedArchive archive;
    ASSERT_NO_THROW(readArchiveFile(p.archive, archive));
    Destination dest = findDestination(join(p.tmp.path, "out"), /*chosen=*/false);
    RecordingProgress unpacking;
    extractArchive(archive, dest, /*replace=*/false, &unpacking, [](const std::string&) {});
    std::vector<std::string> unpacked;
    for (const WriteProgress& u : unpacking.updates) {
        unpacked.push_back(std::to_string(u.filesDone) + ":" + std::to_string(u.bytesDone));
    }
    EXPECT_EQ(unpacked, expected);
}

// A cancel in the middle of a large file stops the copy there: the previous archive stays and
// no temporary file is left, whether the cancel comes at the first piece or a later one.
TEST_F(WriterFailure, CancelInTheMiddleOfALargeFileLeavesNothingBehind) {
    p.add("a", "small");
    p.add("big", std::string(3 * (8 << 20) + 1, 'b'));
    FileList& list = p.list;
    for (size_t at : {2u, 4u}) {
        RecordingProgress progress;
        progress.cancelAt = at;
        EXPECT_THROW(writeArchive(p.archive, list, &progress), Cancelled);
        ASSERT_EQ(progress.updates.size(), at + 1);
        EXPECT_EQ(progress.updates.back().filesDone, 1u) << "stopped inside the large file";
        EXPECT_EQ(progress.updates.back().bytesDone, 5 + (at - 1) * (8 << 20));
        expectUntouched();
    }
}

#ifndef _WIN32

namespace {

// Temporary names are short whatever the archive's name: every archive name that the folder
// takes can be written, and one that it doesn't take is the open error, before any data.
TEST(WriterNames, EveryArchiveNameTheFolderTakesCanBeWritten) {
    for (const size_t length : {229u, 251u, 252u, 255u}) {
        PackFolder p(std::string(length, 'n'));
        p.add("a", "aaa");
        const FileList& list = p.list;
        RecordingProgress progress;
        const bool fits = length + 4 <= 255;
        EXPECT_EQ(
            failureOf(p.archive, list, &progress),
            fits ? "(no failure)" : "Error opening .zem file (\"" + p.archive + "\") for output")
            << length;
        EXPECT_EQ(progress.updates.size(), fits ? 2u : 0u) << length << ": failed after data";
        EXPECT_EQ(listNames(p.tmp.path).size(), fits ? 2u : 1u) << length << ": something left";
    }
}

}  // namespace

TEST_F(WriterFailure, FifoInPlaceOfAFileDoesNotBlock) {
    p.add("a", "aaa");
    FileList& list = p.list;
    unlink(list.pathOf(list[0]).c_str());
    ASSERT_EQ(mkfifo(list.pathOf(list[0]).c_str(), 0600), 0);
    EXPECT_EQ(failureOf(p.archive, list),
              "Error opening file \"" + list.pathOf(list[0]) + "\" for input");
    unlink(list.pathOf(list[0]).c_str());
    writeFile(list.pathOf(list[0]), "aaa");
    expectUntouched();
}

// A device in a file's place (here through a link) reads as many bytes as asked for: only the
// check that a file is still a regular one stops it.
TEST_F(WriterFailure, ADeviceInPlaceOfAFileIsNoFile) {
    p.add("a", "aa");
    p.add("b", "bbb");
    p.add("c", "c");
    FileList& list = p.list;
    unlink(list.pathOf(list[1]).c_str());
    ASSERT_EQ(symlink("/dev/zero", list.pathOf(list[1]).c_str()), 0);
    EXPECT_EQ(failureOf(p.archive, list),
              "Error opening file \"" + list.pathOf(list[1]) + "\" for input");
    expectUntouched();
}

// Under a tight descriptor limit, with small files read on two threads, nothing fails.
TEST(WriterLimits, FewFreeDescriptorsCostOnlySpeed) {
    PackFolder p;
    FileList& list = p.list;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        const std::string contents(size_t(i) * 7, static_cast<char>('a' + i % 26));
        p.add("f" + std::to_string(i), contents);
        expected += contents;
    }
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowest = dup(0);  // past the descriptors in use
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(lowest + 12);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const std::string failure = failureOf(p.archive, list);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(failure, "(no failure)");
    EXPECT_EQ(readFile(p.archive).substr(28, expected.size()), expected);
}

// Small files are read ahead of the writer, in bounded batches: with thousands of them (more than
// one batch holds) and failures ahead, each failure is still the first in list order, raised only
// when the writer has written every file before it, and nothing is left behind.
TEST_F(WriterFailure, FailuresAmongManySmallFilesComeInListOrderAtTheirFile) {
    FileList& list = p.list;
    for (int i = 0; i < 3000; ++i) {
        const size_t size = i == 1000 ? 200000 : size_t(i) * 37 % 3000;
        p.add("d" + std::to_string(i / 100) + "/f" + std::to_string(i),
              std::string(size, static_cast<char>('a' + i % 26)));
    }
    const auto failureAt = [&](size_t index) {
        RecordingProgress progress;
        std::string text = "(no failure)";
        try {
            writeArchive(p.archive, list, &progress);
        } catch (const FatalError& e) {
            text = e.what();
        }
        EXPECT_EQ(progress.updates.back().filesDone, index) << "raised at its own file";
        expectUntouched();
        return text;
    };
    list[1500].size += 1;  // shrunk since the scan
    unlink(list.pathOf(list[2500]).c_str());
    ASSERT_EQ(mkfifo(list.pathOf(list[2500]).c_str(), 0600), 0);
    unlink(list.pathOf(list[2600]).c_str());
    EXPECT_EQ(failureAt(1500), "Error reading data from file \"" + list.pathOf(list[1500]) + "\"");
    list[1500].size -= 1;
    EXPECT_EQ(failureAt(2500), "Error opening file \"" + list.pathOf(list[2500]) + "\" for input");
    unlink(list.pathOf(list[2500]).c_str());
    writeFile(list.pathOf(list[2500]), std::string(list[2500].size, 'x'));
    EXPECT_EQ(failureAt(2600), "Error opening file \"" + list.pathOf(list[2600]) + "\" for input");
    // A cancel from the progress display while files are read ahead stops there too.
    RecordingProgress cancelling;
    cancelling.cancelAt = 700;
    EXPECT_THROW(writeArchive(p.archive, list, &cancelling), Cancelled);
    EXPECT_EQ(cancelling.updates.back().filesDone, 700u);
    expectUntouched();
    // A failure at the second file, with the rest of the list still to read.
    unlink(list.pathOf(list[1]).c_str());
    EXPECT_EQ(failureAt(1), "Error opening file \"" + list.pathOf(list[1]) + "\" for input");
}

namespace {

// What a killed run leaves goes when the next archive is written in that folder, and nothing else
// does: not the file of a process that runs, of another host, of another user, not a link or a
// folder, and no name that merely resembles the temporary form.
TEST(Leftovers, OnlyFilesThatDeadProcessesOfThisHostLeftAreRemoved) {
    TempDir tmp;
    const pid_t child = fork();  // its number is no process's once it has ended
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const uint32_t dead = static_cast<uint32_t>(child);
    const std::string pid = std::to_string(dead);
    const std::string tag = temporaryFileName(dead, 7).substr(6 + pid.size(), 8);
    enum Kind { File, OthersFile, Link, Folder };
    const struct {
        std::string name;
        Kind kind;
        bool removed;
    } cases[] = {
        {temporaryFileName(dead, 7), File, true},
        {temporaryFileName(static_cast<uint32_t>(getpid()), 7), File, false},  // still running
        {".zem-" + pid + "." + (tag == "00000000" ? "1" : "0") + tag.substr(1) + ".7.tmp", File,
         false},  // another host's
        {".zem-0" + pid + "." + tag + ".7.tmp", File, false},
        {".zem-" + pid + "." + tag + ".7.tmp.tmp", File, false},
        {".zem-0." + tag + ".7.tmp", File, false},
        {temporaryFileName(dead, 8), OthersFile, false},
        {temporaryFileName(dead, 9), Link, false},
        {temporaryFileName(dead, 10), Folder, false},
    };
    const bool root = geteuid() == 0;
    for (const auto& c : cases) {
        const std::string path = tmp / c.name;
        if (c.kind == Link) {
            writeFile(tmp / "target", "kept");
            ASSERT_EQ(symlink("target", path.c_str()), 0);
        } else if (c.kind == Folder) {
            makeDirs(path);
        } else {
            writeFile(path, "left");
        }
        if (c.kind == OthersFile && root) {
            ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
        }
    }
    writeArchive(tmp / "pack.zem", FileList{});
    for (const auto& c : cases) {
        if (c.kind == OthersFile && !root) continue;
        struct stat st {};
        EXPECT_EQ(lstat((tmp / c.name).c_str(), &st) != 0, c.removed) << c.name;
    }
    EXPECT_EQ(readFile(tmp / "target"), "kept");
}

}  // namespace

#endif  // !_WIN32

#ifdef _WIN32

// Relative and drive-relative archive paths put the temporary file in the current folder.
TEST(WriterPaths, RelativeAndDriveRelativeArchivePaths) {
    PackFolder p;
    p.add("a", "aa");
    FileList& list = p.list;
    char previous[MAX_PATH + 1];
    ASSERT_GT(GetCurrentDirectoryA(sizeof previous, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(p.tmp.path.c_str()));
    writeArchive("pack.zem", list);
    const std::string driveRelative = p.tmp.path.substr(0, 2) + "drive.zem";
    writeArchive(driveRelative, list);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(listNames(p.tmp.path), (std::vector<std::string>{"drive.zem", "pack", "pack.zem"}));
    EXPECT_EQ(readFile(p.archive), readFile(p.tmp / "drive.zem"));
}

TEST(WriterPaths, AnUncommittedFileSitsBesideTheArchiveAndIsRemovedWithIt) {
    PackFolder p;
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

TEST_F(WriterFailure, InputHeldOpenExclusivelyByAnotherHandle) {
    p.add("a", "aaa");
    FileList& list = p.list;
    const HANDLE held = CreateFileA(list.pathOf(list[0]).c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string failure = failureOf(p.archive, list);
    CloseHandle(held);
    EXPECT_EQ(failure, "Error opening file \"" + list.pathOf(list[0]) + "\" for input");
    expectUntouched();
}

// An archive name past the system's limits is the open error, before any data is written.
TEST(WriterWin32, AnArchiveNameTooLongIsTheOpenErrorBeforeAnyData) {
    PackFolder p;
    const std::string archive = join(p.tmp.path, std::string(252, 'n') + ".zem");
    p.add("a", "aaa");
    FileList& list = p.list;
    EXPECT_EQ(failureOf(archive, list), "Error opening .zem file (\"" + archive + "\") for output");
    EXPECT_EQ(listNames(p.tmp.path), std::vector<std::string>{"pack"});
}

#endif  // _WIN32

}  // namespace
