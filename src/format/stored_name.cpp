#include "format/stored_name.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>

#include "common/fatal_error.h"
#include "common/utf8.h"

namespace {

std::string hexByte(unsigned char c) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", c);
    return text;
}

using Wide = std::u16string;

[[noreturn]] void fault(const std::string& finding) { throw InputFault(finding); }

bool isDigitForWindows(char16_t c) {
    // Windows reads the superscript digits as digits too: COM¹ is a serial port.
    return (c >= u'0' && c <= u'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3;
}

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 (and with the superscripts ¹²³), also
// with an extension ("nul.txt") or trailing spaces, open the device instead of a file on Windows.
// `upper` is the component upper-cased.
bool isWindowsDeviceName(const Wide& upper) {
    Wide stem = upper.substr(0, upper.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') stem.pop_back();
    if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL" || stem == u"CONIN$" ||
        stem == u"CONOUT$") {
        return true;
    }
    return stem.size() == 4 &&
           (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0) &&
           isDigitForWindows(stem[3]);
}

Wide upperOf(const Wide& text, const CodePage& codePage) {
    Wide upper = text;
    for (char16_t& c : upper) c = codePage.upper(c);
    return upper;
}

void checkPosixComponent(const std::string& c) {
    if (c.empty()) fault("has an empty component");
    if (c == "." || c == "..") fault("has a \"" + c + "\" component");
    // Linux file systems take names of up to 255 bytes. Windows counts UTF-16 units, which it
    // checks with the destination's limits (extract_fs.h, checkPathLengths).
    if (c.size() > 255) {
        fault("has a component of " + std::to_string(c.size()) +
              " bytes, longer than the 255 a name may have");
    }
    // Linux holds every byte but NUL (which ends the stored name) and '/' in a name, control
    // characters included, and what shows a name escapes them: packing stores such a name, so
    // extraction must take it back. Windows can't hold 1 to 31.
    for (unsigned char ch : c) {
        if (ch == '/') fault("holds a slash, which would be read as a folder separator");
    }
}

// The Windows rules on the component's characters (`text`); `bytes` is the component as stored,
// for the message.
void checkWindowsComponent(const std::string& bytes, const Wide& text, const CodePage& codePage) {
    if (text.empty()) fault("has an empty component");
    if (text == u"." || text == u"..") fault("has a \"" + bytes + "\" component");
    for (char16_t ch : text) {
        if (ch < 0x20) {
            fault("holds the control character " + hexByte(static_cast<unsigned char>(ch)) +
                  ", which Windows does not allow");
        }
        if (ch == u'/') fault("holds a slash, which would be read as a folder separator");
    }
    for (char16_t ch : text) {
        if (ch < 0x80 && std::string("<>:\"|?*").find(static_cast<char>(ch)) != std::string::npos) {
            fault(std::string("holds the character ") + static_cast<char>(ch) +
                  ", which Windows does not allow");
        }
    }
    if (text.back() == u'.' || text.back() == u' ') {
        fault("has a component ending in a dot or space, which Windows would drop");
    }
    if (isWindowsDeviceName(upperOf(text, codePage))) {
        fault("has the component \"" + bytes + "\", a Windows device name");
    }
}

// A component's characters; false when its bytes are no text in the code page.
bool decodeComponent(const std::string& bytes, const CodePage& codePage, Wide& text) {
    text.clear();
    return bytes.empty() || codePage.decode(bytes, text);
}

const char* const kNotText = "holds bytes that are no text in the system code page";

// 8.3 short names. Windows gives a name that isn't a valid 8.3 name a second, short one: the
// first characters of its base (spaces and inner dots left out, some characters made "_", upper
// case), "~" and a number, and the first three characters of its extension ("longfilename.txt"
// becomes "LONGFI~1.TXT"; after a few, two characters and a hash, "LO1A2B~1.TXT"). Both names
// then open the same file.

bool isShortNameCharacter(char16_t c) {
    if (c >= 0x80) return true;  // an OEM character
    if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return true;
    return Wide(u"!#$%&'()-@^_`{}~").find(c) != Wide::npos;
}

// Whether the upper-cased name is a valid 8.3 name: one that gets no short name of its own.
bool isShortName(const Wide& upper) {
    const size_t dot = upper.find(u'.');
    const Wide base = upper.substr(0, dot);
    const Wide extension = dot == Wide::npos ? Wide() : upper.substr(dot + 1);
    if (base.empty() || base.size() > 8 || extension.size() > 3) return false;
    for (char16_t c : base + extension) {
        if (!isShortNameCharacter(c)) return false;
    }
    return true;
}

// A character as the short names compare below: "_" stands for every character a short name
// turns into it, and for any beyond ASCII, which may or may not pass through the OEM code page.
// Coarser than Windows, never finer: a name that could collide always does here.
char16_t coarse(char16_t c) {
    if (c >= 0x80 || Wide(u"+,;=[]").find(c) != Wide::npos) return u'_';
    return c;
}

// The basis and extension Windows makes a short name from, coarsened: the base without spaces
// and dots (the last dot parts off the extension), the extension's first three characters.
void shortNameParts(const Wide& upper, Wide& base, Wide& extension) {
    const size_t dot = upper.find_last_of(u'.');
    base.clear();
    extension.clear();
    for (size_t i = 0; i < upper.size(); ++i) {
        const char16_t c = upper[i];
        if (c == u' ' || c == u'.') continue;
        if (dot != Wide::npos && i > dot) {
            if (extension.size() < 3) extension.push_back(coarse(c));
        } else {
            base.push_back(coarse(c));
        }
    }
}

// Whether the upper-cased name has the form of a generated short name: a base of at most eight
// characters ending in "~" and digits, and an extension of at most three. Gives the characters
// before the "~" and the extension, coarsened.
bool hasShortNameForm(const Wide& upper, Wide& stem, Wide& extension) {
    if (!isShortName(upper)) return false;
    const size_t dot = upper.find(u'.');
    const Wide base = upper.substr(0, dot);
    const size_t tilde = base.find_last_of(u'~');
    if (tilde == Wide::npos || tilde == 0 || tilde + 1 == base.size()) return false;
    for (size_t i = tilde + 1; i < base.size(); ++i) {
        if (base[i] < u'0' || base[i] > u'9') return false;
    }
    stem.clear();
    for (size_t i = 0; i < tilde; ++i) stem.push_back(coarse(base[i]));
    extension.clear();
    if (dot != Wide::npos) {
        for (char16_t c : upper.substr(dot + 1)) extension.push_back(coarse(c));
    }
    return true;
}

// Code points that a terminal takes as commands (the C0 and C1 controls, DEL), and those that
// reorder the text around them, so that a name could pass for another or hide what follows.
bool steersDisplay(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

const CodePage& latin1CodePage() {
    static const CodePage latin1{
        [](unsigned char) { return false; },
        [](const std::string& bytes, std::u16string& text) {
            text.assign(bytes.begin(), bytes.end());
            for (size_t i = 0; i < bytes.size(); ++i)
                text[i] = static_cast<unsigned char>(bytes[i]);
            return true;
        },
        [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }};
    return latin1;
}

std::vector<std::string> splitStoredName(const std::string& name, const CodePage& codePage) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(name[i]);
        if (byte == '\\') {
            parts.emplace_back();
        } else if (byte >= 0x80 && i + 1 < name.size() && codePage.isLeadByte(byte)) {
            parts.back().append(name, i, 2);
            ++i;
        } else {
            parts.back().push_back(name[i]);
        }
    }
    return parts;
}

