#pragma once
// The platform services extraction writes through, and the way it writes each file: as an atomic
// file (platform/atomic_file.h) in a folder opened along the stored name. Each platform fills them
// in its own file (extract_fs_posix.cpp, extract_fs_win32.cpp). Every failure throws FatalError
// with a text that names the operation and the path.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/fatal_error.h"
#include "format/stored_name.h"
#include "platform/atomic_file.h"

// The rules names must follow on this platform, and the code page they read stored bytes in.
NameRules platformNameRules();
const CodePage& platformCodePage();

// Refuses the first of the stored names whose file or folders below `dest` would pass a length
// limit of this system: throws InputFault ("record N: name ...: why"). The name rules measure
// what they can without the system; this measures the rest: on Windows every component in UTF-16
// units. Neither system has more to measure: below DEST every step is relative to an open
// folder, so no limit applies to a whole path.
void checkPathLengths(const std::string& dest, const std::vector<std::string>& names);

// What is at a path, without following a final symbolic link.
enum class PathKind { Missing, Folder, File, Link, Other };

// Whether the path names a regular file, following links; false also when it can't be looked at,
// so that the caller goes on as for anything else that is no archive.
bool isRegularFile(const std::string& path);

// The folder extraction writes into. One the user named (-C DEST, a DEST operand) may be a link
// to a folder. One the program chose (beside the archive) is never reached through a link: it is
// looked at, created and opened relative to its parent folder, which stays open from the check
// before the questions to the last file, so that a link put in its place meanwhile is refused
// rather than followed.
struct Destination {
    std::string path;
    bool chosen = false;
    FolderHandle parent;  // chosen: the folder that holds it
    std::string name;     // chosen: its name in parent
    FolderHandle folder;  // valid once `open`
    bool open = false;
};

// Looks at the destination before anything is written, and opens it when a folder is there.
// Anything else there is refused, and so, for a chosen destination, is a link of any kind.
Destination findDestination(const std::string& path, bool chosen);

// The destination's open folder, creating it (one level) when it was missing (its madeByThisRun
// then set, on Linux); for a chosen one, a link that appeared in its place meanwhile is refused.
const FolderHandle& openDestination(Destination& dest);

// What is at `name` inside the folder, without following a final symbolic link.
PathKind kindInside(const FolderHandle& folder, const std::string& name);

// Opens the folder `name` inside `parent`, creating it when missing if `create` (madeByThisRun as
// for openDestination). A symbolic link (or, on Windows, any reparse point) there is refused, and
// so is anything that isn't a folder.
FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name, bool create = true);

// Whether extraction may hold a few files open ahead of the one it writes (eight or so) on top of
// the folders it writes in: false where the limit on open files leaves little room.
bool roomToStartFilesAhead();

// Sets the last-write time (seconds since 1970 UTC) of a file being extracted.
void setFileTime(AtomicFile& file, int64_t utcSeconds);

// The refusal to replace an existing file, shared by the early check and the commit.
inline std::string alreadyExistsText(const std::string& path) {
    return "\"" + path + "\" already exists (--force replaces it)";
}

// The refusal to write through a link.
inline std::string linkRefusalText(const std::string& path) {
    return "\"" + path + "\" is a symbolic link; extraction never writes through a link";
}

// Starts the file `name` inside the folder; nothing appears under the name until
// finishExtractedFile.
inline void startExtractedFile(AtomicFile& file, const FolderHandle& folder,
                               const std::string& name) {
    createAtomicFile(file, folder, name);
}

// Puts the file, written whole and with its time, under its name. Without `replace`, a file that
// appeared there meanwhile is left alone and this fails. Its data is on disk before its name is:
// a power cut leaves the old file or the whole new one, and a new file whole or absent (file
// systems without an ordering of their own, XFS for one, would otherwise keep the name and lose
// the data). `dataOnDisk`: syncWrittenData has put it there, with the rest of its batch;
// otherwise the file's own data is synced first. Its folder isn't synced here:
// syncWrittenFileSystems does that for all at the end. Returns the warning of a step that failed
// once the file was in place (empty when none).
[[nodiscard]] inline std::string finishExtractedFile(AtomicFile& file, bool replace,
                                                     bool dataOnDisk) {
    try {
        return commitAtomicFile(file, {replace, /*durable=*/false, /*dataFirst=*/!dataOnDisk});
    } catch (const FileStepFailure& failure) {
        if (failure.step != FileStep::Exists) throw;
        fatalError(alreadyExistsText(failure.path));
    }
}

// The file systems extraction has written to, each held by a folder on it, so that its end can
// put them on disk at once (Linux; Windows holds none).
struct WrittenFileSystems {
    std::vector<FolderHandle> folders;
    std::vector<uint64_t> ids;
    bool missed = false;  // one couldn't be held: syncWrittenData can't vouch for its files
};

// Notes the file system of a folder extraction writes to.
void noteWrittenFolder(WrittenFileSystems& written, const FolderHandle& folder);

// How many descriptors extraction may fill with written files, held open without their names for
// one sync of their data (syncWrittenData), and with their folders: on Linux a share of those
// this process may open; 1 on Windows, where each file's data is flushed on its own at its
// commit.
size_t descriptorsForDataSync();

// Puts the data of every file written so far to those file systems on disk (Linux: one syncfs
// each), so that the files held for it may take their names; false where the platform syncs each
// file at its commit instead (Windows). A sync that fails throws FatalError: no file held for it
// may then take its name.
bool syncWrittenData(const WrittenFileSystems& written);

// Puts everything written to those file systems on disk (Linux: one syncfs each), so that what
// is in place stays after a power cut; the warnings of those that failed.
std::vector<std::string> syncWrittenFileSystems(const WrittenFileSystems& written);
