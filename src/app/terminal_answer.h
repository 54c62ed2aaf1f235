#pragma once

#include <string>

// True for the answers that mean OK at a terminal prompt: an empty line (Enter on the default
// button), "ok", "o", "y" or "yes" in any letter case, with surrounding blanks ignored.
bool isOkAnswer(const std::string& line);