void checkStoredName(const std::string& name, NameRules rules, const CodePage& codePage) {
    if (name.empty()) fault("is empty");
    if (name[0] == '\\' || name[0] == '/') fault("is absolute");
    // A drive part ("C:", "C:x") on any system: on Windows it leaves the folder, elsewhere it can
    // only come from a hostile or broken archive.
    if (name.size() >= 2 && name[1] == ':' && isalpha(static_cast<unsigned char>(name[0]))) {
        fault("has a drive part");
    }
    for (const std::string& component : splitStoredName(name, codePage)) {
        if (rules == NameRules::Posix) {
            checkPosixComponent(component);
        } else {
            Wide text;
            if (!decodeComponent(component, codePage, text)) fault(kNotText);
            checkWindowsComponent(component, text, codePage);
        }
    }
}

std::string escapedText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Sequence(text, at, codePoint);
        char escape[16];
        if (length == 0 || (length == 1 && steersDisplay(codePoint))) {
            // A byte on its own: a control character, or no part of a character at all.
            snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[at]));
            out += escape;
            at += 1;
        } else if (steersDisplay(codePoint)) {
            snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(codePoint));
            out += escape;
            at += length;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

std::string escapedName(const std::string& name) { return escapedText(name); }

std::string quotedName(const std::string& name) { return "\"" + escapedName(name) + "\""; }

