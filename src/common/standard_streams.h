#pragma once
// The process's standard output and error as the platform has them, for what goes there without
// the C++ streams: an archive or stored files written as raw bytes (no text-mode translation on
// Windows), and whether a person is watching. Each platform fills this in its own file.

#include <cstdint>
#include <string>
#include <vector>

// The open standard output, for writeWhole (atomic_file.h); -1 when the process has none.
intptr_t standardOutputFile();

// Whether standard input, standard output, or standard error is a terminal (on Windows, a
// console).
bool standardInputIsTerminal();
bool standardOutputIsTerminal();
bool standardErrorIsTerminal();

// The arguments after the program's name. On Windows they are read from the wide command line,
// not the code page's argv, whose "best fit" would turn a name's characters into look-alikes
// (a folder "\uFF0E\uFF0E" into ".."); a character the code page lacks is spelled <U+XXXX>, as
// a listing spells it, so that the path leads to the same folder.
std::vector<std::string> programArguments(int argc, char** argv);
