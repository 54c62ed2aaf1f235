#pragma once
// Strict reader of .zem archives. Every header field, index slot and record is checked against
// the archive's real size before anything relies on it; the first fault is reported with the
// offset where it was found. Nothing is read outside the archive, and nothing is allocated from
// what the header claims: the index and the record block are read in bounded pieces, so memory
// follows the records actually read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/local_time.h"

// The archive's bytes, read by position. Files and memory buffers both fit behind it.
struct ArchiveSource {
    virtual ~ArchiveSource() = default;
    virtual uint64_t size() const = 0;
    // Reads exactly `length` bytes at `position`; false when that fails. The reader never asks
    // for bytes past size().
    virtual bool readAt(uint64_t position, void* data, size_t length) = 0;
};

// A source over bytes the caller keeps alive (tests, the fuzz target).
struct MemorySource : ArchiveSource {
    MemorySource(const void* data, size_t length)
        : bytes(static_cast<const uint8_t*>(data)), count(length) {}
    uint64_t size() const override { return count; }
    bool readAt(uint64_t position, void* data, size_t length) override;
    const uint8_t* bytes;
    size_t count;
};

struct ArchiveRecord {
    uint32_t dataOffset = 0;
    uint32_t length = 0;
    // Not present() for a file stored without a time.
    CalendarTime time;
    // As stored: components joined by backslashes, without the terminating NUL.
    std::string name;
    // Where the record itself begins in the archive, for the reader's messages about its data.
    uint64_t recordOffset = 0;
};

// How much of the index, and of the record block, the reader holds at a time.
constexpr size_t kReadPieceSize = 1 << 20;

// Reads and checks the header, the index, the records and the data regions they describe, in
// that order, and gives the records. The first fault found throws InputFault (fatal_error.h)
// with what is wrong where ("record 3: name runs past the end of the record block at offset
// 1234"). Tests shrink pieceSize to move piece boundaries into the middle of records and names.
std::vector<ArchiveRecord> readArchive(ArchiveSource& source, size_t pieceSize = kReadPieceSize);

// "2026-12-07 23:09:18", or "-" for a record without a time.
std::string formatStoredTime(const CalendarTime& time);
