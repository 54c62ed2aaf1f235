#include "archive/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "archive/fatal_error.h"
#include "archive/format.h"

namespace {

// The smallest record: the fixed fields and the NUL of an empty name.
constexpr uint64_t kMinRecordSize = kRecordFixedSize + 1;

std::string offsetText(uint64_t offset) { return "offset " + std::to_string(offset); }

std::string hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Where the record block begins: right after the index.
uint64_t recordBlockStart(const ArchiveHeader& header) {
    return uint64_t(header.indexOffset) + kIndexSlotSize * uint64_t(header.fileCount);
}

// Checks the eight time bytes; empty when they hold no time or a real calendar time, else what
// is wrong with them.
std::string timeProblem(const uint8_t* bytes) {
    if (std::all_of(bytes, bytes + kTimeSize, [](uint8_t b) { return b == 0; })) return "";
    const uint8_t last = bytes[kTimeSize - 1];
    if (last != 0) return "the last time byte is " + std::to_string(last) + ", expected 0";
    const CalendarTime time = decodeTime(bytes);
    // The writer stores years 1970..2038 and eight zero bytes for any other time.
    if (time.year < kFirstStoredYear || time.year > kLastStoredYear) {
        return "year " + std::to_string(time.year) + " lies outside " +
               std::to_string(kFirstStoredYear) + "-" + std::to_string(kLastStoredYear);
    }
    if (time.month < 1 || time.month > 12) {
        return "month " + std::to_string(time.month) + " is not 1-12";
    }
    if (time.day < 1 || time.day > daysInMonth(time.year, time.month)) {
        return "day " + std::to_string(time.day) + " does not exist in month " +
               std::to_string(time.month) + " of " + std::to_string(time.year);
    }
    if (time.hour > 23) return "hour " + std::to_string(time.hour) + " is not 0-23";
    if (time.minute > 59) return "minute " + std::to_string(time.minute) + " is not 0-59";
    if (time.second > 59) return "second " + std::to_string(time.second) + " is not 0-59";
    return "";
}

// Step 1: the header, every field checked against the archive's real size, so that the later
// steps can allocate and read what it describes.
std::string readHeader(ArchiveSource& source, ArchiveHeader& header) {
    const uint64_t size = source.size();
    if (size < kHeaderSize) {
        return "archive is " + std::to_string(size) + " bytes long, shorter than its " +
               std::to_string(kHeaderSize) + "-byte header";
    }
    uint8_t bytes[kHeaderSize];
    if (!source.readAt(0, bytes, sizeof bytes)) return "cannot read the header at offset 0";
    header = decodeHeader(bytes);

    for (size_t i = 0; i < kZeroWordCount; ++i) {
        if (header.zeroWords[i] != 0) {
            return "header: word at " + offsetText(kZeroWordsAt + 4 * i) + " is " +
                   hex32(header.zeroWords[i]) + ", expected 0";
        }
    }
    if (header.fixedValue != kFixedValue) {
        return "header: fixed value at " + offsetText(kFixedValueAt) + " is " +
               std::to_string(header.fixedValue) + ", expected " + std::to_string(kFixedValue);
    }
    const std::string indexOffset = "header: indexOffset at " + offsetText(kIndexOffsetAt) +
                                    " is " + std::to_string(header.indexOffset);
    if (header.indexOffset < kHeaderSize) {
        return indexOffset + ", inside the " + std::to_string(kHeaderSize) + "-byte header";
    }
    if (header.indexOffset > size) {
        return indexOffset + ", past the end of the archive at " + offsetText(size);
    }
    const std::string fileCount = "header: fileCount at " + offsetText(kFileCountAt) + " is " +
                                  std::to_string(header.fileCount);
    const uint64_t recordsStart = recordBlockStart(header);
    if (recordsStart > size) {
        return fileCount + ": its index from " + offsetText(header.indexOffset) +
               " runs past the end of the archive at " + offsetText(size);
    }
    const uint64_t recordsEnd = recordsStart + header.recordsLength;
    if (recordsEnd != size) {
        return "header: recordsLength at " + offsetText(kRecordsLengthAt) + " is " +
               std::to_string(header.recordsLength) + ": the record block from " +
               offsetText(recordsStart) + " would end at " + offsetText(recordsEnd) +
               ", but the archive ends at " + offsetText(size);
    }
    if (uint64_t(header.fileCount) * kMinRecordSize > header.recordsLength) {
        return fileCount + ", more records than the " + std::to_string(header.recordsLength) +
               "-byte record block can hold";
    }
    return "";
}

// Step 2: the index and the record block, each read whole; the header's checks bound both sizes
// by the archive's real size.
std::string readIndexAndRecordBlock(ArchiveSource& source, const ArchiveHeader& header,
                                    std::vector<uint8_t>& index, std::vector<uint8_t>& block) {
    index.resize(kIndexSlotSize * size_t(header.fileCount));
    block.resize(header.recordsLength);
    if (!source.readAt(header.indexOffset, index.data(), index.size())) {
        return "cannot read the index at " + offsetText(header.indexOffset);
    }
    const uint64_t recordsStart = recordBlockStart(header);
    if (!source.readAt(recordsStart, block.data(), block.size())) {
        return "cannot read the record block at " + offsetText(recordsStart);
    }
    return "";
}

// Step 3: the records, each where its index slot says and right after the previous one, until
// they fill the record block exactly.
std::string readRecords(const ArchiveHeader& header, const std::vector<uint8_t>& index,
                        const std::vector<uint8_t>& block, std::vector<ArchiveRecord>& records) {
    const uint32_t recordsLength = header.recordsLength;
    const uint64_t recordsStart = recordBlockStart(header);
    const uint64_t recordsEnd = recordsStart + recordsLength;
    records.reserve(header.fileCount);
    uint64_t position = 0;  // where the next record must begin, in the record block
    for (uint32_t i = 0; i < header.fileCount; ++i) {
        const std::string record = "record " + std::to_string(i);
        const std::string slotText = "index slot " + std::to_string(i) + " at " +
                                     offsetText(header.indexOffset + kIndexSlotSize * uint64_t(i));
        const uint32_t slot = readU32(&index[kIndexSlotSize * size_t(i)]);
        if (slot >= recordsLength) {
            return slotText + " holds " + std::to_string(slot) + ", past the end of the " +
                   std::to_string(recordsLength) + "-byte record block";
        }
        if (slot != position) {
            return slotText + " holds " + std::to_string(slot) + ", but " + record + " begins at " +
                   std::to_string(position) +
                   (i == 0 ? ", the start of the record block"
                           : ", right after the previous record");
        }
        const uint64_t at = recordsStart + position;
        if (recordsLength - position < kRecordFixedSize) {
            return record + ": its " + std::to_string(kRecordFixedSize) + " fixed bytes at " +
                   offsetText(at) + " run past the end of the record block at " +
                   offsetText(recordsEnd);
        }
        const uint8_t* fixed = &block[position];
        const RecordFields fields = decodeRecordFields(fixed);
        if (fields.length != fields.repeatedLength) {
            return record + " at " + offsetText(at) + ": length " + std::to_string(fields.length) +
                   " and repeated length " + std::to_string(fields.repeatedLength) + " differ";
        }
        const std::string badTime = timeProblem(fixed + kRecordTimeAt);
        if (!badTime.empty()) {
            return record + ": time bytes at " + offsetText(at + kRecordTimeAt) + ": " + badTime;
        }
        const uint64_t nameStart = position + kRecordNameAt;
        const void* nul = memchr(block.data() + nameStart, 0, recordsLength - nameStart);
        if (!nul) {
            return record + ": name runs past the end of the record block at " +
                   offsetText(recordsEnd);
        }
        const uint64_t nameEnd = static_cast<const uint8_t*>(nul) - block.data();
        ArchiveRecord entry;
        entry.dataOffset = fields.dataOffset;
        entry.length = fields.length;
        entry.time = fields.time;
        entry.name.assign(reinterpret_cast<const char*>(block.data() + nameStart),
                          static_cast<size_t>(nameEnd - nameStart));
        entry.recordOffset = at;
        records.push_back(std::move(entry));
        position = nameEnd + 1;
    }
    if (position != recordsLength) {
        return "record block: the last record ends at " + offsetText(recordsStart + position) +
               ", but the block runs to " + offsetText(recordsEnd);
    }
    return "";
}

// Step 4: the files' data, each inside the data region and right after the previous file's,
// together filling the region up to the index.
std::string checkDataRegions(const ArchiveHeader& header,
                             const std::vector<ArchiveRecord>& records) {
    uint64_t expectedData = kHeaderSize;  // where the next file's data must begin
    for (size_t i = 0; i < records.size(); ++i) {
        const ArchiveRecord& r = records[i];
        const std::string record =
            "record " + std::to_string(i) + " at " + offsetText(r.recordOffset);
        const uint64_t dataEnd = uint64_t(r.dataOffset) + r.length;
        if (r.dataOffset < kHeaderSize || dataEnd > header.indexOffset) {
            return record + ": data of " + std::to_string(r.length) + " bytes at " +
                   offsetText(r.dataOffset) + " lie outside the data region (" +
                   std::to_string(kHeaderSize) + " to " + std::to_string(header.indexOffset) + ")";
        }
        if (r.dataOffset != expectedData) {
            return record + ": data begin at " + offsetText(r.dataOffset) + ", expected " +
                   std::to_string(expectedData) + " right after the previous file's data";
        }
        expectedData = dataEnd;
    }
    if (expectedData != header.indexOffset) {
        return "data region: the files' data end at " + offsetText(expectedData) +
               ", but the index starts at " + offsetText(header.indexOffset);
    }
    return "";
}

// std::ifstream works the same on every platform and seeks with 64-bit positions.
struct FileSource : ArchiveSource {
    std::ifstream in;
    uint64_t length = 0;

