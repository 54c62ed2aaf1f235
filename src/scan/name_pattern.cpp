#include "scan/name_pattern.h"

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool sameCharacter(char p, char t) { return p == t || (isSeparator(p) && isSeparator(t)); }

// Matches the bracket expression that starts at pattern[at] (the '[') against c. Sets `end` to
// just past the closing ']'; false there when the expression has none, and then the '[' is an
// ordinary character.
bool bracketMatches(const std::string& pattern, size_t at, char c, size_t& end, bool& closed) {
    size_t i = at + 1;
    const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negated) ++i;
    bool found = false;
    // A ']' right after the opening (or its negation) is a member, not the end.
    for (bool first = true; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
        const unsigned char low = static_cast<unsigned char>(pattern[i]);
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            const unsigned char high = static_cast<unsigned char>(pattern[i + 2]);
            const unsigned char u = static_cast<unsigned char>(c);
            if (low <= u && u <= high) found = true;
            i += 3;
        } else {
            if (sameCharacter(static_cast<char>(low), c)) found = true;
            ++i;
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
        if (p < pattern.size()) {
            const char c = pattern[p];
            if (c == '*') {
                starP = ++p;
                starT = t;
                continue;
            }
            if (c == '?') {
                ++p;
                ++t;
                continue;
            }
            if (c == '[') {
                size_t end = 0;
                bool closed = false;
                const bool in = bracketMatches(pattern, p, text[t], end, closed);
                if (closed) {
                    if (in) {
                        p = end;
                        ++t;
                        continue;
                    }
                } else if (text[t] == '[') {
                    ++p;
                    ++t;
                    continue;
                }
            } else if (sameCharacter(c, text[t])) {
                ++p;
                ++t;
                continue;
            }
        }
        if (starP == std::string::npos) return false;
        p = starP;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool matchesPathOrFolder(const std::string& pattern, const std::string& path) {
    if (matchesPattern(pattern, path)) return true;
    for (size_t i = 0; i < path.size(); ++i) {
        if (isSeparator(path[i]) && matchesPattern(pattern, path.substr(0, i))) return true;
    }
    return false;
}
