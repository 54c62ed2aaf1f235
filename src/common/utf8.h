#pragma once
// Reading UTF-8 one character at a time, for what shows names (escaping, JSON) and what matches
// them (patterns).

#include <cstddef>
#include <cstdint>
#include <string>

// The length of the well-formed UTF-8 sequence that begins at text[at], and its code point; 0 for
// a byte that begins none: a stray continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, or a sequence cut short.
inline size_t utf8Sequence(const std::string& text, size_t at, uint32_t& codePoint) {
    const auto byte = [&](size_t i) -> unsigned {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    size_t length = 0;
    unsigned low = 0x80;  // the second byte's range, narrower after some leads
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned b = byte(i);
        if (b < (i == 1 ? low : 0x80u) || b > (i == 1 ? high : 0xBFu)) return 0;
        codePoint = codePoint << 6 | (b & 0x3F);
    }
    return length;
}
