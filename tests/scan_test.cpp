// The folder scan: its logic on a scripted file system, then the platform's listing on real
// folders (names, sizes, the local time of scan time) with the cases only one platform has in its
// own section.

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "fakes.h"
#include "format/local_time.h"
#include "platform/scan.h"
#include "test_util.h"

namespace {

std::vector<std::string> pathsOf(const FileList& list) {
    std::vector<std::string> paths;
    for (const FileEntry& e : list) paths.push_back(list.pathOf(e));
    return paths;
}

std::vector<std::string> storedNamesOf(const FileList& list) {
    std::vector<std::string> names;
    for (const FileEntry& e : list) names.push_back(storedNameOf(e));
    return names;
}

const FileEntry* find(const FileList& list, const std::string& path) {
    for (const FileEntry& e : list) {
        if (list.pathOf(e) == path) return &e;
    }
    return nullptr;
}

// A backslash is trimmed everywhere; a slash only where it is the platform's separator.
// Only the platform's own separator is trimmed, and only one: a backslash is an ordinary
// character in a POSIX name, and a slash stays at the end of a Windows argument.
TEST(ScanRoot, OneTrailingSeparatorIsRemovedFromTheArgument) {
    const std::pair<std::string, std::string> cases[] = {
#ifdef _WIN32
        {"C:\\work\\pack\\", "C:\\work\\pack"},     {"C:\\work\\pack", "C:\\work\\pack"},
        {"C:\\work\\pack\\\\", "C:\\work\\pack\\"}, {"C:\\", "C:"},
        {"C:\\work\\pack/", "C:\\work\\pack/"},
#else
        {"/w/pack/", "/w/pack"},
        {"/w/pack", "/w/pack"},
        {"/w/pack//", "/w/pack/"},
        {"/", ""},
        {"x\\", "x\\"},
        {"/w/pack\\/", "/w/pack\\"},
        {"C:\\pack\\", "C:\\pack\\"},
#endif
    };
    for (const auto& [argument, root] : cases) {
        EXPECT_EQ(rootPathFromArgument(argument), root) << argument;
    }
}

// The stored name is the path below the root, whatever the root's spelling, joined by backslashes.
TEST(ScanRoot, StoredNamesUseBackslashesAndLeaveOutTheRoot) {
    const char sep = nativeSeparator();
    struct Case {
        std::string root;
        std::string path;
        std::string storedName;
    };
    for (const Case& c : {Case{native("/w/pack"), native("/w/pack/a/b/c.txt"), "a\\b\\c.txt"},
                          // the root given with a separator too many
                          Case{native("/w/pack/"), native("/w/pack//x"), "x"},
                          // the root given as the top folder alone
                          Case{"", native("/a.txt"), "a.txt"}}) {
        FakeFileSystem fs;
        const size_t slash = c.path.rfind(sep);
        std::string folder = c.path.substr(0, slash);
        fs.folders[folder] = {fakeFile(c.path.substr(slash + 1))};
        // Every folder between the root and the file lists the next one.
        while (folder != c.root) {
            const size_t up = folder.rfind(sep);
            fs.folders[folder.substr(0, up)] = {fakeFolder(folder.substr(up + 1))};
            folder = folder.substr(0, up);
        }
        FileList list;
        EXPECT_TRUE(scanFolder(fs, c.root, list));
        ASSERT_EQ(list.size(), 1u) << c.root;
        EXPECT_EQ(list.pathOf(list[0]), c.path);
        EXPECT_EQ(storedNameOf(list[0]), c.storedName);
        EXPECT_FALSE(list.nameHoldsBackslash(list[0]));
    }
}

#ifndef _WIN32  // where a backslash is the separator, no name holds one
// A backslash inside a name would read back as a folder separator: each file at or below such a
// name is marked, and the refusal names the first one.
TEST(ScanNames, ABackslashInAFileOrFolderNameMarksTheFilesBelowIt) {
    FakeFileSystem fs;
    fs.folders["r"] = {fakeFile("plain"), fakeFolder("sub"), fakeFile("a\\b"), fakeFolder("x\\y")};
    fs.folders[join("r", "sub")] = {fakeFile("inner")};
    fs.folders[join("r", "x\\y")] = {fakeFile("z")};
    FileList list;
    EXPECT_TRUE(scanFolder(fs, "r", list));
    EXPECT_EQ(storedNamesOf(list),
              (std::vector<std::string>{"plain", "sub\\inner", "a\\b", "x\\y\\z"}));
    std::vector<bool> marked;
    for (const FileEntry& e : list) marked.push_back(list.nameHoldsBackslash(e));
    EXPECT_EQ(marked, (std::vector<bool>{false, false, true, true}));
    const std::string refusal =
        "\" holds a backslash, which a .zem file would read back as a subfolder";
    const auto backslashRefusal = [](const FileList& files) -> std::string {
        try {
            checkStorableNames(files);
            return "";
        } catch (const InputFault& fault) {
            return fault.what();
        }
    };
    EXPECT_EQ(backslashRefusal(list), "File name \"" + join("r", "a\\b") + refusal);
    FileList later("r");
    later.add("plain");
    later.add("x\\y/z");
    EXPECT_EQ(backslashRefusal(later), "File name \"" + join("r", "x\\y/z") + refusal);
    FileList none("r");
    none.add("plain");
    EXPECT_EQ(backslashRefusal(none), "");
}
#endif

// The fake file system's paths are written with slashes here.
#ifndef _WIN32
// A folder that is one of those on the way down from the root (the root included) is a loop and
// adds nothing, whether a link shows it (the pre-check, which spares listing it) or only the
// listing's own identity does (a bind mount); links to any other folder are followed.
TEST(ScanLoops, AFolderOnTheWayDownIsPassedOverAndOtherLinksAreFollowed) {
    struct Case {
        const char* what;
        std::string root;
        std::map<std::string, std::vector<FolderItem>> folders;
        std::map<std::string, uint64_t> ids;
        std::vector<std::string> expected;
        std::vector<std::string> neverListed;
    };
    const Case cases[] = {
        {"links to the folder itself and to the root",
         "r",
         {{"r", {fakeFile("f"), fakeFolder("l1", 1), fakeFolder("l2", 1), fakeFolder("s")}},
          {"r/s", {fakeFile("g"), fakeFolder("here", 2), fakeFolder("top", 1)}}},
         {{"r", 1}, {"r/s", 2}},
         {"f", "s\\g"},
         {"r/l1", "r/l2", "r/s/here", "r/s/top"}},
        {"a link to a folder elsewhere, twice, and one from it back to the root",
         "r",
         {{"r", {fakeFolder("a"), fakeFolder("b", 3), fakeFolder("c", 3)}},
          {"r/a", {fakeFile("x")}},
          {"r/b", {fakeFile("y"), fakeFolder("back", 1)}},
          {"r/c", {fakeFile("y"), fakeFolder("back", 1)}}},
         {{"r", 1}, {"r/a", 2}, {"r/b", 3}, {"r/c", 3}},
         {"a\\x", "b\\y", "c\\y"},
         {"r/b/back", "r/c/back"}},
        {"a plain folder that is the root again (a bind mount)",
         "r",
         {{"r", {fakeFile("f"), fakeFolder("mnt")}}, {"r/mnt", {fakeFile("again")}}},
         {{"r", 1}, {"r/mnt", 1}},
         {"f"},
         {}},
        {"/ with /proc/self/root and a process's folder linked from /proc",
         "",
         {{"", {fakeFolder("proc"), fakeFolder("home")}},
          {"/proc", {fakeFolder("self", 3)}},
          {"/proc/self", {fakeFolder("root", 1), fakeFolder("cwd", 4)}},
          {"/proc/self/cwd", {fakeFile("notes")}},
          {"/home", {fakeFile("notes")}}},
         {{"", 1}, {"/proc", 2}, {"/proc/self", 3}, {"/proc/self/cwd", 4}, {"/home", 4}},
         {"proc\\self\\cwd\\notes", "home\\notes"},
         {"/proc/self/root"}},
        {"identities the platform can't tell never match",
         "r",
         {{"r", {fakeFolder("s")}}, {"r/s", {fakeFile("f")}}},
         {},
         {"s\\f"},
         {}},
    };
    for (const Case& c : cases) {
        FakeFileSystem fs;
        fs.folders = c.folders;
        fs.folderIds = c.ids;
        FileList list;
        EXPECT_TRUE(scanFolder(fs, c.root, list)) << c.what;
        EXPECT_EQ(storedNamesOf(list), c.expected) << c.what;
        for (const std::string& path : c.neverListed) {
            EXPECT_EQ(std::find(fs.calls.begin(), fs.calls.end(), "list " + path), fs.calls.end())
                << c.what << ": " << path;
        }
    }
}
#endif

// Below the depth limit nothing is listed unless asked; asked, the files there are counted (and
// kept apart for a comparison), and each folder there is listed once however many links lead to
// it, so that links without a loop can't multiply the work: here 20 levels of two links each to
// the next level, a million paths, take a few dozen listings.
TEST(ScanDeep, FilesBelowTheLimitAreCountedOnlyWhenAskedAndEachFolderListedOnce) {
    struct Levels : FakeFileSystem {
        bool listFolder(const std::string& folderPath, FolderId& id,
                        std::vector<FolderItem>& items) override {
            calls.push_back("list " + folderPath);
            const auto level = static_cast<uint64_t>(
                std::count(folderPath.begin(), folderPath.end(), nativeSeparator()));
            id = fakeId(level + 1);
            if (level == 31) return true;
            items.push_back(fakeFile("f"));
            // Plain folders down to the limit, then two links to the next level.
            items.push_back(fakeFolder("a", level < kMaxScanDepth ? 0 : level + 2));
            if (level >= kMaxScanDepth) items.push_back(fakeFolder("b", level + 2));
            return true;
        }
    };
    for (const bool asked : {false, true}) {
        Levels fs;
        FileList list;
        DeepFiles deep;
        deep.keepFiles = true;
        ScanOptions options;
        if (asked) options.deep = &deep;
        EXPECT_TRUE(scanFolder(fs, "r", list, options));
        EXPECT_EQ(list.size(), size_t(kMaxScanDepth) + 1);
        EXPECT_EQ(deep.count, asked ? 20u : 0u);
        ASSERT_EQ(deep.files.size(), asked ? 20u : 0u);
        if (asked) {
            EXPECT_EQ(storedNameOf(deep.files[0]), "a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\f");
        }
        EXPECT_LE(fs.calls.size(), asked ? 60u : size_t(kMaxScanDepth) + 1);
    }
}

TEST(ScanOrder, PreOrderInEnumerationOrderWithoutSorting) {
    FakeFileSystem fs;
    FolderItem fifo;
    fifo.name = "pipe";
    fifo.kind = FolderItem::Kind::Other;
    fs.folders["root"] = {fakeFile("z", 3),     fakeFile("."),  fakeFolder("s"),
                          fakeFile(".."),       fifo,           fakeFile("b", 7),
                          fakeFolder("locked"), fakeFolder("e")};
    fs.folders[join("root", "s")] = {fakeFile("x", 1), fakeFolder("t")};
    fs.folders[join("root", "s/t")] = {fakeFile("deep")};
    fs.folders[join("root", "e")] = {};
    FileList list;
    EXPECT_TRUE(scanFolder(fs, "root", list));
    EXPECT_EQ(pathsOf(list),
              (std::vector<std::string>{join("root", "z"), join("root", "s/x"),
                                        join("root", "s/t/deep"), join("root", "b")}));
    EXPECT_EQ(storedNamesOf(list), (std::vector<std::string>{"z", "s\\x", "s\\t\\deep", "b"}));
    EXPECT_EQ(list[0].size, 3u);
    EXPECT_EQ(list[3].size, 7u);
    // The folder that can't be listed was tried and passed over.
    EXPECT_NE(std::find(fs.calls.begin(), fs.calls.end(), "list " + join("root", "locked")),
              fs.calls.end());
}

TEST(ScanOrder, ReplacesWhatTheListHeld) {
    FakeFileSystem fs;
    fs.folders["r"] = {fakeFile("a")};
    FileList list("elsewhere");
    list.add("earlier");
    scanFolder(fs, "r", list);
    EXPECT_EQ(pathsOf(list), (std::vector<std::string>{join("r", "a")}));
}

// Files whose stats the listing leaves for later keep their place in the list, get the time rule
// as the others do, and are left out when they have gone (or are no file any more) by then; every
// folder listed is left again, and the stats are finished once, also when the scan fails.
TEST(ScanOrder, FilesStatedLaterKeepTheirPlaceUnlessGone) {
    FakeFileSystem fs;
    fs.folders["r"] = {lateFile("a"), fakeFolder("sub"), lateFile("gone"), fakeFile("now", 1, 60)};
    fs.folders[join("r", "sub")] = {lateFile("c")};
    fs.lateStats = {{"a", fakeFile("a", 3, 120)}, {"c", fakeFile("c", 7, 180)}};
    fs.recordStatCalls = true;
    struct Case {
        TimeRule::Kind rule;
        std::vector<int64_t> times;  // of a, c and now
    };
    for (const Case& c : {Case{TimeRule::Kind::Keep, {120, 180, 60}},
                          Case{TimeRule::Kind::Replace, {600, 600, 600}}}) {
        fs.calls.clear();
        ScanOptions options;
        options.time.kind = c.rule;
        options.time.instant = 600;
        FileList list;
        EXPECT_TRUE(scanFolder(fs, "r", list, options));
        EXPECT_EQ(pathsOf(list),
                  (std::vector<std::string>{join("r", "a"), join(join("r", "sub"), "c"),
                                            join("r", "now")}));
        std::vector<uint64_t> sizes;
        std::vector<int64_t> times;
        for (const FileEntry& e : list) {
            sizes.push_back(e.size);
            times.push_back(e.modifiedTime);
        }
        EXPECT_EQ(sizes, (std::vector<uint64_t>{3, 7, 1}));
        EXPECT_EQ(times, c.times);
        EXPECT_EQ(fs.calls, (std::vector<std::string>{
                                "list r", "stat later a", "list " + join("r", "sub"),
                                "stat later c", "leave", "stat later gone", "leave", "finish"}));
    }
    fs.calls.clear();
    fs.runsOutOfMemoryAt = join("r", "sub");
    FileList list;
    EXPECT_THROW(scanFolder(fs, "r", list), std::bad_alloc);
    EXPECT_EQ(fs.calls, (std::vector<std::string>{"list r", "stat later a",
                                                  "list " + join("r", "sub"), "leave", "finish"}));
}

TEST(ScanOrder, TimesOutsideTheArchivableYearsBecomeNoTime) {
    FakeFileSystem fs;
    FolderItem noTime = fakeFile("never");
    noTime.hasTime = false;
    const int64_t lastSecondOf2038 = secondsFromCalendar({2038, 12, 31, 23, 59, 59});
    fs.folders["r"] = {fakeFile("old", 0, -5),
                       fakeFile("ok", 0, 1000),
                       noTime,
                       fakeFile("year1969", 0, -1),
                       fakeFile("year1968", 0, -86400 * 400),
                       fakeFile("first", 0, 0),
                       fakeFile("last", 0, lastSecondOf2038),
                       fakeFile("year2039", 0, lastSecondOf2038 + 1)};
    FileList list;
    scanFolder(fs, "r", list);
    std::vector<int64_t> times;
    for (const FileEntry& e : list) times.push_back(e.modifiedTime);
    EXPECT_EQ(times, (std::vector<int64_t>{kNoTime, 1000, kNoTime, kNoTime, kNoTime, 0,
                                           lastSecondOf2038, kNoTime}));
}

// Sorted, each folder's entries come in byte order (bytes past 0x7F after ASCII, capitals before
// small letters) and a folder's files at its sorted place; excluded names and paths (a slash or a
// backslash between folders) leave out files, and folders without listing them.
TEST(ScanOptions, SortedByteOrderAndExclusionsByNameOrPath) {
    FakeFileSystem fs;
    fs.folders["r"] = {fakeFile("b"),     fakeFolder("a"),    fakeFile("\xc3\xa9"), fakeFile("B"),
                       fakeFile("x.tmp"), fakeFolder("skip"), fakeFolder("c"),      fakeFile("a0")};
    fs.folders[join("r", "a")] = {fakeFile("z"), fakeFile("y.tmp"), fakeFile("keep")};
    fs.folders[join("r", "c")] = {fakeFile("2"), fakeFile("10"), fakeFolder("d")};
    fs.folders[join("r", "c/d")] = {fakeFile("f")};
    fs.folders[join("r", "skip")] = {fakeFile("never")};
    struct Case {
        bool sort;
        std::vector<std::string> excludes;
        std::vector<std::string> stored;
    };
    const Case cases[] = {
        {true,
         {},
         {"B", "a\\keep", "a\\y.tmp", "a\\z", "a0", "b", "c\\10", "c\\2", "c\\d\\f", "skip\\never",
          "x.tmp", "\xc3\xa9"}},
        {true,
         {"*.tmp", "skip", "c/d", "a\\z"},
         {"B", "a\\keep", "a0", "b", "c\\10", "c\\2", "\xc3\xa9"}},
        // A pattern for the name matches in every folder; one for the path only there, and a
        // wildcard takes a file and a folder alike.
        {false, {"[ab]*", "c/?"}, {"\xc3\xa9", "B", "x.tmp", "skip\\never", "c\\10"}},
        {false, {"*"}, {}},
    };
    for (const Case& c : cases) {
        ScanOptions options;
        options.sortByName = c.sort;
        options.excludes = c.excludes;
        FileList list;
        fs.calls.clear();
        EXPECT_TRUE(scanFolder(fs, "r", list, options));
        EXPECT_EQ(storedNamesOf(list), c.stored) << c.excludes.size();
        // An excluded folder is not even listed.
        const std::pair<std::string, std::string> folders[] = {{"skip", "skip\\"},
                                                               {"c/d", "c\\d\\"}};
        for (const auto& [folder, prefix] : folders) {
            const bool listed = std::find(fs.calls.begin(), fs.calls.end(),
                                          "list " + join("r", folder)) != fs.calls.end();
            const bool kept = std::any_of(c.stored.begin(), c.stored.end(),
                                          [&](const auto& n) { return n.rfind(prefix, 0) == 0; });
            EXPECT_EQ(listed, kept) << folder;
        }
    }
}

// The listing's local seconds are taken back to UTC by the listed offset, replaced or clamped, and
// stored with the stored offset; a file without a time gets one only by replacing. The default
// rule keeps what the listing gave.
TEST(ScanOptions, TheTimeRuleReplacesOrClampsTheInstantAndSetsTheStoredOffset) {
    FakeFileSystem fs;
    FolderItem noTime = fakeFile("none");
    noTime.hasTime = false;
    const int64_t hour = 3600;
    // Listed in a zone two hours east of UTC: local = UTC + 2 h.
    fs.folders["r"] = {fakeFile("old", 0, 1000000 + 2 * hour),
                       fakeFile("new", 0, 9000000 + 2 * hour), noTime};
    using Kind = TimeRule::Kind;
    struct Case {
        TimeRule rule;
        std::vector<int64_t> times;
    };
    const Case cases[] = {
        {{}, {1000000 + 2 * hour, 9000000 + 2 * hour, kNoTime}},
        {{Kind::Keep, 0, 2 * hour, 2 * hour}, {1000000 + 2 * hour, 9000000 + 2 * hour, kNoTime}},
        {{Kind::Keep, 0, 2 * hour, 0}, {1000000, 9000000, kNoTime}},
        {{Kind::Replace, 5000000, 2 * hour, 0}, {5000000, 5000000, 5000000}},
        {{Kind::Replace, 5000000, 2 * hour, -5 * hour},
         {5000000 - 5 * hour, 5000000 - 5 * hour, 5000000 - 5 * hour}},
        {{Kind::Clamp, 5000000, 2 * hour, 0}, {1000000, 5000000, kNoTime}},
        {{Kind::Clamp, 5000000, 2 * hour, 2 * hour},
         {1000000 + 2 * hour, 5000000 + 2 * hour, kNoTime}},
        // Clamped to the very instant of the file: kept.
        {{Kind::Clamp, 9000000, 2 * hour, 0}, {1000000, 9000000, kNoTime}},
        // A replacing time outside the storable years stores none.
        {{Kind::Replace, -1, 0, 0}, {kNoTime, kNoTime, kNoTime}},
    };
    for (const Case& c : cases) {
        ScanOptions options;
        options.time = c.rule;
        FileList list;
        scanFolder(fs, "r", list, options);
        std::vector<int64_t> times;
        for (const FileEntry& e : list) times.push_back(e.modifiedTime);
        EXPECT_EQ(times, c.times) << static_cast<int>(c.rule.kind) << " " << c.rule.instant << " "
                                  << c.rule.storedOffset;
    }
}

// Files down to depth ten and no deeper; hidden names (and on Windows hidden, system and read-only
// attributes) change nothing; empty folders add nothing; below the root, the path is the stored
// name.
TEST(ScanRealTree, EveryKindOfFileDownToDepthTen) {
    TempDir tmp;
    const std::string root = tmp / "root";
    std::vector<std::string> expected;
    std::string folder = root;
    for (int d = 0; d <= 12; ++d) {
        if (d > 0) folder = join(folder, "d" + std::to_string(d));
        makeDirs(folder);
        writeFile(join(folder, "f" + std::to_string(d)), "x");
        if (d <= 10) expected.push_back(join(folder, "f" + std::to_string(d)));
    }
    makeDirs(tmp / "root/.cache/inner");
    makeDirs(tmp / "root/empty/emptier");
    makeDirs(tmp / "root/secret");
    const std::pair<const char*, std::string> files[] = {
        {".cache/inner/data.bin", std::string(1234, 'd')},
        {".hidden", "h"},
        {"hidden.sys", "hs"},
        {"readonly", "r"},
        {"zero", ""},
        {"secret/inside", "i"}};
    for (const auto& [relative, contents] : files) {
        writeFile(join(root, relative), contents);
        expected.push_back(join(root, relative));
    }
#ifdef _WIN32
    ASSERT_TRUE(SetFileAttributesA(join(root, "hidden.sys").c_str(),
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(SetFileAttributesA(join(root, "readonly").c_str(), FILE_ATTRIBUTE_READONLY));
    // A hidden folder is descended into like any other.
    ASSERT_TRUE(SetFileAttributesA(join(root, "secret").c_str(), FILE_ATTRIBUTE_HIDDEN));
#endif

    FileList list;
    scanFolder(systemFileSystem(), root, list);

    std::vector<std::string> paths = pathsOf(list);
    std::sort(paths.begin(), paths.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(paths, expected);
    ASSERT_NE(find(list, join(root, ".cache/inner/data.bin")), nullptr);
    EXPECT_EQ(find(list, join(root, ".cache/inner/data.bin"))->size, 1234u);
    ASSERT_NE(find(list, join(root, "zero")), nullptr);
    EXPECT_EQ(find(list, join(root, "zero"))->size, 0u);
    for (const FileEntry& e : list) {
        std::string below = list.pathOf(e).substr(root.size() + 1);
        std::replace(below.begin(), below.end(), nativeSeparator(), '\\');
        EXPECT_EQ(storedNameOf(e), below);
        EXPECT_FALSE(list.nameHoldsBackslash(e)) << below;
    }
}

TEST(ScanRealTree, EmptyRootAndAFileAsRootYieldNothing) {
    TempDir tmp;
    makeDirs(tmp / "empty");
    writeFile(tmp / "plain.txt", "abc");
    FileList list;
    EXPECT_TRUE(scanFolder(systemFileSystem(), tmp / "empty", list));
    EXPECT_FALSE(scanFolder(systemFileSystem(), tmp / "plain.txt", list));
    EXPECT_FALSE(scanFolder(systemFileSystem(), tmp / "missing", list));
    EXPECT_TRUE(list.empty());
}

// The offset in force now applies to every file, whatever its own date: a summer file scanned in
// winter is shifted by the winter offset and the other way round, and a time that lands in the
// hour Berlin's clocks skip in spring is stored as such.
TEST(ScanTime, TheOffsetInForceAtScanTimeAppliesExactly) {
#ifndef _WIN32
    ScopedTimeZone berlin("Europe/Berlin");
#endif
    TempDir tmp;
    const std::string root = tmp / "root";
    makeDirs(root);
    const int64_t offset = currentUtcOffset();
    ASSERT_TRUE(offset == 3600 || offset == 7200) << "not in Europe/Berlin time, or no zone data";
    struct Case {
        const char* name;
        int64_t utc;
        int64_t want;
    };
    const int64_t winter = secondsFromCalendar({2004, 1, 15, 12, 0, 0});
    const int64_t summer = secondsFromCalendar({2004, 7, 15, 12, 0, 1});
    // 02:30 on 31 March 2024 does not exist on Berlin's clocks (spring forward from 02:00 to
    // 03:00), but shifting by the offset of scan time may land there.
    const int64_t gap = secondsFromCalendar({2024, 3, 31, 2, 30, 0});
    // After the signed 32-bit range but still in 2038; and years beyond what the format holds.
    const int64_t late2038 = secondsFromCalendar({2038, 12, 31, 12, 30, 0});
    const Case cases[] = {
        {"winter", winter, winter + offset},
        {"summer", summer, summer + offset},
        {"gap", gap - offset, gap},
        {"late2038", late2038 - offset, late2038},
        {"year2039", late2038 + 86400 * 2, kNoTime},
        {"year1969", -86400 * 30, kNoTime},
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
TEST(ScanRealTree, AFileOf4GiBOrMoreKeepsItsWholeSizeAndIsRefused) {
    TempDir tmp;
    const std::string root = tmp / "root";
    makeDirs(root);
    const std::string big = join(root, "big");
    writeFile(big, "");
    setFileSize(big, 0x100000005ULL);

    FileList list;
    scanFolder(systemFileSystem(), root, list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].size, 0x100000005ULL);
    EXPECT_EQ(failureOf(root + ".zem", list),
              "File \"" + big + "\" is 4 GiB or larger, more than a .zem file can hold");
    EXPECT_EQ(listNames(tmp.path), std::vector<std::string>{"root"});
}

TEST(ScanRealTree, ExistsForFilesAndFoldersOnly) {
    TempDir tmp;
    writeFile(tmp / "file.zem", "");
    makeDirs(tmp / "folder.zem");
    FileSystem& fs = systemFileSystem();
    EXPECT_TRUE(fs.exists(tmp / "file.zem"));
    EXPECT_TRUE(fs.exists(tmp / "folder.zem"));
    EXPECT_FALSE(fs.exists(tmp / "missing.zem"));
    EXPECT_FALSE(fs.exists(tmp / "missing/deeper.zem"));
}

#ifndef _WIN32

TEST(ScanRealTree, LinksAreFollowedAndSpecialEntriesSkipped) {
    TempDir tmp;
    const std::string root = tmp / "root";
    makeDirs(root + "/sub");
    writeFile(tmp / "outside.txt", "outside bytes");
    setModifiedTime(tmp / "outside.txt", 1100000000);
    ASSERT_EQ(symlink((tmp / "outside.txt").c_str(), (root + "/link.txt").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
    writeFile(root + "/sub/file", "f");

    FileList list;
    scanFolder(systemFileSystem(), root, list);

    std::vector<std::string> names = storedNamesOf(list);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"link.txt", "sub\\file"}));
    const FileEntry* link = find(list, root + "/link.txt");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->size, 13u);
    EXPECT_EQ(link->modifiedTime, 1100000000 + currentUtcOffset());
}

// Pre-order over unsorted readdir output, written independently of the scanner.
void walkUnsorted(const std::string& folder, int depth, std::vector<std::string>& out) {
    if (depth > 10) return;
    DIR* dir = opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    std::vector<std::pair<std::string, bool>> entries;
    while (const dirent* ent = readdir(dir)) {
        const std::string name = ent->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        ASSERT_EQ(stat((folder + "/" + name).c_str(), &st), 0);
        entries.emplace_back(name, S_ISDIR(st.st_mode));
    }
    closedir(dir);
    for (const auto& [name, isFolder] : entries) {
        if (isFolder) {
            walkUnsorted(folder + "/" + name, depth + 1, out);
        } else {
            out.push_back(folder + "/" + name);
        }
    }
}

// Real links as the scan meets them: one back up to a folder on the way (the root included) adds
// nothing, however many there are; one to any other folder is followed. Every folder holds a
// file "f"; a link target starting with "/" is taken below the temporary folder.
TEST(ScanRealTree, LinksBackUpAddNothingAndOtherLinksAreFollowed) {
    struct Case {
        const char* what;
        std::vector<std::string> folders;
        std::vector<std::pair<std::string, std::string>> links;  // path in the root, target
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"four links to the folder itself",
         {},
         {{"l1", "."}, {"l2", "."}, {"l3", "."}, {"l4", "."}},
         {"f"}},
        {"a link to the parent, and one from deep to the root by its absolute path",
         {"sub", "a", "a/b", "a/b/c"},
         {{"sub/up", ".."}, {"a/b/c/top", "/root"}},
         {"a\\b\\c\\f", "a\\b\\f", "a\\f", "f", "sub\\f"}},
        {"links to a sibling folder and to a folder outside the root",
         {"a", "b"},
         {{"a/x", "../b"}, {"out", "/outside"}},
         {"a\\f", "a\\x\\f", "b\\f", "f", "out\\f"}},
        {"a link to a sibling, which links back to the root",
         {"a", "b"},
         {{"a/x", "../b"}, {"b/back", ".."}},
         {"a\\f", "a\\x\\f", "b\\f", "f"}},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        const std::string root = tmp / "root";
        makeDirs(tmp / "outside");
        writeFile(tmp / "outside/f", "o");
        makeDirs(root);
        writeFile(root + "/f", "r");
        for (const std::string& folder : c.folders) {
            makeDirs(root + "/" + folder);
            writeFile(root + "/" + folder + "/f", folder);
        }
        for (const auto& [path, target] : c.links) {
            const std::string to = target[0] == '/' ? tmp.path + target : target;
            ASSERT_EQ(symlink(to.c_str(), (root + "/" + path).c_str()), 0) << path;
        }
        FileList list;
        EXPECT_TRUE(scanFolder(systemFileSystem(), root, list));
        std::vector<std::string> names = storedNamesOf(list);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.expected) << c.what;
    }
}

// The kernel's views list as empty, as the root and through a link. (Small folders of them, so
// that a failure shows at once rather than as a scan of the whole system through /proc.)
TEST(ScanRealTree, ProcAndSysHoldNothingToStore) {
    const char* const views[] = {"/proc/self/fdinfo", "/sys/kernel/mm"};
    for (const char* view : views) {
        struct stat st {};
        if (stat(view, &st) != 0) GTEST_SKIP() << view << " is not there";
    }
    FileList list;
    for (const char* view : views) EXPECT_TRUE(scanFolder(systemFileSystem(), view, list));
    TempDir tmp;
    const std::string root = tmp / "root";
    makeDirs(root);
    writeFile(root + "/f", "f");
    ASSERT_EQ(symlink(views[0], (root + "/fdinfo").c_str()), 0);
    ASSERT_EQ(symlink(views[1], (root + "/mm").c_str()), 0);
    scanFolder(systemFileSystem(), root, list);
    EXPECT_EQ(storedNamesOf(list), std::vector<std::string>{"f"});
}

TEST(ScanRealTree, OrderIsTheFolderEnumerationOrderDepthFirst) {
    TempDir tmp;
    const std::string root = tmp / "root";
    for (const char* folder : {"m", "b/q", "b/a", "z", "a"}) makeDirs(root + "/" + folder);
    for (const char* file :
         {"zz", "b/q/2", "b/q/1", "b/y", "b/a/x", "m/3", "a1", "Z", "a/.k", "10", "9", "z/-"}) {
        writeFile(root + "/" + file, file);
    }
    std::vector<std::string> expected;
    walkUnsorted(root, 0, expected);
    FileList list;
    scanFolder(systemFileSystem(), root, list);
    EXPECT_EQ(pathsOf(list), expected);
}

TEST(ScanRealTree, EveryEntryOfALargeFolderGetsItsOwnSizeAndTime) {
    TempDir tmp;
    const std::string root = tmp / "root";
    makeDirs(root + "/big");
    // Enough for the stats to fill several jobs, shared between the threads.
    const int count = 700;
    for (int i = 0; i < count; ++i) {
        const std::string name = root + "/big/f" + std::to_string(i);
        writeFile(name, std::string(static_cast<size_t>(i), 'x'));
        setModifiedTime(name, 1000000000 + i * 60);
    }
    ASSERT_EQ(symlink((root + "/big/f5").c_str(), (root + "/big/link").c_str()), 0);
    // Stated among the files: a link back up, passed over by its identity, and a dangling one.
    ASSERT_EQ(symlink("..", (root + "/big/up").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (root + "/big/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/big/pipe").c_str(), 0600), 0);
    makeDirs(root + "/big/sub");
    writeFile(root + "/big/sub/inner", "abc");

    FileList list;
    scanFolder(systemFileSystem(), root, list);
    ASSERT_EQ(list.size(), static_cast<size_t>(count + 2));
    const std::string prefix = root + "/big/f";
    for (const FileEntry& e : list) {
        const std::string path = list.pathOf(e);
        if (path.compare(0, prefix.size(), prefix) != 0) continue;
        const int i = std::stoi(path.substr(prefix.size()));
        EXPECT_EQ(e.size, static_cast<uint64_t>(i)) << path;
        EXPECT_EQ(e.modifiedTime, 1000000000 + i * 60 + currentUtcOffset()) << path;
    }
    const FileEntry* link = find(list, root + "/big/link");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->size, 5u);
}

