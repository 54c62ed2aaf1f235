// Windows atomic files: a new file created exclusively under a fresh temporary name in the
// target's folder and marked for deletion on close, so that it vanishes with its handle however
// the process ends (even when it is killed). The commit lifts the mark, closes the file and moves
// it to its name with MoveFileExA, which refuses an existing name unless replacing was asked for.
// A process killed between lifting the mark and the move, or a system crash, leaves the file: a
// later run removes it (removeLeftoverTemporaryFiles). Windows works on paths: a folder handle is
// its path, nothing is held open.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "archive/atomic_file.h"

namespace {

constexpr DWORD kMaxWrite = 1u << 30;

HANDLE handleOf(const TemporaryFile& file) { return reinterpret_cast<HANDLE>(file.native); }

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// A fresh temporary name; uniqueness comes from CREATE_NEW at the caller.
std::string freshTemporaryName() {
    static std::atomic<uint32_t> counter{0};
    return temporaryFileName(GetCurrentProcessId(), counter++);
}

// Whether the process is gone: no process has the id, or the one that has it has ended (its
// object lingers while a handle to it is open, and its id isn't reused until then).
bool processIsGone(DWORD pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

struct FindHandle {
    HANDLE handle;
    ~FindHandle() {
        if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
    }
};

bool setDeleteOnClose(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// The one write loop: all of `size` bytes at the file pointer.
bool writeAll(HANDLE file, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size < kMaxWrite ? static_cast<DWORD>(size) : kMaxWrite;
        DWORD written = 0;
        if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    return true;
}

}  // namespace

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : path(std::move(other.path)), native(other.native), syncable(other.syncable) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    path = std::move(other.path);
    native = other.native;
    syncable = other.syncable;
    return *this;
}

FolderHandle::~FolderHandle() = default;

bool openFolderOf(const std::string& filePath, FolderHandle& folder, std::string& name) {
    // The temporary file must be on the target's volume, in its folder. A root keeps its
    // separator ("C:\"), and a drive-relative path ("C:pack.zem") is in that drive's current
    // folder, "C:.".
    const size_t slash = filePath.find_last_of("\\/");
    if (slash != std::string::npos) {
        const bool root = slash == 0 || filePath[slash - 1] == ':';
        folder.path = filePath.substr(0, root ? slash + 1 : slash);
        name = filePath.substr(slash + 1);
    } else if (filePath.size() >= 2 && filePath[1] == ':') {
        folder.path = filePath.substr(0, 2) + ".";
        name = filePath.substr(2);
    } else {
        folder.path = ".";
        name = filePath;
    }
    return true;  // nothing is opened: creating the file finds out whether the folder is there
}

std::string pathInside(const FolderHandle& folder, const std::string& name) {
    if (!folder.path.empty() && isSeparator(folder.path.back())) return folder.path + name;
    return folder.path + "\\" + name;
}

bool canPlaceFileAt(const FolderHandle& folder, const std::string& name) {
    const DWORD attributes = GetFileAttributesA(pathInside(folder, name).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    // A name or path past the system's limits; anything else is for the creation and the commit
    // to report.
    const DWORD error = GetLastError();
    return error != ERROR_FILENAME_EXCED_RANGE && error != ERROR_INVALID_NAME;
}

std::string hostIdentity() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) name[0] = '\0';
    return name;
}

void removeLeftoverTemporaryFiles(const FolderHandle& folder) {
    // Best effort throughout: a leftover that stays is no failure of this run. The pattern only
    // narrows the listing; each name is then checked for the exact form.
    WIN32_FIND_DATAA found;
    const FindHandle find{FindFirstFileA(pathInside(folder, ".zem-*.tmp").c_str(), &found)};
    if (find.handle == INVALID_HANDLE_VALUE) return;
    std::vector<std::string> names;
    do {
        // Never a folder or a link (or any other reparse point).
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
            continue;
        }
        if (leftoverProcessId(found.cFileName) != 0) names.push_back(found.cFileName);
    } while (FindNextFileA(find.handle, &found));
    for (const std::string& name : names) {
        if (processIsGone(leftoverProcessId(name))) DeleteFileA(pathInside(folder, name).c_str());
    }
}

int lastSystemError() { return static_cast<int>(GetLastError()); }

std::string systemErrorText(int code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message =
        length && text ? std::string(text, length) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

TemporaryFile::~TemporaryFile() {
    // Reached with the file still here only on the way out of a failure: nothing more to report.
    if (native != -1) CloseHandle(handleOf(*this));
    if (folder && !name.empty()) DeleteFileA(pathInside(*folder, name).c_str());
}

bool createTemporaryFile(TemporaryFile& file, const FolderHandle& folder) {
    file.folder = &folder;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = freshTemporaryName();
        const HANDLE handle =
            CreateFileA(pathInside(folder, candidate).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file.native = reinterpret_cast<intptr_t>(handle);
            file.name = candidate;
            // Without the mark the file is still removed by the destructor; the mark only adds
            // removal when the process dies without unwinding.
            file.deleteOnClose = setDeleteOnClose(handle, true);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool writeWhole(intptr_t file, const void* data, size_t size) {
    return writeAll(reinterpret_cast<HANDLE>(file), data, size);
}

void writeAtomicFile(AtomicFile& file, const void* data, size_t size) {
    if (!writeAll(handleOf(file.temp), data, size)) {
        failAtomicFile(file, FileStep::Write, lastSystemError());
    }
}

std::string commitAtomicFile(AtomicFile& file, CommitOptions options) {
    TemporaryFile& temp = file.temp;
    const HANDLE handle = handleOf(temp);
    if ((options.durable || options.dataFirst) && !FlushFileBuffers(handle)) {
        failAtomicFile(file, FileStep::Write, lastSystemError());
    }
    if (temp.deleteOnClose) {
        if (!setDeleteOnClose(handle, false))
            failAtomicFile(file, FileStep::Write, lastSystemError());
        temp.deleteOnClose = false;
    }
    temp.native = -1;
    if (!CloseHandle(handle)) failAtomicFile(file, FileStep::Write, lastSystemError());
    // The move is the last step: nothing follows it that could fail. (Its write-through flag
    // only matters for a move between volumes, which this never is.)
    const DWORD flags = (options.replace ? MOVEFILE_REPLACE_EXISTING : 0) |
                        (options.durable ? MOVEFILE_WRITE_THROUGH : 0);
    const FolderHandle& folder = *temp.folder;
    if (!MoveFileExA(pathInside(folder, temp.name).c_str(), pathInside(folder, file.name).c_str(),
                     flags)) {
        const DWORD code = GetLastError();
        const bool taken = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
        failAtomicFile(file, !options.replace && taken ? FileStep::Exists : FileStep::Commit,
                       static_cast<int>(code));
    }
    temp.name.clear();
    return "";
}

void installSignalHandling() {
    // An interrupt at the console ends the process on the spot, and a process that ends without
    // unwinding loses its temporary files through their delete-on-close mark: nothing to install.
}
