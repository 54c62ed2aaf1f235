#include "format/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/fatal_error.h"
#include "format/format.h"

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

[[noreturn]] void fault(const std::string& finding) { throw InputFault(finding); }

// Checks the eight time bytes, at `at` in `record`: they hold no time or a real calendar time.
void checkTime(const uint8_t* bytes, const std::string& record, uint64_t at) {
    if (std::all_of(bytes, bytes + kTimeSize, [](uint8_t b) { return b == 0; })) return;
    const std::string where = record + ": time bytes at offset " + std::to_string(at) + ": ";
    const uint8_t last = bytes[kTimeSize - 1];
    if (last != 0) fault(where + "the last time byte is " + std::to_string(last) + ", expected 0");
    const CalendarTime time = decodeTime(bytes);
    // The writer stores years 1970..2038 and eight zero bytes for any other time.
    if (time.year < kFirstStoredYear || time.year > kLastStoredYear) {
        fault(where + "year " + std::to_string(time.year) + " lies outside " +
              std::to_string(kFirstStoredYear) + "-" + std::to_string(kLastStoredYear));
    }
    if (time.month < 1 || time.month > 12) {
        fault(where + "month " + std::to_string(time.month) + " is not 1-12");
    }
    if (time.day < 1 || time.day > daysInMonth(time.year, time.month)) {
        fault(where + "day " + std::to_string(time.day) + " does not exist in month " +
              std::to_string(time.month) + " of " + std::to_string(time.year));
    }
    if (time.hour > 23) fault(where + "hour " + std::to_string(time.hour) + " is not 0-23");
    if (time.minute > 59) fault(where + "minute " + std::to_string(time.minute) + " is not 0-59");
    if (time.second > 59) fault(where + "second " + std::to_string(time.second) + " is not 0-59");
}

// A file whose first bytes aren't an archive's is most likely some other kind of file: said so
// first, then what gave it away.
const std::string kNotAnArchive = "not a .zem archive: ";

// Step 1: the header, every field checked against the archive's real size, so that the later
// steps read only what lies inside the archive.
void readHeader(ArchiveSource& source, ArchiveHeader& header) {
    const uint64_t size = source.size();
    if (size < kHeaderSize) {
        fault(kNotAnArchive + std::to_string(size) + " bytes long, shorter than the " +
              std::to_string(kHeaderSize) + "-byte header");
    }
    uint8_t bytes[kHeaderSize];
    if (!source.readAt(0, bytes, sizeof bytes)) fault("cannot read the header at offset 0");
    header = decodeHeader(bytes);

    for (size_t i = 0; i < kZeroWordCount; ++i) {
        if (header.zeroWords[i] != 0) {
            fault(kNotAnArchive + "header word at " + offsetText(kZeroWordsAt + 4 * i) + " is " +
                  hex32(header.zeroWords[i]) + ", expected 0");
        }
    }
    if (header.fixedValue != kFixedValue) {
        fault(kNotAnArchive + "header's fixed value at " + offsetText(kFixedValueAt) + " is " +
              std::to_string(header.fixedValue) + ", expected " + std::to_string(kFixedValue));
    }
    const std::string indexOffset = "header: indexOffset at " + offsetText(kIndexOffsetAt) +
                                    " is " + std::to_string(header.indexOffset);
    if (header.indexOffset < kHeaderSize) {
        fault(indexOffset + ", inside the " + std::to_string(kHeaderSize) + "-byte header");
    }
    if (header.indexOffset > size) {
        fault(indexOffset + ", past the end of the archive at " + offsetText(size));
    }
    const std::string fileCount = "header: fileCount at " + offsetText(kFileCountAt) + " is " +
                                  std::to_string(header.fileCount);
    const uint64_t recordsStart = recordBlockStart(header);
    if (recordsStart > size) {
        fault(fileCount + ": its index from " + offsetText(header.indexOffset) +
              " runs past the end of the archive at " + offsetText(size));
    }
    const uint64_t recordsEnd = recordsStart + header.recordsLength;
    if (recordsEnd != size) {
        fault("header: recordsLength at " + offsetText(kRecordsLengthAt) + " is " +
              std::to_string(header.recordsLength) + ": the record block from " +
              offsetText(recordsStart) + " would end at " + offsetText(recordsEnd) +
              ", but the archive ends at " + offsetText(size));
    }
    if (uint64_t(header.fileCount) * kMinRecordSize > header.recordsLength) {
        fault(fileCount + ", more records than the " + std::to_string(header.recordsLength) +
              "-byte record block can hold");
    }
}

