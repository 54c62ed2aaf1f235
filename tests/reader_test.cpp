// The strict reader against well-formed archives and a table of broken ones, each refused with
// the first problem and where it is, whatever the size of the pieces it reads the index and the
// record block in.

#include <gtest/gtest.h>

#include <functional>

#include "archive_builder.h"
#include "common/fatal_error.h"
#include "format/reader.h"

namespace {

// Piece sizes that put piece boundaries inside index slots, fixed fields and names (the smallest
// are raised to what a slot and a record's fixed bytes need), and the program's own.
const size_t kPieceSizes[] = {1, 6, 21, 23, 64, kReadPieceSize};

std::string problemOf(ArchiveSource& source, size_t pieceSize = kReadPieceSize) {
    try {
        readArchive(source, pieceSize);
        return "(accepted)";
    } catch (const InputFault& fault) {
        EXPECT_FALSE(fault.finding.empty());
        return fault.what();
    }
}

std::string problemOf(const ByteBuffer& bytes, size_t pieceSize = kReadPieceSize) {
    MemorySource source(bytes.data(), bytes.size());
    return problemOf(source, pieceSize);
}

std::vector<ArchiveRecord> parse(const ByteBuffer& bytes, size_t pieceSize = kReadPieceSize) {
    MemorySource source(bytes.data(), bytes.size());
    try {
        return readArchive(source, pieceSize);
    } catch (const InputFault& fault) {
        ADD_FAILURE() << fault.what();
        return {};
    }
}

// One five-byte file: header, "hello" at 28, index at 33, record at 37, 63 bytes in all.
BuiltArchive oneFile() { return buildArchive({{"a.txt", "hello"}}); }
// "abc" and "de": index at 33, records at 41 and 63, 85 bytes in all.
BuiltArchive twoFiles() { return buildArchive({{"a", "abc"}, {"b", "de"}}); }

TEST(Reader, ReadsEveryFieldOfAWellFormedArchive) {
    TestFile noTime{"sub\\empty", ""};
    noTime.time = {};
    TestFile leapDay{"sub\\deeper\\x.bin", std::string("\0\xff", 2)};
    leapDay.time = {0xD4, 0x07, 2, 29, 23, 59, 59, 0};
    // A name over several of the smaller pieces.
    const std::string longName = "long\\" + std::string(150, 'n') + ".txt";
    const BuiltArchive built =
        buildArchive({{"a.txt", "hello"}, noTime, leapDay, {longName, ""}, {"z", ""}});
    for (size_t pieceSize : kPieceSizes) {
        SCOPED_TRACE("pieces of " + std::to_string(pieceSize));
        const std::vector<ArchiveRecord> r = parse(built.bytes, pieceSize);
        ASSERT_EQ(r.size(), 5u);
        EXPECT_EQ(r[0].name, "a.txt");
        EXPECT_EQ(r[0].dataOffset, 28u);
        EXPECT_EQ(r[0].length, 5u);
        EXPECT_EQ(formatStoredTime(r[0].time), "2004-07-09 13:45:30");
        for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i].recordOffset, built.recordAt[i]);
        EXPECT_EQ(r[1].name, "sub\\empty");
        EXPECT_EQ(r[1].dataOffset, 33u);  // an empty file sits where the next one begins
        EXPECT_FALSE(r[1].time.present());
        EXPECT_EQ(formatStoredTime(r[1].time), "-");
        EXPECT_EQ(r[2].name, "sub\\deeper\\x.bin");
        EXPECT_EQ(r[2].dataOffset + r[2].length, 35u);  // the data end at the index
        EXPECT_EQ(formatStoredTime(r[2].time), "2004-02-29 23:59:59");
        EXPECT_EQ(r[3].name, longName);
        EXPECT_EQ(r[4].name, "z");
    }
}

TEST(Reader, EmptyArchiveIsTheHeaderAlone) {
    const ByteBuffer bytes = buildArchive({}).bytes;
    EXPECT_EQ(bytes.size(), 28u);
    EXPECT_TRUE(parse(bytes).empty());
}

struct BrokenCase {
    const char* what;
    std::function<BuiltArchive()> make;
    std::string problem;
};

BuiltArchive changed(BuiltArchive a, const std::function<void(BuiltArchive&)>& change) {
    change(a);
    return a;
}

