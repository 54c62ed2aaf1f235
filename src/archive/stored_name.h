#pragma once
// Checks on the names stored in an archive, before any of them becomes a path on disk. A stored
// name is relative, its components joined by backslashes; a hostile archive can hold anything.

#include <string>
#include <vector>

// Which file system the names must be safe on. Windows adds its reserved device names and
// characters, and compares names without regard to letter case.
enum class NameRules { Posix, Windows };

// Empty when `name` can be created below a folder without leaving it, else why not
// ("has a \"..\" component").
std::string storedNameProblem(const std::string& name, NameRules rules);

// The components of a stored name, split at each backslash.
std::vector<std::string> splitStoredName(const std::string& name);

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

// The first problem among a whole archive's names: a name that is unsafe, one that is stored
// twice, or one that another name needs as a folder. Empty when extraction can proceed.
std::string namesProblem(const std::vector<std::string>& names, NameRules rules);
