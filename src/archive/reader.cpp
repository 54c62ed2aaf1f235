#include "archive/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "archive/bytes.h"
#include "archive/fatal_error.h"

namespace {

// The smallest record: the fixed fields and the NUL of an empty name.
constexpr uint64_t kMinRecordSize = kRecordFixedSize + 1;

std::string offsetText(uint64_t offset) { return "offset " + std::to_string(offset); }

std::string hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// Checks the eight time bytes; empty when they hold no time or a real calendar time, else what
// is wrong with them.
std::string timeProblem(const uint8_t* bytes, StoredTime& time) {
    time.year = readU16(bytes);
    time.month = bytes[2];
    time.day = bytes[3];
    time.hour = bytes[4];
    time.minute = bytes[5];
    time.second = bytes[6];
    const bool allZero = std::all_of(bytes, bytes + 8, [](uint8_t b) { return b == 0; });
    if (allZero) return "";
    if (bytes[7] != 0) return "the last time byte is " + std::to_string(bytes[7]) + ", expected 0";
    // The writer stores years 1970..2038 and eight zero bytes for any other time.
    if (time.year < 1970 || time.year > 2038) {
        return "year " + std::to_string(time.year) + " lies outside 1970-2038";
    }
    if (time.month < 1 || time.month > 12) return "month " + std::to_string(time.month) + " is not 1-12";
    if (time.day < 1 || time.day > daysInMonth(time.year, time.month)) {
        return "day " + std::to_string(time.day) + " does not exist in month " +
               std::to_string(time.month) + " of " + std::to_string(time.year);
    }
    if (time.hour > 23) return "hour " + std::to_string(time.hour) + " is not 0-23";
    if (time.minute > 59) return "minute " + std::to_string(time.minute) + " is not 0-59";
    if (time.second > 59) return "second " + std::to_string(time.second) + " is not 0-59";
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

bool readArchive(ArchiveSource& source, ArchiveContents& contents, std::string& problem) {
    const auto fail = [&](std::string text) {
        problem = std::move(text);
        return false;
    };
    contents = ArchiveContents{};
    const uint64_t size = source.size();
    contents.archiveSize = size;
    if (size < kArchiveHeaderSize) {
        return fail("archive is " + std::to_string(size) + " bytes long, shorter than its " +
                    std::to_string(kArchiveHeaderSize) + "-byte header");
    }
    uint8_t header[kArchiveHeaderSize];
    if (!source.readAt(0, header, sizeof header)) return fail("cannot read the header at offset 0");

    for (uint32_t at : {0u, 4u, 8u}) {
        if (readU32(header + at) != 0) {
            return fail("header: word at " + offsetText(at) + " is " + hex32(readU32(header + at)) +
                        ", expected 0");
        }
    }
    if (readU32(header + 24) != 8) {
        return fail("header: fixed value at offset 24 is " + std::to_string(readU32(header + 24)) +
                    ", expected 8");
    }
    const uint32_t fileCount = readU32(header + 12);
    const uint32_t recordsLength = readU32(header + 16);
    const uint32_t indexOffset = readU32(header + 20);
    contents.fileCount = fileCount;
    contents.recordsLength = recordsLength;
    contents.indexOffset = indexOffset;

    if (indexOffset < kArchiveHeaderSize) {
        return fail("header: indexOffset at offset 20 is " + std::to_string(indexOffset) +
                    ", inside the 28-byte header");
    }
    if (indexOffset > size) {
        return fail("header: indexOffset at offset 20 is " + std::to_string(indexOffset) +
                    ", past the end of the archive at " + offsetText(size));
    }
    const uint64_t recordsStart = uint64_t(indexOffset) + 4 * uint64_t(fileCount);
    if (recordsStart > size) {
        return fail("header: fileCount at offset 12 is " + std::to_string(fileCount) +
                    ": its index from " + offsetText(indexOffset) +
                    " runs past the end of the archive at " + offsetText(size));
    }
    const uint64_t recordsEnd = recordsStart + recordsLength;
    if (recordsEnd != size) {
        return fail("header: recordsLength at offset 16 is " + std::to_string(recordsLength) +
                    ": the record block from " + offsetText(recordsStart) + " would end at " +
                    offsetText(recordsEnd) + ", but the archive ends at " + offsetText(size));
    }
    if (uint64_t(fileCount) * kMinRecordSize > recordsLength) {
        return fail("header: fileCount at offset 12 is " + std::to_string(fileCount) +
                    ", more records than the " + std::to_string(recordsLength) +
                    "-byte record block can hold");
    }

    // Both sizes are now bounded by the archive's real size.
    std::vector<uint8_t> index(4 * size_t(fileCount));
    std::vector<uint8_t> block(recordsLength);
    if (!source.readAt(indexOffset, index.data(), index.size())) {
        return fail("cannot read the index at " + offsetText(indexOffset));
    }
    if (!source.readAt(recordsStart, block.data(), block.size())) {
        return fail("cannot read the record block at " + offsetText(recordsStart));
    }

    contents.records.reserve(fileCount);
    uint64_t position = 0;          // where the next record must begin, in the record block
    uint64_t expectedData = kArchiveHeaderSize;  // where the next file's data must begin
    for (uint32_t i = 0; i < fileCount; ++i) {
        const std::string record = "record " + std::to_string(i);
        const uint64_t slotAt = indexOffset + 4 * uint64_t(i);
        const uint32_t slot = readU32(&index[4 * size_t(i)]);
        if (slot >= recordsLength) {
            return fail("index slot " + std::to_string(i) + " at " + offsetText(slotAt) + " holds " +
                        std::to_string(slot) + ", past the end of the " +
                        std::to_string(recordsLength) + "-byte record block");
        }
        if (slot != position) {
            return fail("index slot " + std::to_string(i) + " at " + offsetText(slotAt) + " holds " +
                        std::to_string(slot) + ", but " + record + " begins at " +
                        std::to_string(position) +
                        (i == 0 ? ", the start of the record block"
                                : ", right after the previous record"));
        }
        const uint64_t at = recordsStart + position;
        if (recordsLength - position < kRecordFixedSize) {
            return fail(record + ": its 20 fixed bytes at " + offsetText(at) +
                        " run past the end of the record block at " + offsetText(recordsEnd));
        }
        const uint8_t* fixed = &block[position];
        ArchiveRecord entry;
        entry.position = at;
        entry.dataOffset = readU32(fixed);
        entry.length = readU32(fixed + 4);
        const uint32_t length2 = readU32(fixed + 8);
        if (entry.length != length2) {
            return fail(record + " at " + offsetText(at) + ": length " +
                        std::to_string(entry.length) + " and repeated length " +
                        std::to_string(length2) + " differ");
        }
        const std::string badTime = timeProblem(fixed + 12, entry.time);
        if (!badTime.empty()) {
            return fail(record + ": time bytes at " + offsetText(at + 12) + ": " + badTime);
        }
        const uint64_t dataEnd = uint64_t(entry.dataOffset) + entry.length;
        if (entry.dataOffset < kArchiveHeaderSize || dataEnd > indexOffset) {
            return fail(record + " at " + offsetText(at) + ": data of " +
                        std::to_string(entry.length) + " bytes at " +
                        offsetText(entry.dataOffset) + " lie outside the data region (28 to " +
                        std::to_string(indexOffset) + ")");
        }
        if (entry.dataOffset != expectedData) {
            return fail(record + " at " + offsetText(at) + ": data begin at " +
                        offsetText(entry.dataOffset) + ", expected " +
                        std::to_string(expectedData) + " right after the previous file's data");
        }
        const uint64_t nameStart = position + kRecordFixedSize;
        const void* nul = memchr(&block[0] + nameStart, 0, recordsLength - nameStart);
        if (!nul) {
            return fail(record + ": name runs past the end of the record block at " +
                        offsetText(recordsEnd));
        }
        const uint64_t nameEnd = static_cast<const uint8_t*>(nul) - block.data();
        entry.name.assign(reinterpret_cast<const char*>(&block[0] + nameStart),
                          static_cast<size_t>(nameEnd - nameStart));
        contents.records.push_back(std::move(entry));
        position = nameEnd + 1;
        expectedData = dataEnd;
    }
    if (position != recordsLength) {
        return fail("record block: the last record ends at " + offsetText(recordsStart + position) +
                    ", but the block runs to " + offsetText(recordsEnd));
    }
    if (expectedData != indexOffset) {
        return fail("data region: the files' data end at " + offsetText(expectedData) +
                    ", but the index starts at " + offsetText(indexOffset));
    }
    return true;
}

std::string formatStoredTime(const StoredTime& time) {
    if (!time.present()) return "-";
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(time.year),
             unsigned(time.month), unsigned(time.day), unsigned(time.hour), unsigned(time.minute),
             unsigned(time.second));
    return text;
}
