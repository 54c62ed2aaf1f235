#pragma once
// Reading the folder's files that zem verify compares with the archive, as zem-builder reads them
// to pack: by any path the scan lists, however long, and without ever blocking on something that
// isn't a regular file (a pipe put in a file's place since the listing). Each platform fills this
// in its own file (folder_file_posix.cpp, folder_file_win32.cpp).

#include <cstddef>
#include <cstdint>
#include <string>

// An open file, closed when destroyed.
struct FolderFile {
    intptr_t native = -1;  // a POSIX descriptor, or a Windows HANDLE
    FolderFile() = default;
    FolderFile(const FolderFile&) = delete;
    FolderFile& operator=(const FolderFile&) = delete;
    ~FolderFile();
};

// False when the file can't be opened or is no regular file.
bool openFolderFile(const std::string& path, FolderFile& file);

// Reads up to `length` bytes on from where the last read ended; fewer only at the end of the file
// or on a read error.
size_t readFolderFile(FolderFile& file, char* into, size_t length);
