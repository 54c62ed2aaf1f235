#include "format/format.h"

// The encoders append field after field; these hold them to the offsets the decoders read at.
static_assert(kZeroWordsAt + 4 * kZeroWordCount == kFileCountAt, "header layout");
static_assert(kFileCountAt + 4 == kRecordsLengthAt && kRecordsLengthAt + 4 == kIndexOffsetAt,
              "header layout");
static_assert(kIndexOffsetAt + 4 == kFixedValueAt && kFixedValueAt + 4 == kHeaderSize,
              "header layout");
static_assert(kRecordDataOffsetAt == 0 && kRecordDataOffsetAt + 4 == kRecordLengthAt,
              "record layout");
static_assert(kRecordLengthAt + 4 == kRecordRepeatedLengthAt &&
                  kRecordRepeatedLengthAt + 4 == kRecordTimeAt,
              "record layout");
static_assert(kRecordTimeAt + kTimeSize == kRecordNameAt && kRecordNameAt == kRecordFixedSize,
              "record layout");

void encodeHeader(ByteBuffer& out, const ArchiveHeader& header) {
    for (uint32_t word : header.zeroWords) writeU32(out, word);
    writeU32(out, header.fileCount);
    writeU32(out, header.recordsLength);
    writeU32(out, header.indexOffset);
    writeU32(out, header.fixedValue);
}

ArchiveHeader decodeHeader(const uint8_t* bytes) {
    ArchiveHeader header;
    for (size_t i = 0; i < kZeroWordCount; ++i) {
        header.zeroWords[i] = readU32(bytes + kZeroWordsAt + 4 * i);
    }
    header.fileCount = readU32(bytes + kFileCountAt);
    header.recordsLength = readU32(bytes + kRecordsLengthAt);
    header.indexOffset = readU32(bytes + kIndexOffsetAt);
    header.fixedValue = readU32(bytes + kFixedValueAt);
    return header;
}

void encodeRecord(ByteBuffer& out, uint32_t dataOffset, uint32_t length, const CalendarTime& time,
                  const std::string& name) {
    writeU32(out, dataOffset);
    writeU32(out, length);
    writeU32(out, length);
    encodeTime(out, time);
    writeBytes(out, name);
    writeU8(out, 0);
}

RecordFields decodeRecordFields(const uint8_t* bytes) {
    RecordFields fields;
    fields.dataOffset = readU32(bytes + kRecordDataOffsetAt);
    fields.length = readU32(bytes + kRecordLengthAt);
    fields.repeatedLength = readU32(bytes + kRecordRepeatedLengthAt);
    fields.time = decodeTime(bytes + kRecordTimeAt);
    return fields;
}

void encodeTime(ByteBuffer& out, const CalendarTime& time) {
    if (!time.present()) {
        out.insert(out.end(), kTimeSize, 0);
        return;
    }
    writeU16(out, static_cast<uint16_t>(time.year));
    writeU8(out, static_cast<uint8_t>(time.month));
    writeU8(out, static_cast<uint8_t>(time.day));
    writeU8(out, static_cast<uint8_t>(time.hour));
    writeU8(out, static_cast<uint8_t>(time.minute));
    writeU8(out, static_cast<uint8_t>(time.second));
    writeU8(out, 0);
}

CalendarTime decodeTime(const uint8_t* bytes) {
    return {readU16(bytes), bytes[2], bytes[3], bytes[4], bytes[5], bytes[6]};
}
