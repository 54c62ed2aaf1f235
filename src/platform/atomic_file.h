#pragma once
// A file that appears under its name whole or not at all; the archive writer and extraction both
// write through it. It is written as a temporary file in the folder of its final name and put
// under that name in one step by the commit. Until then nothing is at the name, and a file that
// is never committed is removed: by its destructor on the way out of a failure, and when the
// process ends without unwinding by the signal cleanup (Linux, installSignalHandling), the system
// (an unnamed file on Linux) or the delete-on-close mark (Windows). Each platform fills this in
// its own file; failures go through fatalError with the owner's texts.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/fatal_error.h"
#include "common/unique_handle.h"

// A folder that files are created in. On Linux it is held open and every step is relative to
// it, so a link put in place of one of its parents meanwhile can't redirect a write; Windows
// works on paths.
struct FolderHandle {
    std::string path;     // for messages and for the platforms that work on paths
    UniqueHandle native;  // the open folder where the platform has one
    // Linux: opened for reading, which a durable commit needs to sync the folder. A folder that
    // may be written but not read is held without it, and its commits skip that sync.
    bool syncable = false;
    // Made by this process, empty when it was opened: nothing in it predates the run, so it holds
    // no leftover temporary file, and a commit that doesn't replace or sync may link a file
    // straight under its name (Linux).
    bool madeByThisRun = false;
};

// Opens the folder of the file at filePath, for files to be created in it, and gives the file's
// name in it. A folder that can't be opened throws SystemFailure ("open folder").
void openFolderOf(const std::string& filePath, FolderHandle& folder, std::string& name);

// The path of `name` inside the folder.
std::string pathInside(const FolderHandle& folder, const std::string& name);

// Whether a file can be put at `name` inside the folder: the name is within the file system's
// length limit, and no folder (or link to one) is there, which no file could replace.
bool canPlaceFileAt(const FolderHandle& folder, const std::string& name);

// Temporary names have one short form whatever the final name, ".zem-<pid>.<host>.<n>.tmp":
// the process id, the tag of the host (and on Linux of the process id's namespace) the process
// runs on, in eight hex digits, and a count within the process. The next run can tell from it
// whose file a leftover is.
constexpr size_t kMaxTemporaryNameLength = 39;
std::string temporaryFileName(uint32_t pid, uint32_t count);
// The process id in a name of exactly that form with this host's tag; 0 for any other name.
uint32_t leftoverProcessId(const std::string& name);
// What makes this host's tag: the platform fills it in.
std::string hostIdentity();

// How many files under temporary names a process may hold at once for the signal cleanup to
// remove them all (Linux; on Windows each file is marked to vanish on its own).
constexpr size_t kMaxNamedTemporaryFiles = 256;

// Removes the temporary files that processes of this host which no longer run left in the
// folder: regular files of this user under names of exactly the temporary form. Only what is
// certain to be such a leftover goes; a folder that can't be listed keeps everything.
void removeLeftoverTemporaryFiles(const FolderHandle& folder);

// A new file in a folder, open for writing: created exclusively under a fresh temporary name or,
// where Linux allows it (O_TMPFILE), without a name. Destroying it closes it and removes it,
// unless a commit took it.
struct TemporaryFile {
    const FolderHandle* folder = nullptr;
    std::string name;             // empty while the file has none
    UniqueHandle native;          // the open file
    int signalCleanupEntry = -1;  // Linux: its entry in the signal cleanup's list, while named
    bool deleteOnClose = false;   // Windows: marked to vanish with its handle
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();
};

// The step of an atomic file that failed.
enum class FileStep {
    Create,  // creating the temporary file (path: the folder)
    Write,   // writing, syncing or closing it (path: the final name's)
    Commit,  // putting it under its final name (path: the final name's)
    Exists,  // a commit without replacing found something at the name (path: that)
};

// A failed step of an atomic file: a SystemFailure that names the operation and the path
// ("cannot write \"PATH\": REASON"; for Exists "\"PATH\" already exists"). An owner that tells
// the failure in its own words catches it where it calls.
struct FileStepFailure : SystemFailure {
    FileStepFailure(FileStep failedStep, const std::string& failedPath, int errorCode);
    FileStep step;
};

// Creates the file in the folder, which must outlive it. A failure throws FileStepFailure
// (FileStep::Create, the folder's path).
void createTemporaryFile(TemporaryFile& file, const FolderHandle& folder);

struct AtomicFile {
    TemporaryFile temp;
    std::string name;  // the final name inside the folder
};

// Starts the file `name` inside the folder, which must outlive it; nothing appears under `name`
// until the commit.
void createAtomicFile(AtomicFile& file, const FolderHandle& folder, const std::string& name);
// Appends all of data.
void writeAtomicFile(AtomicFile& file, const void* data, size_t size);

struct CommitOptions {
    // Without it, a file that appeared at the name meanwhile is left alone and the commit fails
    // (FileStep::Exists), with no window between a check and the write.
    bool replace = false;
    // The data and the new name are on disk when the commit returns (the file and its folder are
    // synced); without it the system writes them back in its own time.
    bool durable = false;
    // The data is on disk before the file is put at its name, so that a power cut leaves the old
    // file or the whole new one there, never an empty or a short one; the name itself follows in
    // the system's own time. Implied by `durable`.
    bool dataFirst = false;
};
// Closes the file and puts it under its name. Whatever can fail is done before the file is put
// there, and a failure until then leaves the name as it was. What fails after it (syncing the
// folder, removing a temporary second name) can't undo that: it comes back as a warning, empty
// when there is none.
[[nodiscard]] std::string commitAtomicFile(AtomicFile& file, CommitOptions options);

// The warning of a step that failed after the commit put the file at its name: `what` failed
// with the system's error `code`, and `consequence` (when not empty) is what that means.
std::string commitWarning(const AtomicFile& file, const std::string& what, int code,
                          const std::string& consequence);

// Throws the step's FileStepFailure.
[[noreturn]] void failAtomicFile(const AtomicFile& file, FileStep step, int code);

// The platform's one write loop: all of `size` bytes at the open file's position, for the atomic
// file and for an archive streamed to standard output. False on a failure (lastSystemError tells
// which).
bool writeWhole(intptr_t file, const void* data, size_t size);

// Prepares the process once at start: an interrupt or termination removes the temporary files of
// uncommitted atomic files before the process ends, and a write past a file-size limit fails as a
// write instead of killing the process.
void installSignalHandling();
