#include "win32_test_util.h"

#include <cstring>
#include <stdexcept>

#include "archive/bytes.h"

namespace {

uint32_t u32At(const std::string& bytes, size_t at) {
    if (at + 4 > bytes.size()) throw std::runtime_error("archive too short");
    return readU32(reinterpret_cast<const uint8_t*>(bytes.data() + at));
}

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

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
