#pragma once

#include <string>

#include "scan/file_list.h"
#include "scan/file_system.h"

// Folders nested deeper than this below the root are not listed.
constexpr int kMaxScanDepth = 10;

// The root path that a folder given on a command line names: the argument less one trailing
// separator of the platform's own ("/" on POSIX, where a backslash is an ordinary character in a
// name; a backslash on Windows, where a trailing "/" stays). zem-builder and zem read it alike.
std::string rootPathFromArgument(const std::string& argument);

// Appends every file below rootPath to fileList with its stored name, depth-first in pre-order
// and in the order the platform enumerates each folder, without sorting. Links to folders are
// followed, except to a folder on the way down from the root (the root included): such a loop
// adds nothing. A folder that can't be listed adds nothing. False when the root itself can't be
// listed. Running out of memory throws std::bad_alloc.
bool scanFolder(FileSystem& fs, const std::string& rootPath, FileList& fileList);

// The refusal of the first listed file whose name holds a backslash of its own (see
// FileEntry::nameHoldsBackslash), or "" when there is none.
std::string backslashRefusal(const FileList& fileList);
