#pragma once
// Strict reader of .zem archives. Every header field, index slot and record is checked against
// the archive's real size before anything relies on it; the first problem is reported with the
// offset where it was found. Nothing is allocated from a count that hasn't been bounded by the
// archive's size first, and nothing is read outside the archive.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/local_time.h"

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

// Opens an archive file for reading; throws FatalError naming the path when it can't.
std::unique_ptr<ArchiveSource> openArchiveFile(const std::string& path);

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

// Reads and checks the header, the index, the records and the data regions they describe, in
// that order. Returns false with `problem` set to the first fault found ("record 3: name runs past
// the end of the record block at offset 1234").
bool readArchive(ArchiveSource& source, std::vector<ArchiveRecord>& records, std::string& problem);

// "2026-12-07 23:09:18", or "-" for a record without a time.
std::string formatStoredTime(const CalendarTime& time);
