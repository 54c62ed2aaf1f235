#pragma once

#include <string>

#include "scan/file_list.h"
#include "scan/file_system.h"

// Folders nested deeper than this below the root are not listed.
constexpr int kMaxScanDepth = 10;

// Appends every file below folderPath to fileList, depth-first in pre-order and in the order the
// platform enumerates each folder, without sorting. A folder that can't be listed adds nothing.
void scanFolder(FileSystem& fs, std::string folderPath, FileList& fileList, int depth);