// A bounded view of one region of the archive, the index or the record block: it holds one
// piece of the region at a time and slides forward as the records are read, so the memory the
// reader takes follows the records actually present, never the sizes the header claims (a
// sparse file can claim gigabytes that cost nothing on disk). Positions are counted from the
// region's start. Reading through the source, rather than mapping the file, works the same for
// every source on every platform, and a file cut short by someone else while it is read gives a
// failed read where a mapping would end the program with SIGBUS.
struct Window {
    ArchiveSource& source;
    uint64_t regionStart;
    uint64_t regionLength;
    size_t pieceSize;
    std::vector<uint8_t> piece;
    uint64_t pieceAt = 0;  // where piece[0] lies in the region

    Window(ArchiveSource& s, uint64_t start, uint64_t length, size_t size)
        : source(s), regionStart(start), regionLength(length), pieceSize(size) {}

    // Bytes held from `position` to the end of the piece; 0 when the piece doesn't hold it.
    size_t heldFrom(uint64_t position) const {
        if (position < pieceAt || position >= pieceAt + piece.size()) return 0;
        return static_cast<size_t>(pieceAt + piece.size() - position);
    }
};

// Makes at least `count` bytes at `position` held (count <= pieceSize, and the region holds
// them), reading the piece that begins there when they aren't; nullptr when that read fails.
const uint8_t* bytesAt(Window& window, uint64_t position, size_t count) {
    if (window.heldFrom(position) < count) {
        const uint64_t left = window.regionLength - position;
        window.piece.resize(static_cast<size_t>(std::min<uint64_t>(window.pieceSize, left)));
        window.pieceAt = position;
        if (!window.source.readAt(window.regionStart + position, window.piece.data(),
                                  window.piece.size())) {
            window.piece.clear();
            return nullptr;
        }
    }
    return &window.piece[static_cast<size_t>(position - window.pieceAt)];
}

