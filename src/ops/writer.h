#pragma once

#include <cstdint>
#include <string>

#include "platform/file_list.h"
#include "platform/progress.h"

// Writes the archive of fileList to archivePath, each file under its stored name. Returns only
// when the complete archive is in place; any failure goes through fatalError and leaves what was
// at archivePath untouched. progress, when given, hears of every finished file and of each piece
// of a large one; a Cancelled thrown from it leaves archivePath untouched too. Returns the
// warning of a step that failed once the archive was in place, which can't undo that (empty when
// there is none). With `namedPath` (the user named the path) a link there is followed, and a
// device or named pipe written into as a stream (output_target.h).
std::string writeArchive(const std::string& archivePath, const FileList& fileList,
                         ProgressDisplay* progress = nullptr, bool namedPath = false);

// Writes the same archive in one forward pass to the open file `stream` (standard output), which
// stays open; shownPath names it in messages. Every header field is known from the list, so
// nothing is sought back to. A failure part way leaves a partial archive in the stream, which its
// reader must discard.
void streamArchive(intptr_t stream, const std::string& shownPath, const FileList& fileList,
                   ProgressDisplay* progress = nullptr);

// Refuses (through fatalError) a list that the archive format can't hold: a file of 4 GiB or
// more, or an archive whose end would pass 0xFFFFFFFF.
void checkArchivable(const FileList& fileList);