namespace {

// A stored name's components as the file system tells names apart: the bytes on POSIX, the
// upper-cased characters (as bytes) on Windows.
using NameKey = std::vector<std::string>;

NameKey keyOf(const std::vector<std::string>& parts, NameRules rules, const CodePage& codePage) {
    if (rules == NameRules::Posix) return parts;
    NameKey key;
    key.reserve(parts.size());
    for (const std::string& part : parts) {
        Wide text;
        decodeComponent(part, codePage, text);  // every name was checked to decode
        const Wide upper = upperOf(text, codePage);
        key.emplace_back(reinterpret_cast<const char*>(upper.data()),
                         upper.size() * sizeof(char16_t));
    }
    return key;
}

std::string joined(const std::vector<std::string>& parts, size_t count) {
    std::string path;
    for (size_t j = 0; j < count; ++j) {
        if (j) path.push_back('\\');
        path += parts[j];
    }
    return path;
}

// Refuses the first name (file or folder) that may be the short name Windows gives another in the
// same folder: a name of the short form beside a long name whose basis begins as it does and whose
// extension it has. Two characters are compared, which also covers the hashed form.
void checkShortNames(const std::vector<std::string>& names, const CodePage& codePage) {
    struct LongName {
        size_t record;
        std::string path;  // the component and the folders above it, as stored
    };
    // The folder's key, then the extension, "|" and the first one or two characters of the basis.
    using Slot = std::pair<NameKey, Wide>;
    std::map<Slot, LongName> longNames;
    struct Candidate {
        Slot slot;
        size_t record;
        std::string path;
    };
    std::vector<Candidate> candidates;
    std::set<NameKey> seen;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::vector<std::string> parts = splitStoredName(names[i], codePage);
        const NameKey key = keyOf(parts, NameRules::Windows, codePage);
        NameKey folder;
        for (size_t j = 0; j < parts.size(); folder.push_back(key[j]), ++j) {
            NameKey here = folder;
            here.push_back(key[j]);
            if (!seen.insert(here).second) continue;
            const Wide upper(reinterpret_cast<const char16_t*>(key[j].data()),
                             key[j].size() / sizeof(char16_t));
            Wide stem;
            Wide extension;
            if (hasShortNameForm(upper, stem, extension)) {
                candidates.push_back(
                    {{folder, extension + u'|' + stem.substr(0, 2)}, i, joined(parts, j + 1)});
            } else if (!isShortName(upper)) {
                shortNameParts(upper, stem, extension);
                for (size_t length = 1; length <= 2 && length <= stem.size(); ++length) {
                    longNames.emplace(Slot{folder, extension + u'|' + stem.substr(0, length)},
                                      LongName{i, joined(parts, j + 1)});
                }
            }
        }
    }
    for (const Candidate& c : candidates) {
        const auto found = longNames.find(c.slot);
        if (found == longNames.end()) continue;
        fault("record " + std::to_string(c.record) + ": name " + quotedName(names[c.record]) +
              " may be the 8.3 short name of " + quotedName(found->second.path) + " (record " +
              std::to_string(found->second.record) + "), which is the same file on Windows");
    }
}

}  // namespace

void checkStoredNames(const std::vector<std::string>& names, NameRules rules,
                      const CodePage& codePage) {
    std::map<NameKey, size_t> files;    // name -> record number
    std::map<NameKey, size_t> folders;  // every folder some name needs -> first record
    for (size_t i = 0; i < names.size(); ++i) {
        try {
            checkStoredName(names[i], rules, codePage);
        } catch (const InputFault& unsafe) {
            fault("record " + std::to_string(i) + ": name " + quotedName(names[i]) + " " +
                  unsafe.finding);
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string record = "record " + std::to_string(i) + ": name " + quotedName(names[i]);
        const std::vector<std::string> parts = splitStoredName(names[i], codePage);
        const NameKey key = keyOf(parts, rules, codePage);
        if (files.count(key)) {
            fault(record + " is stored twice (first in record " + std::to_string(files[key]) + ")");
        }
        if (folders.count(key)) {
            fault(record + " is also a folder of record " + std::to_string(folders[key]));
        }
        NameKey folder;
        for (size_t j = 0; j + 1 < parts.size(); ++j) {
            folder.push_back(key[j]);
            if (files.count(folder)) {
                fault(record + " needs " + quotedName(joined(parts, j + 1)) +
                      " as a folder, but record " + std::to_string(files[folder]) +
                      " is a file of that name");
            }
            folders.emplace(folder, i);
        }
        files.emplace(key, i);
    }
    if (rules == NameRules::Windows) checkShortNames(names, codePage);
}
