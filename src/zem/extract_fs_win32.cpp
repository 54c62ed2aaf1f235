// Windows extraction through the ANSI Win32 calls. Folders are checked for reparse points
// (symbolic links and junctions) before each use; files are written under a temporary name with
// CREATE_NEW and moved to their name with MoveFileExA, which refuses an existing name unless
// replacing was asked for.

#include <windows.h>

#include <atomic>
#include <string>

#include "archive/fatal_error.h"
#include "zem/extract_fs.h"

namespace {

std::string lastErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

[[noreturn]] void fail(const std::string& operation, const std::string& path) {
    const DWORD code = GetLastError();
    fatalError("cannot " + operation + " \"" + path + "\": " + lastErrorText(code));
}

std::string inside(const FolderHandle& folder, const std::string& name) {
    return folder.path + "\\" + name;
}

HANDLE handleOf(const NewFile& file) { return reinterpret_cast<HANDLE>(file.native); }

std::string temporaryName() {
    static std::atomic<unsigned> counter{0};
    return ".zem-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".tmp";
}

// Seconds since 1970 (UTC) as a FILETIME: 100 ns ticks since 1601.
FILETIME fileTimeFromUnix(int64_t seconds) {
    const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

bool isMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

}  // namespace

NameRules platformNameRules() { return NameRules::Windows; }

PathKind pathKind(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (isMissing(GetLastError())) return PathKind::Missing;
        fail("look at", path);
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
    return PathKind::File;
}

// Windows works on paths: a folder handle is its path, nothing is held open.
FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : path(std::move(other.path)), native(other.native) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    path = std::move(other.path);
    native = other.native;
    return *this;
}

FolderHandle::~FolderHandle() = default;

FolderHandle openDestination(const std::string& path) {
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail("create folder", path);
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) fail("open folder", path);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) fatalError("\"" + path + "\" is not a folder");
    FolderHandle folder;
    folder.path = path;
    return folder;
}

FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name) {
    FolderHandle folder;
    folder.path = inside(parent, name);
    if (!CreateDirectoryA(folder.path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail("create folder", folder.path);
    }
    switch (pathKind(folder.path)) {
        case PathKind::Folder:
            return folder;
        case PathKind::Link:
            fatalError(linkRefusalText(folder.path));
        default:
            fatalError("\"" + folder.path + "\" is not a folder");
    }
}

NewFile::~NewFile() {
    // Only reached without a commit, on the way out of a failure: nothing more to report.
    if (native != -1) CloseHandle(handleOf(*this));
    if (folder && !tempName.empty()) DeleteFileA(inside(*folder, tempName).c_str());
}

void createNewFile(const FolderHandle& folder, const std::string& name, NewFile& file) {
    file.folder = &folder;
    file.name = name;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = temporaryName();
        const HANDLE handle = CreateFileA(inside(folder, candidate).c_str(), GENERIC_WRITE, 0,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file.native = reinterpret_cast<intptr_t>(handle);
            file.tempName = candidate;
            return;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    fail("create a file in", folder.path);
}

void writeNewFile(NewFile& file, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handleOf(file), p, chunk, &written, nullptr) || written == 0) {
            fail("write", inside(*file.folder, file.name));
        }
        p += written;
        size -= written;
    }
}

void commitNewFile(NewFile& file, bool hasTime, int64_t utcSeconds, bool replace) {
    const std::string target = inside(*file.folder, file.name);
    if (hasTime) {
        const FILETIME ft = fileTimeFromUnix(utcSeconds);
        if (!SetFileTime(handleOf(file), nullptr, nullptr, &ft)) fail("set the time of", target);
    }
    const HANDLE handle = handleOf(file);
    file.native = -1;
    if (!CloseHandle(handle)) fail("write", target);
    const std::string temp = inside(*file.folder, file.tempName);
    if (!MoveFileExA(temp.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
        const DWORD code = GetLastError();
        if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) {
            fatalError(alreadyExistsText(target));
        }
        SetLastError(code);
        fail("create", target);
    }
    file.tempName.clear();
}
