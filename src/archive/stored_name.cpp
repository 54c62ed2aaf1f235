#include "archive/stored_name.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>

#include "common/utf8.h"

namespace {

std::string hexByte(unsigned char c) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", c);
    return text;
}

std::string asciiUpper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension ("nul.txt") or trailing spaces,
// open the device instead of a file on Windows.
bool isWindowsDeviceName(const std::string& component) {
    std::string stem = asciiUpper(component.substr(0, component.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
        stem == "CONOUT$") {
        return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

std::string componentProblem(const std::string& c, NameRules rules) {
    if (c.empty()) return "has an empty component";
    if (c == "." || c == "..") return "has a \"" + c + "\" component";
    // Linux file systems take names of up to 255 bytes. Windows counts characters of the ANSI code
    // page, which only the system can tell from the bytes: its limits are checked with the
    // destination's (extract_fs.h, pathLengthProblem).
    if (rules == NameRules::Posix && c.size() > 255) {
        return "has a component of " + std::to_string(c.size()) +
               " bytes, longer than the 255 a name may have";
    }
    // Linux holds every byte but NUL (which ends the stored name) and '/' in a name, control
    // characters included, and what shows a name escapes them: packing stores such a name, so
    // extraction must take it back. Windows can't hold 1 to 31.
    for (unsigned char ch : c) {
        if (ch == '/') return "holds a slash, which would be read as a folder separator";
    }
    if (rules == NameRules::Windows) {
        for (unsigned char ch : c) {
            if (ch < 0x20) {
                return "holds the control character " + hexByte(ch) +
                       ", which Windows does not allow";
            }
        }
        for (char ch : c) {
            if (std::string("<>:\"|?*").find(ch) != std::string::npos) {
                return std::string("holds the character ") + ch + ", which Windows does not allow";
            }
        }
        if (c.back() == '.' || c.back() == ' ') {
            return "has a component ending in a dot or space, which Windows would drop";
        }
        if (isWindowsDeviceName(c)) return "has the component \"" + c + "\", a Windows device name";
    }
    return "";
}

// Code points that a terminal takes as commands (the C0 and C1 controls, DEL), and those that
// reorder the text around them, so that a name could pass for another or hide what follows.
bool steersDisplay(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::vector<std::string> splitStoredName(const std::string& name) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = name.find('\\', start);
        parts.push_back(
            name.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string storedNameProblem(const std::string& name, NameRules rules) {
    if (name.empty()) return "is empty";
    if (name[0] == '\\' || name[0] == '/') return "is absolute";
    // A drive part ("C:", "C:x") on any system: on Windows it leaves the folder, elsewhere it can
    // only come from a hostile or broken archive.
    if (name.size() >= 2 && name[1] == ':' && isalpha(static_cast<unsigned char>(name[0]))) {
        return "has a drive part";
    }
    for (const std::string& component : splitStoredName(name)) {
        const std::string problem = componentProblem(component, rules);
        if (!problem.empty()) return problem;
    }
    return "";
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

std::string namesProblem(const std::vector<std::string>& names, NameRules rules) {
    const auto key = [&](const std::string& name) {
        return rules == NameRules::Windows ? asciiUpper(name) : name;
    };
    std::map<std::string, size_t> files;    // name -> record number
    std::map<std::string, size_t> folders;  // every folder some name needs -> first record
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string problem = storedNameProblem(names[i], rules);
        if (!problem.empty())
            return "record " + std::to_string(i) + ": name " + quotedName(names[i]) + " " + problem;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string record = "record " + std::to_string(i) + ": name " + quotedName(names[i]);
        const std::string k = key(names[i]);
        if (files.count(k)) {
            return record + " is stored twice (first in record " + std::to_string(files[k]) + ")";
        }
        if (folders.count(k)) {
            return record + " is also a folder of record " + std::to_string(folders[k]);
        }
        for (size_t slash = k.find('\\'); slash != std::string::npos;
             slash = k.find('\\', slash + 1)) {
            const std::string folder = k.substr(0, slash);
            if (files.count(folder)) {
                return record + " needs " + quotedName(names[i].substr(0, slash)) +
                       " as a folder, but record " + std::to_string(files[folder]) +
                       " is a file of that name";
            }
            folders.emplace(folder, i);
        }
        files.emplace(k, i);
    }
    return "";
}
