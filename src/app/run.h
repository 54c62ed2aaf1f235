#pragma once

#include <string>
#include <vector>

#include "app/dialog.h"
#include "scan/file_system.h"

extern const char* const kUsageText;
extern const char* const kCompleteText;

std::string firstQuestion(const std::string& archivePath, int fileCount);
std::string existsQuestion(const std::string& archivePath);
// Running out of memory: while listing the folder given as the argument, or while writing.
std::string outOfMemoryListingText(const std::string& folder);
std::string outOfMemoryWritingText(const std::string& archivePath);

// One whole run. args holds the arguments after the program's name. Returns the exit code:
// 0 for the usage text, a Cancel or success; 1 after a fatal error (running out of memory
// included) or for a file whose name the archive can't hold.
int runZemBuilder(const std::vector<std::string>& args, Dialog& dialog, FileSystem& fs);
