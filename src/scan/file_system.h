#pragma once
// The platform services the scan and the run sequence read the disk through. Tests replace them
// with a fake that records calls; each platform fills them in its own file.

#include <cstdint>
#include <string>
#include <vector>

// One name in a folder, as the platform reports it after following symbolic links.
struct FolderItem {
    enum class Kind { File, Folder, Other };
    std::string name;
    Kind kind = Kind::Other;
    uint64_t size = 0;
    bool hasTime = false;
    // Last write time shifted by the UTC offset in force when the listing was made, in seconds
    // since 1970-01-01 00:00:00 of that local clock. Meaningful only when hasTime is set.
    int64_t localSeconds = 0;
};

struct FileSystem {
    virtual ~FileSystem() = default;
    // Appends every entry of the folder (including "." and ".." if the platform reports them) in
    // the platform's enumeration order. False when the folder can't be listed.
    virtual bool listFolder(const std::string& folderPath, std::vector<FolderItem>& items) = 0;
    // True when a file, folder or anything else exists at the path.
    virtual bool exists(const std::string& path) = 0;
};

// The separator that joins real path components on this platform.
char nativeSeparator();

// The file system of the machine the program runs on.
FileSystem& systemFileSystem();

// The offset from UTC in force now, in seconds (east positive): the shift that turns a file's
// time into the local wall-clock time the archive stores, whatever the file's own date, and that
// extraction undoes.
int64_t utcOffsetNow();
