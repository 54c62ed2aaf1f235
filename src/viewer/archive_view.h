#pragma once
// What the archive viewer shows of an archive and what its commands do, apart from its window:
// the order of the rows, the texts of the title and the status line, extraction of some or all
// of the files with unpacking's checks and questions, and the temporary copies of files opened
// from the archive. The reading, checking and writing are the extraction's own (ops/extract.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "builder/dialog.h"
#include "ops/extract.h"
#include "platform/file_system.h"

// The program's name, as its window's title shows it.
inline constexpr const char* kViewerName = "ZEM Viewer";

enum class ViewColumn { Name, Size, Time };

// The indices of `records` in the order of the column, ascending or not; rows that are equal in
// the column keep the archive's order. Names compare without regard to ASCII letter case, as
// Explorer sorts them, and by their bytes after that.
std::vector<size_t> sortedRecords(const std::vector<ArchiveRecord>& records, ViewColumn column,
                                  bool ascending);

// "pack.zem - ZEM Viewer" for the archive's path, the program's name alone for none.
std::string viewerTitle(const std::string& archivePath);

// "3 files, 70012 bytes".
std::string viewerStatus(const std::vector<ArchiveRecord>& records);

// Extracts the records at `indices` (each at most once, in archive order) into `folder`, a folder
// the user picked, with unpacking's checks, questions and messages; the question about replacing
// comes only when a file is already there. The archive's records are as before afterwards.
// Returns the exit code an unpacking run would give.
int extractRecords(LoadedArchive& archive, const std::vector<size_t>& indices,
                   const std::string& folder, Dialog& dialog, FileSystem& fs);

// Copies of stored files taken out to be opened by other programs: each below `root`, a folder
// made for this process, in a folder of its own numbered from 1 so that a copy still open in
// another program is never replaced.
struct TemporaryCopies {
    std::string root;
    int made = 0;
};

// Extracts the record at `index` below copies.root (made when missing) and returns the copy's
// path; a step that failed after the file was in place adds its warning to `warnings`. Throws
// FatalError, naming the operation and the path, when the copy can't be made.
std::string extractTemporaryCopy(LoadedArchive& archive, size_t index, TemporaryCopies& copies,
                                 std::vector<std::string>& warnings);
