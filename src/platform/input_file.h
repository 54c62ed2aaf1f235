#pragma once
// A listed file opened for reading, as the writer reads it to pack and zem verify to compare: by
// any path the scan lists, however long, and without ever blocking on something that isn't a
// regular file (a pipe put in a file's place since the listing). Each platform fills this in its
// own file (input_file_posix.cpp, input_file_win32.cpp).

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/fatal_error.h"
#include "common/unique_handle.h"

// An open file, closed when destroyed: only read from, so closing can lose nothing.
struct InputFile {
    UniqueHandle native;
    std::string path;
};

// Opens the file. One that can't be opened, or is no regular file, throws SystemFailure
// ("open"): a caller to whom a file gone since the listing is an answer, not a failure, catches
// it.
InputFile openInputFile(const std::string& path);

// Reads up to `length` bytes on from where the last read ended; fewer only at the end of the file
// or on a read error.
size_t readInputFile(InputFile& file, char* into, size_t length);

// Closes the file before its destruction would; a failure it reports throws SystemFailure
// ("close").
inline void closeInputFile(InputFile& file) {
    if (!file.native.close()) failSystemCall("close", file.path);
}