BuiltArchive oneFileWith(const std::function<void(BuiltArchive&)>& change) {
    return changed(oneFile(), change);
}

BuiltArchive twoFilesWith(const std::function<void(BuiltArchive&)>& change) {
    return changed(twoFiles(), change);
}

// Time bytes of the one-file archive, at 49.
BuiltArchive oneFileWithTime(std::array<uint8_t, 8> time) {
    return oneFileWith([&](BuiltArchive& a) { std::copy(time.begin(), time.end(), &a.bytes[49]); });
}

TEST(Reader, RefusesEachBrokenArchiveWithItsFirstProblem) {
    const std::vector<BrokenCase> cases = {
        {"shorter than a header",
         [] { return oneFileWith([](BuiltArchive& a) { a.bytes.resize(12); }); },
         "not a .zem archive: 12 bytes long, shorter than the 28-byte header"},
        {"zero word", [] { return oneFileWith([](BuiltArchive& a) { a.set(4, 1); }); },
         "not a .zem archive: header word at offset 4 is 0x00000001, expected 0"},
        {"fixed value", [] { return oneFileWith([](BuiltArchive& a) { a.set(24, 9); }); },
         "not a .zem archive: header's fixed value at offset 24 is 9, expected 8"},
        {"index inside the header",
         [] { return oneFileWith([](BuiltArchive& a) { a.set(20, 27); }); },
         "header: indexOffset at offset 20 is 27, inside the 28-byte header"},
        {"index past the end", [] { return oneFileWith([](BuiltArchive& a) { a.set(20, 64); }); },
         "header: indexOffset at offset 20 is 64, past the end of the archive at offset 63"},
        {"huge count", [] { return oneFileWith([](BuiltArchive& a) { a.set(12, 0xFFFFFFFF); }); },
         "header: fileCount at offset 12 is 4294967295: its index from offset 33 runs past the "
         "end of the archive at offset 63"},
        {"record block too long",
         [] { return oneFileWith([](BuiltArchive& a) { a.set(16, 27); }); },
         "header: recordsLength at offset 16 is 27: the record block from offset 37 would end at "
         "offset 64, but the archive ends at offset 63"},
        {"a byte after the end",
         [] { return oneFileWith([](BuiltArchive& a) { a.bytes.push_back(0); }); },
         "header: recordsLength at offset 16 is 26: the record block from offset 37 would end at "
         "offset 63, but the archive ends at offset 64"},
        {"more records than fit",
         [] { return oneFileWith([](BuiltArchive& a) { a.set(12, 2), a.set(16, 22); }); },
         "header: fileCount at offset 12 is 2, more records than the 22-byte record block can "
         "hold"},
        {"first slot not 0", [] { return oneFileWith([](BuiltArchive& a) { a.set(33, 5); }); },
         "index slot 0 at offset 33 holds 5, but record 0 begins at 0, the start of the record "
         "block"},
        {"slot past the block", [] { return oneFileWith([](BuiltArchive& a) { a.set(33, 26); }); },
         "index slot 0 at offset 33 holds 26, past the end of the 26-byte record block"},
        {"second slot off", [] { return twoFilesWith([](BuiltArchive& a) { a.set(37, 21); }); },
         "index slot 1 at offset 37 holds 21, but record 1 begins at 22, right after the previous "
         "record"},
        {"lengths differ", [] { return oneFileWith([](BuiltArchive& a) { a.set(45, 6); }); },
         "record 0 at offset 37: length 5 and repeated length 6 differ"},
        {"month 13",
         [] {
             return oneFileWithTime({0xD4, 0x07, 13, 9, 13, 45, 30, 0});
         },
         "record 0: time bytes at offset 49: month 13 is not 1-12"},
        {"30 February",
         [] {
             return oneFileWithTime({0xD4, 0x07, 2, 30, 13, 45, 30, 0});
         },
         "record 0: time bytes at offset 49: day 30 does not exist in month 2 of 2004"},
        {"29 February of a common year",
         [] {
             return oneFileWithTime({0xD5, 0x07, 2, 29, 0, 0, 0, 0});
         },
         "record 0: time bytes at offset 49: day 29 does not exist in month 2 of 2005"},
        {"hour 24",
         [] {
             return oneFileWithTime({0xD4, 0x07, 7, 9, 24, 0, 0, 0});
         },
         "record 0: time bytes at offset 49: hour 24 is not 0-23"},
        {"second 60",
         [] {
             return oneFileWithTime({0xD4, 0x07, 7, 9, 23, 59, 60, 0});
         },
         "record 0: time bytes at offset 49: second 60 is not 0-59"},
        {"year 1969",
         [] {
             return oneFileWithTime({0xB1, 0x07, 12, 31, 23, 59, 59, 0});
         },
         "record 0: time bytes at offset 49: year 1969 lies outside 1970-2038"},
        {"last time byte",
         [] {
             return oneFileWithTime({0xD4, 0x07, 7, 9, 13, 45, 30, 1});
         },
         "record 0: time bytes at offset 49: the last time byte is 1, expected 0"},
        {"data in the header", [] { return oneFileWith([](BuiltArchive& a) { a.set(37, 0); }); },
         "record 0 at offset 37: data of 5 bytes at offset 0 lie outside the data region (28 to "
         "33)"},
        {"data into the index", [] { return oneFileWith([](BuiltArchive& a) { a.set(37, 29); }); },
         "record 0 at offset 37: data of 5 bytes at offset 29 lie outside the data region (28 to "
         "33)"},
        {"length past 4 GiB",
         [] {
             return oneFileWith(
                 [](BuiltArchive& a) { a.set(41, 0xFFFFFFFF), a.set(45, 0xFFFFFFFF); });
         },
         "record 0 at offset 37: data of 4294967295 bytes at offset 28 lie outside the data region "
         "(28 to 33)"},
        {"overlapping data", [] { return twoFilesWith([](BuiltArchive& a) { a.set(63, 30); }); },
         "record 1 at offset 63: data begin at offset 30, expected 31 right after the previous "
         "file's data"},
        {"name without its NUL",
         [] { return oneFileWith([](BuiltArchive& a) { a.bytes[62] = 'x'; }); },
         "record 0: name runs past the end of the record block at offset 63"},
        {"fixed bytes cut off",
         [] {
             BuiltArchive a = buildArchive({{std::string(25, 'n'), "abc"}, {"b", "de"}});
             a.bytes.resize(a.recordAt[1] + 10);
             a.set(16, static_cast<uint32_t>(a.bytes.size() - a.recordsStart));
             return a;
         },
         "record 1: its 20 fixed bytes at offset 87 run past the end of the record block at offset "
         "97"},
        {"bytes after the last record",
         [] {
             return oneFileWith([](BuiltArchive& a) {
                 a.bytes.insert(a.bytes.end(), {'x', 'y', 'z'});
                 a.set(16, 29);
             });
         },
         "record block: the last record ends at offset 63, but the block runs to offset 66"},
        {"data no file owns",
         [] {
             return oneFileWith([](BuiltArchive& a) {
                 a.bytes.insert(a.bytes.begin() + 33, '!');
                 a.set(20, 34);
             });
         },
         "data region: the files' data end at offset 33, but the index starts at offset 34"},
    };
    for (const BrokenCase& c : cases) {
        const ByteBuffer bytes = c.make().bytes;
        for (size_t pieceSize : kPieceSizes) {
            EXPECT_EQ(problemOf(bytes, pieceSize), c.problem)
                << c.what << ", pieces of " << pieceSize;
        }
    }
}

TEST(Reader, EveryCutOfAnArchiveIsRefused) {
    const BuiltArchive built = buildArchive({{"a", "abc"}, {"dir\\b", "de"}, {"c", ""}});
    for (size_t length = 0; length < built.bytes.size(); ++length) {
        const ByteBuffer cut(built.bytes.begin(), built.bytes.begin() + length);
        for (size_t pieceSize : kPieceSizes) {
            EXPECT_NE(problemOf(cut, pieceSize), "(accepted)") << "cut at " << length;
        }
    }
}

TEST(Reader, AFailingSourceIsAProblemNotACrash) {
    struct Failing : ArchiveSource {
        uint64_t size() const override { return 1000; }
        bool readAt(uint64_t, void*, size_t) override { return false; }
    } source;
    EXPECT_EQ(problemOf(source), "cannot read the header at offset 0");
}

}  // namespace
