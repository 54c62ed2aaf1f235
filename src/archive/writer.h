#pragma once

#include <cstddef>
#include <string>

#include "archive/progress.h"
#include "scan/file_list.h"

// Writes the archive of fileList to archivePath, filling in each entry's dataOffset. rootLength
// is the length of the root path, which is cut (with the separator after it) from each path to
// form the stored name. Returns only when the complete archive is in place; any failure goes
// through fatalError and leaves what was at archivePath untouched. progress, when given, hears of
// every finished file and of each piece of a large one; a WriteCancelled thrown from it leaves
// archivePath untouched too.
void writeArchive(const std::string& archivePath, FileList& fileList, size_t rootLength,
                  ProgressDisplay* progress = nullptr);

// The name stored for a path: the part after the root and its separator, components joined by a
// backslash.
std::string storedName(const std::string& path, size_t rootLength);

// Refuses (through fatalError) a list that the archive format can't hold: a file of 4 GiB or
// more, a name with a backslash of its own, or an archive whose end would pass 0xFFFFFFFF.
void checkArchivable(const FileList& fileList, size_t rootLength);
