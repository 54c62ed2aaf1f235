// The Win32 listing on real folders: names, attributes, sizes and the local time of scan time.

#include <windows.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <cctype>

#include "archive/local_time.h"
#include "scan/scan.h"
#include "win32_test_util.h"

namespace {

std::vector<std::string> sortedPaths(const FileList& list) {
    std::vector<std::string> paths;
    for (const FileEntry& e : list) paths.push_back(e.path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

const FileEntry* find(const FileList& list, const std::string& path) {
    for (const FileEntry& e : list) {
        if (e.path == path) return &e;
    }
    return nullptr;
}

TEST(ScanWin32, OneTrailingBackslashIsRemovedFromTheArgumentAndAForwardSlashStays) {
    EXPECT_EQ(rootPathFromArgument("C:\\work\\pack\\"), "C:\\work\\pack");
    EXPECT_EQ(rootPathFromArgument("C:\\work\\pack"), "C:\\work\\pack");
    EXPECT_EQ(rootPathFromArgument("C:\\work\\pack\\\\"), "C:\\work\\pack\\");
    EXPECT_EQ(rootPathFromArgument("C:\\work\\pack/"), "C:\\work\\pack/");
    EXPECT_EQ(rootPathFromArgument("C:\\"), "C:");
}

TEST(ScanWin32, EveryKindOfFileDownToDepthTenWithBackslashPaths) {
    TempDir tmp;
    const std::string root = join(tmp.path, "root");
    std::string folder = root;
    for (int d = 0; d <= 12; ++d) {
        if (d > 0) folder = join(folder, "d" + std::to_string(d));
        makeDirs(folder);
        writeFile(join(folder, "f" + std::to_string(d)), "x");
    }
    makeDirs(join(root, ".cache\\inner"));
    makeDirs(join(root, "empty\\emptier"));
    writeFile(join(root, ".cache\\inner\\data.bin"), std::string(1234, 'd'));
    writeFile(join(root, "hidden.sys"), "hs");
    ASSERT_TRUE(SetFileAttributesA(join(root, "hidden.sys").c_str(),
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    writeFile(join(root, "readonly"), "r");
    ASSERT_TRUE(SetFileAttributesA(join(root, "readonly").c_str(), FILE_ATTRIBUTE_READONLY));
    writeFile(join(root, "no-dot-in-name"), "");
    // A hidden folder is descended into like any other.
    makeDirs(join(root, "secret"));
    writeFile(join(root, "secret\\inside"), "i");
    ASSERT_TRUE(SetFileAttributesA(join(root, "secret").c_str(), FILE_ATTRIBUTE_HIDDEN));

    FileList list;
    scanFolder(systemFileSystem(), root, list);

    std::vector<std::string> expected = {
        join(root, ".cache\\inner\\data.bin"), join(root, "hidden.sys"), join(root, "readonly"),
        join(root, "no-dot-in-name"), join(root, "secret\\inside")};
    folder = root;
    for (int d = 0; d <= 10; ++d) {
        if (d > 0) folder = join(folder, "d" + std::to_string(d));
        expected.push_back(join(folder, "f" + std::to_string(d)));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sortedPaths(list), expected);
    ASSERT_NE(find(list, join(root, ".cache\\inner\\data.bin")), nullptr);
    EXPECT_EQ(find(list, join(root, ".cache\\inner\\data.bin"))->size, 1234u);
    ASSERT_NE(find(list, join(root, "no-dot-in-name")), nullptr);
    EXPECT_EQ(find(list, join(root, "no-dot-in-name"))->size, 0u);
    // Below the root, the real path is the stored name.
    for (const FileEntry& e : list) {
        EXPECT_EQ(e.storedName, e.path.substr(root.size() + 1));
        EXPECT_FALSE(e.nameHoldsBackslash) << e.path;
    }
}

TEST(ScanWin32, AFileOrAMissingFolderAsRootYieldsNothing) {
    TempDir tmp;
    makeDirs(join(tmp.path, "empty"));
    writeFile(join(tmp.path, "plain.txt"), "abc");
    FileList list;
    EXPECT_TRUE(scanFolder(systemFileSystem(), join(tmp.path, "empty"), list));
    EXPECT_FALSE(scanFolder(systemFileSystem(), join(tmp.path, "plain.txt"), list));
    EXPECT_FALSE(scanFolder(systemFileSystem(), join(tmp.path, "missing"), list));
    EXPECT_TRUE(list.empty());
}

// The offset in force now applies to every file, whatever its own date: a summer file scanned in
// winter is shifted by the winter offset and the other way round.
TEST(ScanWin32, TimesAreShiftedByTheOffsetInForceAtScanTime) {
    TempDir tmp;
    const std::string root = join(tmp.path, "root");
    makeDirs(root);
    const int64_t offset = currentUtcOffset();
    struct Case {
        const char* name;
        int64_t utc;
        int64_t want;
    };
    const int64_t winter = secondsFromCalendar({2004, 1, 15, 12, 0, 0});
    const int64_t summer = secondsFromCalendar({2004, 7, 15, 12, 0, 1});
    const int64_t late2038 =
        secondsFromCalendar({2038, 12, 31, 12, 0, 0});  // after the signed 32-bit range
    const Case cases[] = {
        {"winter", winter, winter + offset},
        {"summer", summer, summer + offset},
        {"late2038", late2038 - offset, late2038},
        {"year2039", secondsFromCalendar({2039, 1, 2, 0, 0, 0}), kNoTime},
        {"year1960", secondsFromCalendar({1960, 6, 1, 0, 0, 0}), kNoTime},
    };
    for (const Case& c : cases) {
        writeFile(join(root, c.name), c.name);
        setModifiedTime(join(root, c.name), c.utc);
    }
    FileList list;
    scanFolder(systemFileSystem(), root, list);
    ASSERT_EQ(list.size(), std::size(cases));
    for (const Case& c : cases) {
        const FileEntry* e = find(list, join(root, c.name));
        ASSERT_NE(e, nullptr) << c.name;
        EXPECT_EQ(e->modifiedTime, c.want) << c.name << " (offset " << offset << ")";
    }
}

// The size's high word is kept, so that the writer refuses the file instead of storing only the
// low 32 bits of it. The file is sparse: no 4 GiB are written.
TEST(ScanWin32, AFileOf4GiBOrMoreKeepsItsWholeSizeAndIsRefused) {
    TempDir tmp;
    const std::string root = join(tmp.path, "root");
    makeDirs(root);
    const std::string big = join(root, "big");
    const HANDLE file = CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = 0x100000005LL;
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(sized);

    FileList list;
    scanFolder(systemFileSystem(), root, list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].size, 0x100000005ULL);
    EXPECT_EQ(failureOf(root + ".zem", list),
              "File \"" + big + "\" is 4 GiB or larger, more than a .zem file can hold");
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"root"});
}

// The scan tells a loop by the identity each listing reports: the same folder, however it is
// spelled, has the same one (volume serial number and file index); another folder another. (Wine
// can make neither junctions nor folder links, so the loop itself is tested with the fake file
// system and on Linux.)
TEST(ScanWin32, AFolderHasOneIdentityWhateverThePathSpellsIt) {
    TempDir tmp;
    const std::string root = join(tmp.path, "Root");
    makeDirs(join(root, "Sub"));
    std::string upper = root;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const auto idOf = [](const std::string& path) {
        FolderId id;
        std::vector<FolderItem> items;
        EXPECT_TRUE(systemFileSystem().listFolder(path, id, items)) << path;
        EXPECT_TRUE(id.known) << path;
        return id;
    };
    const FolderId id = idOf(root);
    EXPECT_TRUE(sameFolder(id, idOf(upper)));
    EXPECT_TRUE(sameFolder(id, idOf(join(root, "Sub\\.."))));
    EXPECT_FALSE(sameFolder(id, idOf(join(root, "Sub"))));
    EXPECT_FALSE(sameFolder(id, idOf(tmp.path)));
}

TEST(ScanWin32, ExistsForFilesAndFoldersOnly) {
    TempDir tmp;
    writeFile(join(tmp.path, "file.zem"), "");
    makeDirs(join(tmp.path, "folder.zem"));
    FileSystem& fs = systemFileSystem();
    EXPECT_TRUE(fs.exists(join(tmp.path, "file.zem")));
    EXPECT_TRUE(fs.exists(join(tmp.path, "folder.zem")));
    EXPECT_FALSE(fs.exists(join(tmp.path, "missing.zem")));
    EXPECT_FALSE(fs.exists(join(tmp.path, "missing\\deeper.zem")));
}

}  // namespace
