#pragma once
// Opening a path of any length. The scan lists folders, and the writer reads files, by their full
// path; a tree can hold paths longer than the system lets one call resolve (PATH_MAX, 4,096
// bytes on Linux), since each folder on the way is made relative to its parent. Such paths are
// opened in pieces, each folder relative to the one before it, so that every folder and file the
// scan lists can also be read.

#include <string>

// open(2) with `flags` (no O_CREAT: it opens what is there), also for a path past PATH_MAX.
// Returns the descriptor, or -1 with errno set.
int openPath(const std::string& path, int flags);
