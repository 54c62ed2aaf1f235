#pragma once
// The process's standard output and error as the platform has them, for what goes there without
// the C++ streams: an archive or stored files written as raw bytes (no text-mode translation on
// Windows), and whether a person is watching. Each platform fills this in its own file.

#include <cstdint>

// The open standard output, for writeWhole (atomic_file.h); -1 when the process has none.
intptr_t standardOutputFile();

// Whether standard input, standard output, or standard error is a terminal (on Windows, a
// console).
bool standardInputIsTerminal();
bool standardOutputIsTerminal();
bool standardErrorIsTerminal();
