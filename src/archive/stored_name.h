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

// The name with control characters and bytes of 0x7F written as \xNN, so that a hostile name
// can't steer the terminal it is printed on.
std::string escapedName(const std::string& name);
// The same in double quotes, for messages.
std::string quotedName(const std::string& name);

// The first problem among a whole archive's names: a name that is unsafe, one that is stored
// twice, or one that another name needs as a folder. Empty when extraction can proceed.
std::string namesProblem(const std::vector<std::string>& names, NameRules rules);
