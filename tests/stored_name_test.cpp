// Names a hostile archive may hold, refused before extraction writes anything.

#include <gtest/gtest.h>

#include "archive/stored_name.h"

namespace {

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

}  // namespace
