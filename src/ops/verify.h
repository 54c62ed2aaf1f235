#pragma once
// Comparing an archive with the folder it was made from (zem verify ARCHIVE FOLDER).

#include <string>
#include <vector>

#include "ops/extract.h"
#include "platform/progress.h"

// Lists the folder as packing does, the files below the depth limit included (packing leaves
// them out, so they are reported), and compares every stored file with the folder's file of that
// name, byte by byte. Returns one line per difference: the stored files' in archive order, then
// the folder's files that the archive lacks; empty when everything matches. `progress` (may be
// null) counts the files and bytes compared. A folder that can't be listed, or memory running out
// while listing it, throws FatalError.
std::vector<std::string> folderDifferences(LoadedArchive& archive, const std::string& root,
                                           ProgressDisplay* progress);