// Step 2: the records, each where its index slot says and right after the previous one, until
// they fill the record block exactly. The index and the block are read piece by piece.
void readRecords(ArchiveSource& source, const ArchiveHeader& header, size_t pieceSize,
                 std::vector<ArchiveRecord>& records) {
    const uint32_t recordsLength = header.recordsLength;
    const uint64_t recordsStart = recordBlockStart(header);
    const uint64_t recordsEnd = recordsStart + recordsLength;
    // A piece always holds a whole index slot and a record's fixed bytes.
    Window index(source, header.indexOffset, kIndexSlotSize * uint64_t(header.fileCount),
                 std::max<size_t>(pieceSize, kIndexSlotSize));
    Window block(source, recordsStart, recordsLength,
                 std::max<size_t>(pieceSize, kRecordFixedSize));
    const auto cannotRead = [](const char* what, const Window& w) {
        return std::string("cannot read the ") + what + " at " +
               offsetText(w.regionStart + w.pieceAt);
    };
    uint64_t position = 0;  // where the next record must begin, in the record block
    for (uint32_t i = 0; i < header.fileCount; ++i) {
        const std::string record = "record " + std::to_string(i);
        const std::string slotText = "index slot " + std::to_string(i) + " at " +
                                     offsetText(header.indexOffset + kIndexSlotSize * uint64_t(i));
        const uint8_t* slotBytes = bytesAt(index, kIndexSlotSize * uint64_t(i), kIndexSlotSize);
        if (!slotBytes) fault(cannotRead("index", index));
        const uint32_t slot = readU32(slotBytes);
        if (slot >= recordsLength) {
            fault(slotText + " holds " + std::to_string(slot) + ", past the end of the " +
                  std::to_string(recordsLength) + "-byte record block");
        }
        if (slot != position) {
            fault(
                slotText + " holds " + std::to_string(slot) + ", but " + record + " begins at " +
                std::to_string(position) +
                (i == 0 ? ", the start of the record block" : ", right after the previous record"));
        }
        const uint64_t at = recordsStart + position;
        if (recordsLength - position < kRecordFixedSize) {
            fault(record + ": its " + std::to_string(kRecordFixedSize) + " fixed bytes at " +
                  offsetText(at) + " run past the end of the record block at " +
                  offsetText(recordsEnd));
        }
        const uint8_t* fixed = bytesAt(block, position, kRecordFixedSize);
        if (!fixed) fault(cannotRead("record block", block));
        const RecordFields fields = decodeRecordFields(fixed);
        if (fields.length != fields.repeatedLength) {
            fault(record + " at " + offsetText(at) + ": length " + std::to_string(fields.length) +
                  " and repeated length " + std::to_string(fields.repeatedLength) + " differ");
        }
        checkTime(fixed + kRecordTimeAt, record, at + kRecordTimeAt);
        ArchiveRecord entry;
        entry.dataOffset = fields.dataOffset;
        entry.length = fields.length;
        entry.time = fields.time;
        entry.recordOffset = at;
        // The name may run on over several pieces.
        uint64_t nameEnd = position + kRecordNameAt;
        for (;;) {
            if (nameEnd == recordsLength) {
                fault(record + ": name runs past the end of the record block at " +
                      offsetText(recordsEnd));
            }
            const uint8_t* bytes = bytesAt(block, nameEnd, 1);
            if (!bytes) fault(cannotRead("record block", block));
            const size_t held = block.heldFrom(nameEnd);
            const void* nul = memchr(bytes, 0, held);
            const size_t taken =
                nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes) : held;
            entry.name.append(reinterpret_cast<const char*>(bytes), taken);
            nameEnd += taken;
            if (nul) break;
        }
        records.push_back(std::move(entry));
        position = nameEnd + 1;
    }
    if (position != recordsLength) {
        fault("record block: the last record ends at " + offsetText(recordsStart + position) +
              ", but the block runs to " + offsetText(recordsEnd));
    }
}

// Step 3: the files' data, each inside the data region and right after the previous file's,
// together filling the region up to the index.
void checkDataRegions(const ArchiveHeader& header, const std::vector<ArchiveRecord>& records) {
    uint64_t expectedData = kHeaderSize;  // where the next file's data must begin
    for (size_t i = 0; i < records.size(); ++i) {
        const ArchiveRecord& r = records[i];
        const std::string record =
            "record " + std::to_string(i) + " at " + offsetText(r.recordOffset);
        const uint64_t dataEnd = uint64_t(r.dataOffset) + r.length;
        if (r.dataOffset < kHeaderSize || dataEnd > header.indexOffset) {
            fault(record + ": data of " + std::to_string(r.length) + " bytes at " +
                  offsetText(r.dataOffset) + " lie outside the data region (" +
                  std::to_string(kHeaderSize) + " to " + std::to_string(header.indexOffset) + ")");
        }
        if (r.dataOffset != expectedData) {
            fault(record + ": data begin at " + offsetText(r.dataOffset) + ", expected " +
                  std::to_string(expectedData) + " right after the previous file's data");
        }
        expectedData = dataEnd;
    }
    if (expectedData != header.indexOffset) {
        fault("data region: the files' data end at " + offsetText(expectedData) +
              ", but the index starts at " + offsetText(header.indexOffset));
    }
}

}  // namespace

bool MemorySource::readAt(uint64_t position, void* data, size_t length) {
    if (position > count || length > count - position) return false;
    if (length > 0) memcpy(data, bytes + position, length);
    return true;
}

std::vector<ArchiveRecord> readArchive(ArchiveSource& source, size_t pieceSize) {
    ArchiveHeader header;
    readHeader(source, header);
    std::vector<ArchiveRecord> records;
    readRecords(source, header, pieceSize, records);
    checkDataRegions(header, records);
    return records;
}

std::string formatStoredTime(const CalendarTime& time) {
    if (!time.present()) return "-";
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(time.year),
             unsigned(time.month), unsigned(time.day), unsigned(time.hour), unsigned(time.minute),
             unsigned(time.second));
    return text;
}
