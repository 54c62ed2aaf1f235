// The archive viewer's rows, title and status line, and the temporary copies of opened files.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_builder.h"
#include "common/fatal_error.h"
#include "test_util.h"
#include "viewer/archive_view.h"

namespace {

ArchiveRecord record(const std::string& name, uint32_t length, CalendarTime time) {
    ArchiveRecord r;
    r.name = name;
    r.length = length;
    r.time = time;
    return r;
}

CalendarTime at(int year, int month, int day, int hour = 0) {
    CalendarTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    return t;
}

TEST(ViewerRows, EachColumnSortsBothWaysAndTiesKeepTheArchiveOrder) {
    const std::vector<ArchiveRecord> records = {
        record("b.txt", 5, at(2010, 1, 15)),
        record("A.txt", 20, at(2004, 7, 9, 13)),
        record("sub\\c.bin", 5, CalendarTime()),  // stored without a time: the oldest
        record("a.txt", 7, at(2004, 7, 9, 14)),
        record("B", 0, at(2039, 6, 1)),
    };
    struct Case {
        ViewColumn column;
        bool ascending;
        std::vector<std::string> names;
    } cases[] = {
        {ViewColumn::Name, true, {"A.txt", "a.txt", "B", "b.txt", "sub\\c.bin"}},
        {ViewColumn::Name, false, {"sub\\c.bin", "b.txt", "B", "a.txt", "A.txt"}},
        {ViewColumn::Size, true, {"B", "b.txt", "sub\\c.bin", "a.txt", "A.txt"}},
        {ViewColumn::Size, false, {"A.txt", "a.txt", "b.txt", "sub\\c.bin", "B"}},
        {ViewColumn::Time, true, {"sub\\c.bin", "A.txt", "a.txt", "b.txt", "B"}},
        {ViewColumn::Time, false, {"B", "b.txt", "a.txt", "A.txt", "sub\\c.bin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.column)) + (c.ascending ? " up" : " down"));
        std::vector<std::string> names;
        for (size_t i : sortedRecords(records, c.column, c.ascending)) {
            names.push_back(records[i].name);
        }
        EXPECT_EQ(names, c.names);
    }
}

TEST(ViewerRows, TitleAndStatusLine) {
    EXPECT_EQ(viewerTitle(""), "ZEM Viewer");
    EXPECT_EQ(viewerTitle(join("some", "pack.zem")), "pack.zem - ZEM Viewer");
    EXPECT_EQ(viewerStatus({}), "0 files, 0 bytes");
    EXPECT_EQ(viewerStatus({record("a", 1, {})}), "1 file, 1 byte");
    // Past 32 bits in all, though no file is.
    EXPECT_EQ(viewerStatus({record("a", 4000000000u, {}), record("b", 4000000000u, {})}),
              "2 files, 8000000000 bytes");
}

TEST(ViewerCopies, EachOpeningGetsAFolderOfItsOwnAndTheArchiveKeepsItsRecords) {
    TempDir tmp;
    const std::string archivePath = tmp / "pack.zem";
    writeFile(archivePath, buildArchive({{"a.txt", "hello", {}}, {"sub\\b.bin", "bb", {}}}).text());
    LoadedArchive archive;
    ASSERT_NO_THROW(readArchiveFile(archivePath, archive));
    TemporaryCopies copies{tmp / "copies", 0};
    std::vector<std::string> warnings;
    const std::string first = extractTemporaryCopy(archive, 1, copies, warnings);
    EXPECT_EQ(first, tmp / "copies/1/sub/b.bin");
    EXPECT_EQ(readFile(first), "bb");
    writeFile(first, "changed by the program it was opened in");
    const std::string second = extractTemporaryCopy(archive, 1, copies, warnings);
    EXPECT_EQ(second, tmp / "copies/2/sub/b.bin");
    EXPECT_EQ(readFile(second), "bb");
    EXPECT_EQ(readFile(first), "changed by the program it was opened in");
    EXPECT_EQ(listNames(tmp / "copies"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(listNames(tmp / "copies/2"), std::vector<std::string>{"sub"});
    EXPECT_TRUE(warnings.empty());
    ASSERT_EQ(archive.records.size(), 2u);
    EXPECT_EQ(archive.records[0].name, "a.txt");
    EXPECT_THROW(extractTemporaryCopy(archive, 2, copies, warnings), FatalError);
}

}  // namespace
