#pragma once
// The .zem layout, shared by the writer and the reader. In file order:
//   header        28 bytes at offset 0
//   data          every file's bytes, back to back in list order, no padding
//   index         one 4-byte slot per file: where its record begins, counted from the start of
//                 the record block
//   record block  one record per file, in list order
// Every number is an unsigned little-endian integer.

#include <cstddef>
#include <cstdint>
#include <string>

#include "format/bytes.h"
#include "format/local_time.h"

// Header: three zero words, fileCount, recordsLength (the record block's size), indexOffset
// (which is also where the data end), and a fixed value.
constexpr uint32_t kHeaderSize = 28;
constexpr size_t kZeroWordsAt = 0;
constexpr size_t kZeroWordCount = 3;
constexpr size_t kFileCountAt = 12;
constexpr size_t kRecordsLengthAt = 16;
constexpr size_t kIndexOffsetAt = 20;
constexpr size_t kFixedValueAt = 24;
constexpr uint32_t kFixedValue = 8;

constexpr uint32_t kIndexSlotSize = 4;

// Record: the file's dataOffset, its length, the same length again, eight time bytes, and the
// name (components joined by backslashes) with a terminating NUL.
constexpr size_t kRecordDataOffsetAt = 0;
constexpr size_t kRecordLengthAt = 4;
constexpr size_t kRecordRepeatedLengthAt = 8;
constexpr size_t kRecordTimeAt = 12;
constexpr size_t kRecordNameAt = 20;
constexpr uint32_t kRecordFixedSize = 20;

// Time bytes: the year (two bytes), month, day, hour, minute, second, and a zero byte; eight zero
// bytes for a file without a time. Only these years can be stored.
constexpr size_t kTimeSize = 8;
constexpr int64_t kFirstStoredYear = 1970;
constexpr int64_t kLastStoredYear = 2038;

struct ArchiveHeader {
    uint32_t zeroWords[kZeroWordCount] = {};
    uint32_t fileCount = 0;
    uint32_t recordsLength = 0;
    uint32_t indexOffset = 0;
    uint32_t fixedValue = kFixedValue;
};

// The fixed part of a record, before the name.
struct RecordFields {
    uint32_t dataOffset = 0;
    uint32_t length = 0;
    uint32_t repeatedLength = 0;
    CalendarTime time;
};

// Appends the kHeaderSize bytes of the header.
void encodeHeader(ByteBuffer& out, const ArchiveHeader& header);
// Reads kHeaderSize bytes.
ArchiveHeader decodeHeader(const uint8_t* bytes);

// Appends a whole record: its fixed fields, the length twice, and the name with its NUL.
void encodeRecord(ByteBuffer& out, uint32_t dataOffset, uint32_t length, const CalendarTime& time,
                  const std::string& name);
// Reads the kRecordFixedSize bytes before the name.
RecordFields decodeRecordFields(const uint8_t* bytes);

// Appends the kTimeSize time bytes; a time that isn't present() gives eight zero bytes.
void encodeTime(ByteBuffer& out, const CalendarTime& time);
// Reads the calendar fields of kTimeSize time bytes, without checking them.
CalendarTime decodeTime(const uint8_t* bytes);
