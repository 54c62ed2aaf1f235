#pragma once
// An archive file on disk as the reader's source. Each platform opens it in its own file
// (archive_file_posix.cpp, archive_file_win32.cpp).

#include <memory>
#include <string>

#include "format/reader.h"

// Opens an archive file for reading. Only a regular file is accepted, and the open never waits:
// a named pipe, a device or a folder is refused at once instead of blocking the run. Throws
// FatalError naming the operation and the path when the file can't be opened or isn't one.
std::unique_ptr<ArchiveSource> openArchiveFile(const std::string& path);

// Standard input as an archive. A regular file is read in place, from the position standard input
// is at; anything else (a pipe, a socket) is first copied whole into an unnamed temporary file in
// the system's temporary folder, since the reader needs to go back and forth: memory stays
// bounded, and more than the largest archive the format can describe is refused rather than
// copied on. Throws FatalError naming "standard input" when a step fails.
std::unique_ptr<ArchiveSource> openArchiveStream();

// The most bytes an archive can have: the data region and the records each at most 4 GiB, and an
// index slot for each of the smallest records that fit in it.
constexpr uint64_t kLargestArchiveSize =
    0xFFFFFFFFull + 0xFFFFFFFFull + 4 * (0xFFFFFFFFull / 21) + 28;

#ifndef _WIN32
// Whether the file behind a source from openArchiveFile still holds what it held when opened: the
// same size, last-write and status-change times, and still under a name (neither deleted nor
// replaced by another file). The status-change time moves with every write, also one whose
// last-write time is set back afterwards, and with a rename, a change of owner or mode. For readers that keep an archive open while it may change, as a mount does.
bool archiveFileUnchanged(const ArchiveSource& source);
#endif
