// Windows atomic files: a new file created exclusively under a fresh temporary name in the
// target's folder and marked for deletion on close, so that it vanishes with its handle however
// the process ends (even when it is killed). The commit lifts the mark and renames the open file
// to its name, which refuses an existing name unless replacing was asked for, then closes it.
// A process killed between lifting the mark and the rename, or a system crash, leaves the file: a
// later run removes it (removeLeftoverTemporaryFiles). The folder is held open, and the file is
// created, renamed and looked for relative to it, as on Linux: a link put in the folder's place
// meanwhile can't redirect them.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <vector>

#include "common/wide_path_win32.h"
#include "platform/atomic_file.h"

namespace {

constexpr DWORD kMaxWrite = 1u << 30;

HANDLE handleOf(const TemporaryFile& file) { return nativeHandle(file.native); }

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// A fresh temporary name; uniqueness comes from CREATE_NEW at the caller.
std::string freshTemporaryName() {
    static std::atomic<uint32_t> counter{0};
    return temporaryFileName(GetCurrentProcessId(), counter++);
}

// Whether the process is gone: no process has the id, or the one that has it has ended (its
// object lingers while a handle to it is open, and its id isn't reused until then).
bool processIsGone(DWORD pid) {
    const UniqueHandle process = ownHandle(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process.valid()) return GetLastError() == ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(nativeHandle(process), 0) == WAIT_OBJECT_0;
}

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

HANDLE folderHandleOf(const FolderHandle& folder) { return nativeHandle(folder.native); }

void openFolderOf(const std::string& filePath, FolderHandle& folder, std::string& name) {
    // The temporary file must be on the target's volume, in its folder. A root keeps its
    // separator ("C:\\"), and a drive-relative path ("C:pack.zem") is in that drive's current
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
    // Through any link: the user named the folder.
    const HANDLE handle = CreateFileW(longPath(folder.path).c_str(),
                                      FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) failSystemCall("open folder", folder.path);
    folder.native = ownHandle(handle);
}

std::string pathInside(const FolderHandle& folder, const std::string& name) {
    if (!folder.path.empty() && isSeparator(folder.path.back())) return folder.path + name;
    return folder.path + "\\" + name;
}

// The longest name NTFS and FAT take, in UTF-16 units.
constexpr size_t kMaxNameLength = 255;

bool canPlaceFileAt(const FolderHandle& folder, const std::string& name) {
    const std::wstring wide = wideText(name);
    // Said here, since a relative open of a longer name may just find nothing there.
    if (wide.size() > kMaxNameLength) return false;
    const UniqueHandle existing =
        ownHandle(openInFolder(folderHandleOf(folder), wide, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                               FILE_OPEN_REPARSE_POINT));
    if (existing.valid()) {
        BY_HANDLE_FILE_INFORMATION info;
        return GetFileInformationByHandle(nativeHandle(existing), &info) &&
               !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    // A name past the system's limits; anything else is for the creation and the commit to
    // report.
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
    // narrows the listing; each name is then checked for the exact form, and removed relative to
    // the open folder (whatever the path leads to by then).
    std::wstring pattern = longPath(folder.path + "\\");
    if (pattern.back() != L'\\') pattern.push_back(L'\\');
    pattern += L".zem-*.tmp";
    WIN32_FIND_DATAW found;
    const UniqueSearch find = ownSearch(FindFirstFileW(pattern.c_str(), &found));
    if (!find.valid()) return;
    std::vector<std::string> names;
    do {
        // Never a folder or a link (or any other reparse point).
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
            continue;
        }
        const std::string name = narrowText(found.cFileName, wcslen(found.cFileName));
        if (leftoverProcessId(name) != 0) names.push_back(name);
    } while (FindNextFileW(nativeHandle(find), &found));
    for (const std::string& name : names) {
        if (!processIsGone(leftoverProcessId(name))) continue;
        // Deleted when this handle closes; a folder or a link by now is not opened.
        const UniqueHandle leftover = ownHandle(
            openInFolder(folderHandleOf(folder), wideText(name), DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE));
    }
}

TemporaryFile::~TemporaryFile() {
    // Reached with the file still open only on the way out of a failure: it goes with its handle
    // (marked again if the commit had lifted the mark), and there is nothing more to report.
    if (!native.valid()) return;
    if (!deleteOnClose) setDeleteOnClose(handleOf(*this), true);
    native.reset();
}

void createTemporaryFile(TemporaryFile& file, const FolderHandle& folder) {
    file.folder = &folder;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = freshTemporaryName();
        const HANDLE handle =
            openInFolder(folderHandleOf(folder), wideText(candidate), GENERIC_WRITE | DELETE, 0,
                         FILE_CREATE, FILE_NON_DIRECTORY_FILE);
        if (handle) {
            file.native = ownHandle(handle);
            file.name = candidate;
            // Without the mark the file is still removed by the destructor; the mark only adds
            // removal when the process dies without unwinding.
            file.deleteOnClose = setDeleteOnClose(handle, true);
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            throw FileStepFailure(FileStep::Create, folder.path, static_cast<int>(error));
        }
    }
    throw FileStepFailure(FileStep::Create, folder.path, ERROR_FILE_EXISTS);
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
    // The rename is the last step that can fail: a failure leaves the name as it was, and the
    // file goes with its handle.
    if (!renameInFolder(handle, folderHandleOf(*temp.folder), wideText(file.name),
                        options.replace)) {
        const DWORD code = GetLastError();
        const bool taken = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
        failAtomicFile(file, !options.replace && taken ? FileStep::Exists : FileStep::Commit,
                       static_cast<int>(code));
    }
    temp.name.clear();
    if (!temp.native.close()) {
        return commitWarning(file, "closing it failed", lastSystemError(), "");
    }
    return "";
}

void installSignalHandling() {
    // An interrupt at the console ends the process on the spot, and a process that ends without
    // unwinding loses its temporary files through their delete-on-close mark: nothing to install.
}
