#pragma once
// Builds archives byte by byte in tests, independently of the writer, so that single fields can
// be broken on purpose; and picks fields out of written archives, independently of the reader.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/bytes.h"

// Overwrites the four bytes at position, which must already be in the buffer.
void patchU32(ByteBuffer& out, size_t position, uint32_t value);

struct TestFile {
    std::string name;
    std::string data;
    // 2004-07-09 13:45:30
    std::array<uint8_t, 8> time{{0xD4, 0x07, 7, 9, 13, 45, 30, 0}};
};

// A well-formed archive and where its parts begin.
struct BuiltArchive {
    ByteBuffer bytes;
    uint32_t indexOffset = 0;
    uint32_t recordsStart = 0;
    std::vector<uint32_t> recordAt;  // absolute position of each record

    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
    void set(size_t position, uint32_t value) { patchU32(bytes, position, value); }
};

BuiltArchive buildArchive(const std::vector<TestFile>& files);

// The little-endian word at `at` of an archive's bytes; throws when it runs past the end.
uint32_t u32At(const std::string& archiveBytes, size_t at);
// The stored names of an archive, in record order, read back through its index.
std::vector<std::string> storedNames(const std::string& archiveBytes);
// The dataOffset field of each record, in record order.
std::vector<uint32_t> dataOffsets(const std::string& archiveBytes);
