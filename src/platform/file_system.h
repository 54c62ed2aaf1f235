#pragma once
// The platform services the scan and the run sequence read the disk through. Tests replace them
// with a fake that records calls; each platform fills them in its own file.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_list.h"

// Which folder (or file) a path leads to, whatever way it takes there: two paths reach the same
// one when their identities are equal. POSIX uses the device and inode numbers; Windows the
// volume serial number and the file index.
struct FolderId {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool known = false;  // false when the platform couldn't tell
};

inline bool sameFolder(const FolderId& a, const FolderId& b) {
    return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

// One name in a folder, as the platform reports it after following symbolic links.
struct FolderItem {
    enum class Kind { File, Folder, Other };
    std::string name;
    Kind kind = Kind::Other;
    // Set when the platform's name can't be stored as it is: on Windows, a name with characters
    // the system code page lacks (`name` spells them as <U+XXXX>, which the platform's calls read
    // back as those characters).
    bool nameUnstorable = false;
    // The identity of the folder or file, where the listing has it at no extra cost: always for a
    // folder reached through a link (a symbolic link; on Windows any reparse point), so that a
    // link back up can be passed over without listing it; on Linux for every file; otherwise it
    // may stay unknown.
    FolderId id;
    uint64_t size = 0;
    bool hasTime = false;
    // Last write time shifted by the UTC offset in force when the listing was made, in seconds
    // since 1970-01-01 00:00:00 of that local clock. Meaningful only when hasTime is set.
    int64_t localSeconds = 0;
    // A file whose size and time the listing left for later: the scan hands its entry to
    // FileSystem::statLater instead of reading them here.
    bool statLater = false;
};

// What statLater leaves in FileEntry::modifiedTime for a file that is gone, or is no regular file
// any more, since the listing.
constexpr int64_t kNoLongerAFile = INT64_MIN;

struct FileSystem {
    virtual ~FileSystem() = default;
    // Appends every entry of the folder (including "." and ".." if the platform reports them) in
    // the platform's enumeration order, and sets `id` to the identity of the folder listed (left
    // unknown when it can't be had). False when the folder can't be listed.
    virtual bool listFolder(const std::string& folderPath, FolderId& id,
                            std::vector<FolderItem>& items) = 0;
    // True when a file, folder or anything else exists at the path.
    virtual bool exists(const std::string& path) = 0;

    // For an item that listFolder marked statLater, in the folder listed last and not yet left:
    // sets the entry's size, and its modifiedTime to the local seconds of FolderItem::localSeconds
    // (or kNoLongerAFile). That may happen on another thread, at any time until finishStats
    // returns; the entry and `name` (the file's name in its folder) stay until then.
    virtual void statLater(FileEntry& entry, const char* name) {
        (void)entry;
        (void)name;
    }
    // After each listFolder that succeeded: the scan is done with that folder.
    virtual void leaveFolder() {}
    // Returns once every statLater is done; the scan calls it last, also when it fails.
    virtual void finishStats() {}
    // Why listFolder fails for the path, in the system's words, from a second look (for a
    // message); empty when it can't tell.
    virtual std::string listFailure(const std::string& folderPath) {
        (void)folderPath;
        return "";
    }
};

// The identity of what is at the path (of a final link's target when followLinks), unknown when
// there is nothing or the platform's listing gives files no identity to compare it with.
FolderId fileIdentity(const std::string& path, bool followLinks);

// The separator that joins real path components on this platform.
char nativeSeparator();

// The file system of the machine the program runs on.
FileSystem& systemFileSystem();
// A file system of its own for one caller, for the library, whose calls may run on several threads
// at once: the shared one above keeps what it learns between listings.
std::unique_ptr<FileSystem> newSystemFileSystem();

// The offset from UTC in force now, in seconds (east positive): the shift that turns a file's
// time into the local wall-clock time the archive stores, whatever the file's own date, and that
// extraction undoes.
int64_t utcOffsetNow();
