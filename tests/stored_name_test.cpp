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
        {"evil\x1b[2J", "holds the control character 0x1B", "holds the control character 0x1B"},
        {"tab\there", "holds the control character 0x09", "holds the control character 0x09"},
        {"del\x7f", "holds the control character 0x7F", "holds the control character 0x7F"},
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

TEST(StoredName, QuotingEscapesControlCharacters) {
    EXPECT_EQ(quotedName("a\\b"), "\"a\\b\"");
    EXPECT_EQ(quotedName("x\x1b]0;owned\x07"), "\"x\\x1B]0;owned\\x07\"");
    EXPECT_EQ(escapedName(std::string("a\nb", 3)), "a\\x0Ab");
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
