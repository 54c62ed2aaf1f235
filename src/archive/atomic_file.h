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
#include <functional>
#include <string>

// A folder that files are created in. On Linux it is held open and every step is relative to
// it, so a link put in place of one of its parents meanwhile can't redirect a write; Windows
// works on paths.
struct FolderHandle {
    std::string path;      // for messages and for the platforms that work on paths
    intptr_t native = -1;  // the open folder where the platform has one
    FolderHandle() = default;
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    ~FolderHandle();
};

// Opens the folder of the file at filePath, for files to be created in it, and gives the file's
// name in it. False when the folder can't be opened.
bool openFolderOf(const std::string& filePath, FolderHandle& folder, std::string& name);

// The path of `name` inside the folder.
std::string pathInside(const FolderHandle& folder, const std::string& name);

// Whether a folder (or a link to one) is at `name` inside the folder: no file can replace it.
bool isFolderAt(const FolderHandle& folder, const std::string& name);

// The system's error code of the last failed call (errno, or GetLastError() on Windows), and its
// text.
int lastSystemError();
std::string systemErrorText(int code);

// A new file in a folder, open for writing: created exclusively under a fresh hidden name that
// starts with `prefix` or, where Linux allows it (O_TMPFILE), without a name. Destroying it closes
// it and removes it, unless a commit took it.
struct TemporaryFile {
    const FolderHandle* folder = nullptr;
    std::string prefix;
    std::string name;             // empty while the file has none
    intptr_t native = -1;         // the open file
    int signalCleanupEntry = -1;  // Linux: its entry in the signal cleanup's list, while named
    bool deleteOnClose = false;   // Windows: marked to vanish with its handle
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();
};

// Creates the file in the folder, which must outlive it. False when that fails (lastSystemError
// tells why).
bool createTemporaryFile(TemporaryFile& file, const FolderHandle& folder,
                         const std::string& prefix);

// The step of an atomic file that failed, for its owner's text.
enum class FileStep {
    Create,           // creating the temporary file (path: the folder)
    Write,            // writing, syncing or closing it (path: the final name's)
    Commit,           // putting it under its final name (path: the final name's)
    Exists,           // a commit without replacing found something at the name (path: that)
    RemoveTemporary,  // removing the temporary name once the file is in place (path: that name)
};

// The text a failed step is reported with; `code` is the system's error code.
using FailureText = std::function<std::string(FileStep step, const std::string& path, int code)>;

struct AtomicFile {
    TemporaryFile temp;
    std::string name;  // the final name inside the folder
    FailureText failureText;
};

// Starts the file `name` inside the folder, which must outlive it; nothing appears under `name`
// until the commit. Temporary names start with tempPrefix.
void createAtomicFile(AtomicFile& file, const FolderHandle& folder, const std::string& name,
                      const std::string& tempPrefix, FailureText failureText);
// Appends all of data.
void writeAtomicFile(AtomicFile& file, const void* data, size_t size);

struct CommitOptions {
    // Without it, a file that appeared at the name meanwhile is left alone and the commit fails
    // (FileStep::Exists), with no window between a check and the write.
    bool replace = false;
    // The data and the new name are on disk when the commit returns (the file and its folder are
    // synced); without it the system writes them back in its own time.
    bool durable = false;
};
// Closes the file and puts it under its name.
void commitAtomicFile(AtomicFile& file, CommitOptions options);

// Raises the failure of a step through fatalError, in the file's owner's words.
[[noreturn]] void failAtomicFile(const AtomicFile& file, FileStep step, int code);

// Prepares the process once at start: an interrupt or termination removes the temporary files of
// uncommitted atomic files before the process ends, and a write past a file-size limit fails as a
// write instead of killing the process.
void installSignalHandling();
