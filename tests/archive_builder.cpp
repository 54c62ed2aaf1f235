#include "archive_builder.h"

#include <cstring>
#include <stdexcept>

void patchU32(ByteBuffer& out, size_t position, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) out.at(position + i) = static_cast<uint8_t>(value >> (8 * i));
}

BuiltArchive buildArchive(const std::vector<TestFile>& files) {
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

uint32_t u32At(const std::string& bytes, size_t at) {
    if (at + 4 > bytes.size()) throw std::runtime_error("archive too short");
    return readU32(reinterpret_cast<const uint8_t*>(bytes.data() + at));
}

namespace {

// Where each record begins, through the index.
std::vector<size_t> recordStarts(const std::string& bytes) {
    const uint32_t count = u32At(bytes, 12);
    const uint32_t index = u32At(bytes, 20);
    const size_t records = index + 4 * size_t(count);
    std::vector<size_t> starts;
    for (uint32_t i = 0; i < count; ++i) starts.push_back(records + u32At(bytes, index + 4 * i));
    return starts;
}

}  // namespace

std::vector<std::string> storedNames(const std::string& bytes) {
    std::vector<std::string> names;
    for (const size_t record : recordStarts(bytes)) {
        const size_t name = record + 20;
        if (name >= bytes.size()) throw std::runtime_error("record past the end");
        names.push_back(
            std::string(bytes.c_str() + name, strnlen(bytes.c_str() + name, bytes.size() - name)));
    }
    return names;
}

std::vector<uint32_t> dataOffsets(const std::string& bytes) {
    std::vector<uint32_t> offsets;
    for (const size_t record : recordStarts(bytes)) offsets.push_back(u32At(bytes, record));
    return offsets;
}
