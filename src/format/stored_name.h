#pragma once
// Checks on the names stored in an archive, before any of them becomes a path on disk. A stored
// name is relative, its components joined by backslashes; a hostile archive can hold anything.

#include <functional>
#include <string>
#include <vector>

// Which file system the names must be safe on. Windows adds its reserved device names and
// characters, and compares names without regard to letter case.
enum class NameRules { Posix, Windows };

// How the Windows rules read a stored name: its bytes are text in the system code page, and
// Windows checks and compares the characters, not the bytes.
struct CodePage {
    // True for a byte that begins a two-byte character (double-byte code pages such as 932, whose
    // second bytes may be 0x5C, the backslash, or fold like ASCII letters).
    std::function<bool(unsigned char byte)> isLeadByte;
    // The UTF-16 text of the bytes; false when they are no text in the code page.
    std::function<bool(const std::string& bytes, std::u16string& text)> decode;
    // One UTF-16 unit upper-cased as the file system does to compare names: ordinally, the same
    // in every locale.
    std::function<char16_t(char16_t unit)> upper;
};

// Each byte the character of its own number (ISO 8859-1), upper-cased in ASCII only: the stand-in
// where no system tells more. The POSIX rules read bytes and never use it.
const CodePage& latin1CodePage();

// Checks that `name` can be created below a folder without leaving it; else throws InputFault
// (fatal_error.h) saying why not ("has a \"..\" component").
void checkStoredName(const std::string& name, NameRules rules,
                     const CodePage& codePage = latin1CodePage());

// The components of a stored name, split at each backslash that is a character of its own (never
// the second byte of a double-byte character).
std::vector<std::string> splitStoredName(const std::string& name,
                                         const CodePage& codePage = latin1CodePage());

// The text as it may reach a terminal, so that nothing in a hostile name can steer or disguise
// what is shown: control characters (bytes 0-31 and 127) and every byte that is not part of
// valid UTF-8 become \xNN; the C1 controls written in UTF-8 (U+0080-U+009F) and the marks,
// embeddings, overrides and isolates that reorder text (U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069) become \uNNNN. Everything else, printable UTF-8 included, stays as it is.
std::string escapedText(const std::string& text);
// A stored name as escapedText shows it.
std::string escapedName(const std::string& name);
// The same in double quotes, for messages.
std::string quotedName(const std::string& name);

// Checks a whole archive's names, so that extraction can proceed; the first problem throws
// InputFault ("record 3: name ..."): a name that is unsafe, one that is stored twice, or one that
// another name needs as a folder; under the Windows rules also a name that may be the 8.3 short
// name Windows gives another.
void checkStoredNames(const std::vector<std::string>& names, NameRules rules,
                      const CodePage& codePage = latin1CodePage());
