// The shared encoders and decoders of the archive layout: what one writes, the other reads back
// field for field, at the offsets the layout names, with no field leaking into its neighbour.

#include <gtest/gtest.h>

#include "format/format.h"

namespace {

TEST(Format, HeaderFieldsRoundTripAtTheirOffsets) {
    ArchiveHeader header;
    header.fileCount = 0x01020304;
    header.recordsLength = 0xFFFFFFFF;
    header.indexOffset = 0x0A0B0C0D;
    ByteBuffer bytes;
    encodeHeader(bytes, header);
    ASSERT_EQ(bytes.size(), kHeaderSize);
    EXPECT_EQ(readU32(&bytes[kFileCountAt]), 0x01020304u);
    EXPECT_EQ(readU32(&bytes[kFixedValueAt]), 8u);
    bytes[kZeroWordsAt + 8] = 7;  // the third zero word
    const ArchiveHeader back = decodeHeader(bytes.data());
    EXPECT_EQ(back.zeroWords[0], 0u);
    EXPECT_EQ(back.zeroWords[1], 0u);
    EXPECT_EQ(back.zeroWords[2], 7u);
    EXPECT_EQ(back.fileCount, header.fileCount);
    EXPECT_EQ(back.recordsLength, header.recordsLength);
    EXPECT_EQ(back.indexOffset, header.indexOffset);
    EXPECT_EQ(back.fixedValue, kFixedValue);
}

TEST(Format, RecordsAndTimesRoundTrip) {
    const CalendarTime times[] = {{2038, 12, 31, 23, 59, 59}, {1970, 1, 1, 0, 0, 0}, {}};
    for (const CalendarTime& time : times) {
        ByteBuffer bytes;
        encodeRecord(bytes, 0xDEADBEEF, 0x12345678, time, "sub\\name");
        ASSERT_EQ(bytes.size(), kRecordFixedSize + 9);
        EXPECT_EQ(std::string(bytes.begin() + kRecordNameAt, bytes.end()),
                  std::string("sub\\name", 9));
        const RecordFields fields = decodeRecordFields(bytes.data());
        EXPECT_EQ(fields.dataOffset, 0xDEADBEEFu);
        EXPECT_EQ(fields.length, 0x12345678u);
        EXPECT_EQ(fields.repeatedLength, 0x12345678u);
        EXPECT_EQ(fields.time.year, time.year);
        EXPECT_EQ(fields.time.month, time.month);
        EXPECT_EQ(fields.time.day, time.day);
        EXPECT_EQ(fields.time.hour, time.hour);
        EXPECT_EQ(fields.time.minute, time.minute);
        EXPECT_EQ(fields.time.second, time.second);
        EXPECT_EQ(fields.time.present(), time.present());
        EXPECT_EQ(bytes[kRecordTimeAt + kTimeSize - 1], 0);
    }
}

}  // namespace
