#pragma once
// The platform services extraction writes through. Each platform fills them in its own file
// (extract_fs_posix.cpp, extract_fs_win32.cpp). Every failure throws FatalError with a text that
// names the operation and the path.

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/stored_name.h"

// The rules names must follow on this platform.
NameRules platformNameRules();

// What is at a path, without following a final symbolic link.
enum class PathKind { Missing, Folder, File, Link, Other };
PathKind pathKind(const std::string& path);

// A folder that extraction writes into. On POSIX it is held open, so that every later step is
// relative to it and a link swapped in along the way can't redirect a write.
struct FolderHandle {
    std::string path;        // for messages and for platforms that work on paths
    intptr_t native = -1;    // the open folder where the platform has one
    FolderHandle() = default;
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    ~FolderHandle();
};

// Opens the destination folder, creating it (one level) when it is missing. The destination
// itself may be a link to a folder: the user named it.
FolderHandle openDestination(const std::string& path);

// Opens the folder `name` inside `parent`, creating it when missing. A symbolic link (or, on
// Windows, any reparse point) there is refused, and so is anything that isn't a folder.
FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name);

// A file being extracted: written under a temporary name in its folder, put in place only by
// commitNewFile. Destroying it before then removes it.
struct NewFile {
    const FolderHandle* folder = nullptr;
    std::string name;        // the final name inside the folder
    std::string tempName;    // empty while the file has no name (Linux O_TMPFILE)
    intptr_t native = -1;    // the open file
    NewFile() = default;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();
};

// Starts the file `name` inside `folder`; nothing appears under `name` yet.
void createNewFile(const FolderHandle& folder, const std::string& name, NewFile& file);
void writeNewFile(NewFile& file, const void* data, size_t size);
// Sets the last-write time (when hasTime; seconds since 1970 UTC), closes the file and puts it
// under its name. Without `replace`, a file that appeared there meanwhile is left alone and the
// commit fails.
void commitNewFile(NewFile& file, bool hasTime, int64_t utcSeconds, bool replace);

// The refusal to replace an existing file, shared by the early check and the commit.
inline std::string alreadyExistsText(const std::string& path) {
    return "\"" + path + "\" already exists (--force replaces it)";
}

// The refusal to write through a link.
inline std::string linkRefusalText(const std::string& path) {
    return "\"" + path + "\" is a symbolic link; extraction never writes through a link";
}
