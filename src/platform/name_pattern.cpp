#include "platform/name_pattern.h"

#include <cstdint>

#include "common/utf8.h"

namespace {

bool isSeparator(uint32_t c) { return c == '/' || c == '\\'; }

// One character of a name: a whole UTF-8 sequence as its code point, or, where the bytes are no
// valid UTF-8, one byte as a value above every code point, so that it matches only itself.
struct Character {
    uint32_t value;
    size_t length;
};

constexpr uint32_t kByteValues = 0x110000;

Character characterAt(const std::string& text, size_t at) {
    uint32_t codePoint = 0;
    const size_t length = utf8Sequence(text, at, codePoint);
    if (length == 0) return {kByteValues + static_cast<unsigned char>(text[at]), 1};
    return {codePoint, length};
}

bool sameCharacter(uint32_t p, uint32_t t) { return p == t || (isSeparator(p) && isSeparator(t)); }

// Matches the bracket expression that starts at pattern[at] (the '[') against c. Sets `end` to
// just past the closing ']'; `closed` false when the expression has none, and then the '[' is an
// ordinary character.
bool bracketMatches(const std::string& pattern, size_t at, uint32_t c, size_t& end, bool& closed) {
    size_t i = at + 1;
    const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negated) ++i;
    bool found = false;
    // A ']' right after the opening (or its negation) is a member, not the end.
    for (bool first = true; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
        const Character low = characterAt(pattern, i);
        const size_t afterLow = i + low.length;
        if (afterLow + 1 < pattern.size() && pattern[afterLow] == '-' &&
            pattern[afterLow + 1] != ']') {
            const Character high = characterAt(pattern, afterLow + 1);
            if (low.value <= c && c <= high.value) found = true;
            i = afterLow + 1 + high.length;
        } else {
            if (sameCharacter(low.value, c)) found = true;
            i = afterLow;
        }
    }
    closed = i < pattern.size();
    end = i + 1;
    return found != negated;
}

}  // namespace

bool matchesPattern(const std::string& pattern, const std::string& text) {
    // The classic backtracking match: on a mismatch, the last `*` takes one more character. Only
    // the last star matters, so the work stays bounded by pattern length times text length.
    size_t p = 0, t = 0;
    size_t starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        const Character c = characterAt(text, t);
        if (p < pattern.size()) {
            const char symbol = pattern[p];
            if (symbol == '*') {
                starP = ++p;
                starT = t;
                continue;
            }
            if (symbol == '?') {
                ++p;
                t += c.length;
                continue;
            }
            if (symbol == '[') {
                size_t end = 0;
                bool closed = false;
                const bool in = bracketMatches(pattern, p, c.value, end, closed);
                if (closed) {
                    if (in) {
                        p = end;
                        t += c.length;
                        continue;
                    }
                } else if (text[t] == '[') {
                    ++p;
                    ++t;
                    continue;
                }
            } else {
                const Character expected = characterAt(pattern, p);
                if (sameCharacter(expected.value, c.value)) {
                    p += expected.length;
                    t += c.length;
                    continue;
                }
            }
        }
        if (starP == std::string::npos) return false;
        p = starP;
        starT += characterAt(text, starT).length;
        t = starT;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool matchesPathOrFolder(const std::string& pattern, const std::string& path) {
    if (matchesPattern(pattern, path)) return true;
    for (size_t i = 0; i < path.size(); ++i) {
        if (isSeparator(static_cast<unsigned char>(path[i])) &&
            matchesPattern(pattern, path.substr(0, i))) {
            return true;
        }
    }
    return false;
}
