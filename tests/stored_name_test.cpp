// Names a hostile archive may hold, refused before extraction writes anything.

#include <gtest/gtest.h>

#include "common/fatal_error.h"
#include "format/stored_name.h"

namespace {

// What the checks refuse with; empty when they pass.
std::string storedNameProblem(const std::string& name, NameRules rules) {
    try {
        checkStoredName(name, rules);
        return "";
    } catch (const InputFault& fault) {
        return fault.what();
    }
}

std::string namesProblem(const std::vector<std::string>& names, NameRules rules,
                         const CodePage& codePage = latin1CodePage()) {
    try {
        checkStoredNames(names, rules, codePage);
        return "";
    } catch (const InputFault& fault) {
        return fault.what();
    }
}

struct NameCase {
    std::string name;
    std::string posix;    // problem under the POSIX rules, empty when safe
    std::string windows;  // problem under the Windows rules
};

TEST(StoredName, RefusesNamesThatLeaveTheFolderOrCantBeCreated) {
    const std::string empty = "has an empty component";
    const std::vector<NameCase> cases = {
        {"a.txt", "", ""},
        {"sub\\deeper\\x.bin", "", ""},
        {".hidden\\..x\\x..y", "", ""},
        {"", "is empty", "is empty"},
        {"\\etc\\passwd", "is absolute", "is absolute"},
        {"/etc/passwd", "is absolute", "is absolute"},
        {"\\\\server\\share\\x", "is absolute", "is absolute"},
        {"C:\\Windows\\x", "has a drive part", "has a drive part"},
        {"c:x", "has a drive part", "has a drive part"},
        {"a\\\\b", empty, empty},
        {"a\\", empty, empty},
        {"..", "has a \"..\" component", "has a \"..\" component"},
        {"a\\..\\..\\b", "has a \"..\" component", "has a \"..\" component"},
        {"a\\.\\b", "has a \".\" component", "has a \".\" component"},
        {"a/../b", "holds a slash, which would be read as a folder separator",
         "holds a slash, which would be read as a folder separator"},
        {"evil\x1b[2J", "", "holds the control character 0x1B, which Windows does not allow"},
        {"tab\there", "", "holds the control character 0x09, which Windows does not allow"},
        {"Icon\r", "", "holds the control character 0x0D, which Windows does not allow"},
        {"\x01\\x", "", "holds the control character 0x01, which Windows does not allow"},
        {"del\x7f", "", ""},
        {"x\\file:stream", "", "holds the character :, which Windows does not allow"},
        {"what?", "", "holds the character ?, which Windows does not allow"},
        {"a\\CON", "", "has the component \"CON\", a Windows device name"},
        {"nul.txt", "", "has the component \"nul.txt\", a Windows device name"},
        {"lpt1", "", "has the component \"lpt1\", a Windows device name"},
        {"COM10", "", ""},
        // Windows reads superscript digits as digits: COM¹ and LPT³ (ISO 8859-1 bytes) are ports.
        {"COM\xb9", "", "has the component \"COM\xb9\", a Windows device name"},
        {"x\\lpt\xb3.txt", "", "has the component \"lpt\xb3.txt\", a Windows device name"},
        {"COM\xbd", "", ""},
        {"CONSOLE", "", ""},
        {"trailing.", "", "has a component ending in a dot or space, which Windows would drop"},
        {"dir \\x", "", "has a component ending in a dot or space, which Windows would drop"},
        {"\xe4rger.txt", "", ""},  // 8-bit names pass as they are
        // Bytes on Linux; Windows counts characters, which only the system can (extract_fs.h).
        {std::string(255, 'n') + "\\" + std::string(255, 'n'), "", ""},
        {"a\\" + std::string(256, 'n'),
         "has a component of 256 bytes, longer than the 255 a name may have", ""},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(storedNameProblem(c.name, NameRules::Posix), c.posix) << quotedName(c.name);
        EXPECT_EQ(storedNameProblem(c.name, NameRules::Windows), c.windows) << quotedName(c.name);
    }
}

TEST(StoredName, SplitsAtBackslashes) {
    EXPECT_EQ(splitStoredName("a\\b\\c"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(splitStoredName("a"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(splitStoredName("a\\"), (std::vector<std::string>{"a", ""}));
}

// Whatever could steer a terminal or reorder what it shows is escaped; printable UTF-8 is not.
TEST(StoredName, EscapingLeavesNothingThatSteersTheTerminal) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\\b", "a\\b"},
        {"x\x1b]0;owned\x07", "x\\x1B]0;owned\\x07"},
        {std::string("a\nb\0c", 5), "a\\x0Ab\\x00c"},
        {"del\x7f", "del\\x7F"},
        // C1 controls: as UTF-8 they are characters, alone they are no part of one.
        {"csi\xc2\x9b"
         "2J",
         "csi\\u009B2J"},
        {"\xc2\x80\xc2\x9f", "\\u0080\\u009F"},
        {"csi\x9b"
         "2J",
         "csi\\x9B2J"},
        {"\x80\x9f", "\\x80\\x9F"},
        // Marks, embeddings, overrides and isolates.
        {"evil\xe2\x80\xaetxt.exe", "evil\\u202Etxt.exe"},
        {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad", "\\u202A\\u202B\\u202C\\u202D"},
        {"\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9", "\\u2066\\u2067\\u2068\\u2069"},
        {"\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c", "\\u200E\\u200F\\u061C"},
        // Printable UTF-8 of every length passes: é, Arabic, CJK, an emoji; so do the
        // neighbours of the escaped ranges (U+00A0, U+200D, U+202F, U+2065, U+206A).
        {"caf\xc3\xa9 \xd8\xa8 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80",
         "caf\xc3\xa9 \xd8\xa8 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80"},
        {"\xc2\xa0\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
         "\xc2\xa0\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        // Bytes that are no part of valid UTF-8 are escaped one by one: an 8-bit name, overlong
        // forms, a surrogate, past U+10FFFF, lead bytes that no character uses, cut short.
        {"\xe4rger.txt", "\\xE4rger.txt"},
        {"\xc0\xaf\xe0\x80\xaf", "\\xC0\\xAF\\xE0\\x80\\xAF"},
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},
        {"\xf4\x90\x80\x80\xf5\xff", "\\xF4\\x90\\x80\\x80\\xF5\\xFF"},
        {"\xe2\x80", "\\xE2\\x80"},
        {"\xe2\x80\xae"
         "a\xf0\x9f\x98",
         "\\u202Ea\\xF0\\x9F\\x98"},
        // The escapes themselves are printable: escaping twice changes nothing more.
        {"\\x1B\\u202E", "\\x1B\\u202E"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(escapedText(cases[i].first), cases[i].second) << "case " << i;
        EXPECT_EQ(escapedText(escapedText(cases[i].first)), cases[i].second) << "case " << i;
    }
    EXPECT_EQ(quotedName("x\x1b[2J"), "\"x\\x1B[2J\"");
}

TEST(StoredName, WholeArchiveNameConflicts) {
    EXPECT_EQ(namesProblem({"a", "dir\\b", "dir\\c"}, NameRules::Posix), "");
    EXPECT_EQ(namesProblem({"a", "b", "..\\x"}, NameRules::Posix),
              "record 2: name \"..\\x\" has a \"..\" component");
    EXPECT_EQ(namesProblem({"a", "b", "a"}, NameRules::Posix),
              "record 2: name \"a\" is stored twice (first in record 0)");
    EXPECT_EQ(namesProblem({"dir", "dir\\x"}, NameRules::Posix),
              "record 1: name \"dir\\x\" needs \"dir\" as a folder, but record 0 is a file of that "
              "name");
    EXPECT_EQ(namesProblem({"dir\\x", "dir"}, NameRules::Posix),
              "record 1: name \"dir\" is also a folder of record 0");
    // Letter case: different files on POSIX, one file on Windows.
    EXPECT_EQ(namesProblem({"README", "readme"}, NameRules::Posix), "");
    EXPECT_EQ(namesProblem({"README", "readme"}, NameRules::Windows),
              "record 1: name \"readme\" is stored twice (first in record 0)");
    EXPECT_EQ(namesProblem({"Dir\\a", "DIR"}, NameRules::Windows),
              "record 1: name \"DIR\" is also a folder of record 0");
}

// A double-byte code page as Windows has them (932 and the like): 0x81-0x9F begin
// a two-byte character whose second byte may be 0x5C or an ASCII letter's; the other bytes are
// ISO 8859-1, upper-cased as the file system does (é and É are one name). A lead byte at the end
// is no text.
const CodePage& doubleByteCodePage() {
    static const CodePage page{
        [](unsigned char b) { return b >= 0x81 && b <= 0x9F; },
        [](const std::string& bytes, std::u16string& text) {
            for (size_t i = 0; i < bytes.size(); ++i) {
                const unsigned char b = static_cast<unsigned char>(bytes[i]);
                if (b >= 0x81 && b <= 0x9F) {
                    if (i + 1 == bytes.size()) return false;
                    text.push_back(static_cast<char16_t>(0x4E00 + (b << 8) +
                                                         static_cast<unsigned char>(bytes[++i])));
                } else {
                    text.push_back(b);
                }
            }
            return true;
        },
        [](char16_t c) {
            const bool lower = (c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7);
            return lower ? static_cast<char16_t>(c - 0x20) : c == 0xFF ? char16_t(0x178) : c;
        }};
    return page;
}

// Windows checks and compares characters, never bytes: letter case beyond ASCII, second bytes
// that look like a backslash or a letter, and the 8.3 short names that open another name's file.
TEST(StoredName, WindowsRulesReadCharactersOfTheCodePage) {
    const std::string twice = " is stored twice (first in record 0)";
    const std::string shortOf = " may be the 8.3 short name of ";
    const struct {
        std::vector<std::string> names;
        std::string problem;
    } cases[] = {
        {{"\xc9.txt", "\xe9.txt"}, "record 1: name \"\\xE9.txt\"" + twice},
        {{"\xff", "\xd7", "\xf7"}, ""},  // ÿ, ×, ÷: no case of one another
        {{"dir\\\xe0", "DIR\\\xc0"}, "record 1: name \"DIR\\\\xC0\"" + twice},
        // 0x95 0x5C is one character, no folder; its second byte isn't folded as an "a" would be.
        {{"\x95\\.txt", "\x95\\.txt\\x"},
         "record 1: name \"\\x95\\.txt\\x\" needs \"\\x95\\.txt\" as a folder, but record 0 is a "
         "file "
         "of that name"},
        {{"\x83\x61", "\x83\x41", "\x83\\\\x"}, ""},
        {{"a\\\x95"},
         "record 0: name \"a\\\\x95\" holds bytes that are no text in the system code page"},
        {{"longfilename.txt", "LONGFI~1.TXT"},
         "record 1: name \"LONGFI~1.TXT\"" + shortOf +
             "\"longfilename.txt\" (record 0), which is the same file on Windows"},
        {{"longfi~2.txt", "sub\\x", "Long File Name.txt"},
         "record 0: name \"longfi~2.txt\"" + shortOf +
             "\"Long File Name.txt\" (record 2), which is the same file on Windows"},
        {{"longfoldername\\a", "LONGFO~1\\b"},
         "record 1: name \"LONGFO~1\\b\"" + shortOf +
             "\"longfoldername\" (record 0), which is the same file on Windows"},
        {{"a .txt", "A~1.TXT"},
         "record 1: name \"A~1.TXT\"" + shortOf +
             "\"a .txt\" (record 0), which is the same file on Windows"},
        // The hashed form after the first few: two characters of the basis and four hex digits.
        {{"longfilename.txt", "LO1A2B~1.TXT"},
         "record 1: name \"LO1A2B~1.TXT\"" + shortOf +
             "\"longfilename.txt\" (record 0), which is the same file on Windows"},
        // No collision: another extension, another folder, a long name that is an 8.3 name
        // already (it gets no short name), no "~N" form.
        {{"longfilename.txt", "LONGFI~1.DOC", "sub\\LONGFI~1.TXT", "readme.txt", "README~1.TXT",
          "LONGFI~X.TXT", "LONGFILE.TXT"},
         ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(namesProblem(c.names, NameRules::Windows, doubleByteCodePage()), c.problem)
            << quotedName(c.names[0]);
        // Characters are the Windows rules' own: the POSIX rules still read bytes.
        if (c.names[0] == "\x95\\.txt") {
            EXPECT_EQ(splitStoredName(c.names[1], doubleByteCodePage()),
                      (std::vector<std::string>{"\x95\\.txt", "x"}));
            EXPECT_EQ(splitStoredName(c.names[1]), (std::vector<std::string>{"\x95", ".txt", "x"}));
        }
    }
}

}  // namespace