// The stats still to come keep their folders open: under a tight descriptor limit the scan waits
// for them rather than pass over a folder it couldn't open.
TEST(ScanRealTree, ATightDescriptorLimitLosesNoFolder) {
    TempDir tmp;
    const std::string root = tmp / "root";
    for (int folder = 0; folder < 40; ++folder) {
        const std::string dir = root + "/d" + std::to_string(folder);
        makeDirs(dir);
        for (int i = 0; i < 10; ++i) writeFile(dir + "/f" + std::to_string(i), "x");
    }
    // A first scan with descriptors to spare: the sanitizers' runtime checks each type on its
    // first use, and needs descriptors of its own for that.
    FileList warmUp;
    ASSERT_TRUE(scanFolder(systemFileSystem(), root, warmUp));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowest = dup(0);  // past the descriptors in use
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(lowest + 2);  // the root and one folder in it
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    FileList list;
    const bool listed = scanFolder(systemFileSystem(), root, list);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_TRUE(listed);
    EXPECT_EQ(list.size(), 400u);
}

#endif  // !_WIN32

}  // namespace

#ifdef _WIN32

// The scan tells a loop by the identity each listing reports: the same folder, however it is
// spelled, has the same one (volume serial number and file index); another folder another. (Wine
// can make neither junctions nor folder links, so the loop itself is tested with the fake file
// system and on Linux.)
TEST(ScanRealTree, AFolderHasOneIdentityWhateverThePathSpellsIt) {
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

#endif  // _WIN32
