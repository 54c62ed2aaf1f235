#include "win32_test_util.h"

#include <cstring>
#include <stdexcept>

#include "archive/bytes.h"

std::vector<std::string> storedNames(const std::string& bytes) {
    const auto u32 = [&](size_t at) {
        if (at + 4 > bytes.size()) throw std::runtime_error("archive too short");
        return readU32(reinterpret_cast<const uint8_t*>(bytes.data() + at));
    };
    const uint32_t count = u32(12);
    const uint32_t index = u32(20);
    const size_t records = index + 4 * size_t(count);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t name = records + u32(index + 4 * i) + 20;
        if (name >= bytes.size()) throw std::runtime_error("record past the end");
        names.push_back(std::string(bytes.c_str() + name, strnlen(bytes.c_str() + name,
                                                                  bytes.size() - name)));
    }
    return names;
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
