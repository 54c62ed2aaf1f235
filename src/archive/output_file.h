#pragma once
// The archive file being written: a temporary file in the archive's folder that replaces the
// archive path only when commit() succeeds. Each platform fills this in its own file. Every
// failure goes through fatalError with the archive's write error (or the input file's open and
// read errors in appendFile), and destroying an uncommitted file removes it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "scan/file_list.h"

struct OutputFile {
    virtual ~OutputFile() = default;
    // Appends bytes at the end.
    virtual void write(const void* data, size_t size) = 0;
    // Overwrites bytes already written, without moving the end.
    virtual void writeAt(uint64_t position, const void* data, size_t size) = 0;
    // Appends exactly `size` bytes from the start of the file at inputPath, in bounded pieces.
    // Fewer bytes than that is the input's read error; a longer file is cut at `size`.
    virtual void appendFile(const std::string& inputPath, uint64_t size) = 0;
    // When set, hears how many of the current file's bytes appendFile has copied, after each
    // piece of kProgressPiece bytes but not after the last (the caller knows when the file is
    // done), so only files larger than a piece are reported. It may throw (the user cancelled):
    // appendFile then unwinds as from a failure.
    std::function<void(uint64_t copiedOfFile)> onPieceCopied;
    // Names, before the first appendFile, the files it will be called for, in that order, so
    // that an implementation may read small ones ahead. A failure with such a file is still
    // raised only by its appendFile. Optional: appendFile works the same without it.
    virtual void expectFiles(const FileList& files) { (void)files; }
    // Bytes written so far: the position of the next byte.
    virtual uint64_t size() const = 0;
    // Makes the data durable and puts the file at the archive path in one step.
    virtual void commit() = 0;
};

// A progress display moves a few times a second on a large file copied in pieces of this size.
constexpr uint64_t kProgressPiece = uint64_t(8) << 20;

// Starts the archive. Something at archivePath that can't be replaced by a file (a folder), or a
// folder where no file can be created, is the archive's open error.
std::unique_ptr<OutputFile> createOutputFile(const std::string& archivePath);

// Prepares the process once at start: an interrupt or termination removes any temporary archive
// before the process ends, and a write past a file-size limit fails as a write instead of
// killing the process.
void installSignalHandling();

// Texts shared by the platforms' output files.
std::string archiveOpenError(const std::string& archivePath);
std::string archiveWriteError(const std::string& archivePath);
std::string inputOpenError(const std::string& path);
std::string inputReadError(const std::string& path);