    uint64_t size() const override { return length; }

    bool readAt(uint64_t position, void* data, size_t count) override {
        in.clear();
        in.seekg(static_cast<std::streamoff>(position));
        if (!in) return false;
        in.read(static_cast<char*>(data), static_cast<std::streamsize>(count));
        return in && static_cast<size_t>(in.gcount()) == count;
    }
};

}  // namespace

bool MemorySource::readAt(uint64_t position, void* data, size_t length) {
    if (position > count || length > count - position) return false;
    if (length > 0) memcpy(data, bytes + position, length);
    return true;
}

std::unique_ptr<ArchiveSource> openArchiveFile(const std::string& path) {
    auto source = std::make_unique<FileSource>();
    errno = 0;
    source->in.open(path, std::ios::binary);
    if (!source->in) {
        fatalError("cannot open \"" + path + "\": " + (errno ? strerror(errno) : "unknown error"));
    }
    source->in.seekg(0, std::ios::end);
    const std::streamoff end = source->in.tellg();
    if (!source->in || end < 0) {
        fatalError("cannot read \"" + path + "\": it has no size (is it a folder?)");
    }
    source->length = static_cast<uint64_t>(end);
    return source;
}

bool readArchive(ArchiveSource& source, std::vector<ArchiveRecord>& records, std::string& problem) {
    records.clear();
    ArchiveHeader header;
    std::vector<uint8_t> index;
    std::vector<uint8_t> block;
    problem = readHeader(source, header);
    if (problem.empty()) problem = readIndexAndRecordBlock(source, header, index, block);
    if (problem.empty()) problem = readRecords(header, index, block, records);
    if (problem.empty()) problem = checkDataRegions(header, records);
    if (problem.empty()) return true;
    records.clear();
    return false;
}

std::string formatStoredTime(const CalendarTime& time) {
    if (!time.present()) return "-";
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(time.year),
             unsigned(time.month), unsigned(time.day), unsigned(time.hour), unsigned(time.minute),
             unsigned(time.second));
    return text;
}
