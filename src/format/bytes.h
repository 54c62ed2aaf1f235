#pragma once
// Little-endian helpers for the archive's header, index and records, built and read in memory.

#include <cstdint>
#include <string>
#include <vector>

using ByteBuffer = std::vector<uint8_t>;

inline void writeU8(ByteBuffer& out, uint8_t value) { out.push_back(value); }

inline void writeU16(ByteBuffer& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void writeU32(ByteBuffer& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void writeBytes(ByteBuffer& out, const std::string& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

inline uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
