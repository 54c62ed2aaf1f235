#pragma once
// The bytes of the listed files, in list order, for the writer: each call appends the next file's
// bytes to the archive, exactly as many as the scan found. A file that can't be opened, or is no
// longer a file, is an open error, and one that holds fewer bytes is a read error (through
// fatalError, with messages.h's texts); a longer one is cut. Each platform fills this in its own
// file.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/fatal_error.h"
#include "platform/file_list.h"
#include "platform/input_file.h"
#include "platform/messages.h"
#include "platform/output_file.h"

// Hears, after each step of copying a file, how many of its bytes are in the archive so far.
using FileCopied = std::function<void(uint64_t copiedOfFile)>;

struct InputReader {
    virtual ~InputReader() = default;
    // Appends the next listed file to out. `copied`, when set, may throw (the user cancelled),
    // which unwinds from here as a failure does.
    virtual void appendNext(OutputFile& out, const FileCopied& copied) = 0;
};

// Reads the files of the list, which must outlive the reader.
std::unique_ptr<InputReader> openInputReader(const FileList& files);

// Opens and closes a listed file for the readers, their failures told in the texts above.
inline InputFile openListedFile(const std::string& path) {
    try {
        return openInputFile(path);
    } catch (const SystemFailure&) {
        fatalError(inputOpenError(path));
    }
}
inline void closeListedFile(InputFile& file) {
    try {
        closeInputFile(file);
    } catch (const SystemFailure&) {
        fatalError(inputReadError(file.path));
    }
}
