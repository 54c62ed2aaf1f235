#pragma once
// The archive file being written: an atomic file in the archive's folder that replaces the
// archive path only when commitOutput succeeds, and is removed on every other way out. Small
// writes gather in a staging buffer that goes out in large writes (a system call costs more than
// copying a few KiB); large ones go straight to the file. As the file grows its writeback is
// paced (writeback.h). Every failure goes through fatalError with the archive's open or write
// error. An archive can also stream to an open file such as standard output: written forward
// once, with no temporary file, rename or sync.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/atomic_file.h"
#include "platform/writeback.h"

struct OutputFile {
    std::string archivePath;
    FolderHandle folder;
    AtomicFile file;
    std::unique_ptr<char[]> stage;
    size_t stageUsed = 0;
    uint64_t size = 0;  // bytes written so far, staged ones included: the next byte's position
    Writeback writeback;
    intptr_t stream = -1;  // the open file streamed to, when not the atomic file
};

// Starts the archive, and first removes what runs killed outright left in its folder. Something
// at archivePath that can't be replaced by a file (a folder), a name longer than the folder
// allows, or a folder where no file can be created, is the archive's open error. Messages name
// shownPath when it is given (the path as the user gave it, before links were followed).
void createOutputFile(OutputFile& out, const std::string& archivePath,
                      const std::string& shownPath = std::string());
// Starts an archive that streams to the open file `stream`, which stays open; archivePath names it
// in messages.
void createOutputStream(OutputFile& out, intptr_t stream, const std::string& archivePath);
// Appends bytes at the end.
void writeOutput(OutputFile& out, const void* data, size_t size);
// For bytes that reach the end of the file without passing through here (the kernel's copy from
// an input file): empties the staging buffer and gives the open file. Each such append is then
// reported with appendedDirectly.
intptr_t fileForDirectAppend(OutputFile& out);
void appendedDirectly(OutputFile& out, uint64_t count);
// Makes the data durable and puts the file at the archive path in one step. A failure leaves
// what was at the archive path; a warning (empty when none) tells what failed after the step.
// A stream is only flushed.
[[nodiscard]] std::string commitOutput(OutputFile& out);
// Ends the run with the archive's write error.
[[noreturn]] void failOutputWrite(const OutputFile& out);
