#pragma once
// Builds archives byte by byte in tests, independently of the writer, so that single fields can
// be broken on purpose.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/bytes.h"

// Overwrites the four bytes at position, which must already be in the buffer.
inline void patchU32(ByteBuffer& out, size_t position, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.at(position + i) = static_cast<uint8_t>(value >> (8 * i));
}

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

inline BuiltArchive buildArchive(const std::vector<TestFile>& files) {
    BuiltArchive a;
    ByteBuffer& out = a.bytes;
    for (int i = 0; i < 3; ++i) writeU32(out, 0);
    writeU32(out, static_cast<uint32_t>(files.size()));
    writeU32(out, 0);  // recordsLength, below
    writeU32(out, 0);  // indexOffset, below
    writeU32(out, 8);
    std::vector<uint32_t> dataAt;
    for (const TestFile& f : files) {
        dataAt.push_back(static_cast<uint32_t>(out.size()));
        writeBytes(out, f.data);
    }
    a.indexOffset = static_cast<uint32_t>(out.size());
    a.recordsStart = a.indexOffset + 4 * static_cast<uint32_t>(files.size());
    uint32_t slot = 0;
    for (const TestFile& f : files) {
        writeU32(out, slot);
        slot += 20 + static_cast<uint32_t>(f.name.size()) + 1;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        a.recordAt.push_back(static_cast<uint32_t>(out.size()));
        writeU32(out, dataAt[i]);
        writeU32(out, static_cast<uint32_t>(files[i].data.size()));
        writeU32(out, static_cast<uint32_t>(files[i].data.size()));
        out.insert(out.end(), files[i].time.begin(), files[i].time.end());
        writeBytes(out, files[i].name);
        writeU8(out, 0);
    }
    patchU32(out, 16, static_cast<uint32_t>(out.size() - a.recordsStart));
    patchU32(out, 20, a.indexOffset);
    return a;
}
