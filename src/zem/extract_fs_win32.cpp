// Windows extraction through the ANSI Win32 calls. Folders are checked for reparse points
// (symbolic links and junctions) before each use; files are written as atomic files, which refuse
// an existing name at their commit unless replacing was asked for.

#include <windows.h>

#include <string>

#include "archive/fatal_error.h"
#include "zem/extract_fs.h"

namespace {

[[noreturn]] void fail(const std::string& operation, const std::string& path) {
    const int code = lastSystemError();
    fatalError("cannot " + operation + " \"" + path + "\": " + systemErrorText(code));
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
    folder.path = pathInside(parent, name);
    if (!CreateDirectoryA(folder.path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail("create folder", folder.path);
    }
    switch (pathKind(folder.path)) {
        case PathKind::Folder: return folder;
        case PathKind::Link: fatalError(linkRefusalText(folder.path));
        default: fatalError("\"" + folder.path + "\" is not a folder");
    }
}

void setFileTime(AtomicFile& file, int64_t utcSeconds) {
    const FILETIME ft = fileTimeFromUnix(utcSeconds);
    if (!SetFileTime(reinterpret_cast<HANDLE>(file.temp.native), nullptr, nullptr, &ft)) {
        fail("set the time of", pathInside(*file.temp.folder, file.name));
    }
}
