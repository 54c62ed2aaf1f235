#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_list.h"
#include "platform/file_system.h"

// Folders nested deeper than this below the root are not listed.
constexpr int kMaxScanDepth = 10;

// The root path that a folder given on a command line names: the argument less one trailing
// separator of the platform's own ("/" on POSIX, where a backslash is an ordinary character in a
// name; a backslash on Windows, where a trailing "/" stays). zem-builder and zem read it alike.
std::string rootPathFromArgument(const std::string& argument);

// How the stored times are made from the files' own. The default keeps the listing's times.
struct TimeRule {
    enum class Kind {
        Keep,     // each file's own time
        Replace,  // `instant` for every file, those without a time of their own included
        Clamp,  // `instant` for files newer than it; the others (and files without one) keep theirs
    };
    Kind kind = Kind::Keep;
    int64_t instant = 0;  // seconds since 1970-01-01 00:00:00 UTC
    // The listing shifts times by the UTC offset in force (FolderItem::localSeconds): that is
    // listedOffset, and storedOffset the shift stored instead (0 for UTC calendar times).
    int64_t listedOffset = 0;
    int64_t storedOffset = 0;
};

// The files below the depth limit, which are never packed. The scan lists those folders only when
// asked for them, to count their files (and to keep them here, for a comparison). There, each
// folder is listed once, under the first path that reaches it, whatever links lead to it again.
struct DeepFiles {
    bool keepFiles = false;
    uint64_t count = 0;
    FileList files;  // with keepFiles; each scan replaces it, with the same root as its own list
};

// A choice of paths below the root, as stored names ("a\\b"; "" for the root itself): only these
// and what lies below them are listed, the folders on their way only for them. The scan records
// in `met` each that it found, whatever it is.
struct PathSelection {
    std::set<std::string> names;
    std::set<std::string> met;
};

struct ScanOptions {
    // Within each folder, entries in byte order of their names instead of the platform's order.
    bool sortByName = false;
    // Entries whose name, or whose path below the root, matches one of these (name_pattern.h)
    // are left out; a folder left out is not listed.
    std::vector<std::string> excludes;
    // One file left out: the archive being written, when it lies inside the folder, as tar leaves
    // out its own archive. It is told by its identity where the listing gives files' identities,
    // whatever the path it is reached by, and by its stored name (empty: none) too.
    std::string ownArchive;
    FolderId ownArchiveId;
    TimeRule time;
    // Unset: whatever lies below the depth limit is passed over without being listed.
    DeepFiles* deep = nullptr;
    // Unset: everything below the root.
    PathSelection* selection = nullptr;
    // Called with the path of each folder below the root that can't be listed (unset: such a
    // folder is passed over unseen). The scan goes on with its siblings either way.
    std::function<void(const std::string& folderPath)> unlisted;
};

// The stored name that the archive at `output` would have in an archive of `folder`, or "" when
// it lies outside the folder (or either path can't be resolved): an archive written into the
// folder it packs must not pack its own previous version (ScanOptions::ownArchive).
std::string storedNameOfOutput(const std::string& folder, const std::string& output);

// Lists every file below rootPath into fileList (which it replaces), depth-first in pre-order
// and in the order the platform enumerates each folder unless the options sort it. Links to
// folders are followed, except to a folder on the way down from the root (the root included):
// such a loop adds nothing. A folder that can't be listed adds nothing (and is reported to
// options.unlisted). False when the root itself can't be listed. Running out of memory throws
// std::bad_alloc.
bool scanFolder(FileSystem& fs, const std::string& rootPath, FileList& fileList,
                const ScanOptions& options = ScanOptions());

// Refuses the first listed file whose name holds a backslash of its own (see nameHoldsBackslash)
// or characters the stored bytes can't spell (FileList::nameUnstorable): throws InputFault with
// the builder's text.
void checkStorableNames(const FileList& fileList);
