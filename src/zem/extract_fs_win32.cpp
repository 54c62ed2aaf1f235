// Windows extraction through the ANSI Win32 calls. Folders are checked for reparse points
// (symbolic links and junctions) before each use; files are written as atomic files, which refuse
// an existing name at their commit unless replacing was asked for.

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

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

// The limits of the ANSI calls, which take no "\\?\" paths, in UTF-16 characters, as the
// calls convert the ANSI code page's bytes: a name (NTFS and FAT's long names), and a full path
// without its terminating null. CreateDirectoryA's lower limit for a folder's path (room for an
// 8.3 name) binds no sooner: every folder holds a file, whose path is longer by more than that.
constexpr size_t kMaxName = 255;
constexpr size_t kMaxPath = MAX_PATH - 1;

size_t nativeLength(const std::string& text) {
    if (text.empty()) return 0;
    const int units =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    return units > 0 ? static_cast<size_t>(units) : text.size();
}

// The full path the system makes of a relative one, which its limits apply to.
std::string fullPathOf(const std::string& path) {
    const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::string full(size, '\0');
    const DWORD length = GetFullPathNameA(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

// What is at a path, without following a final reparse point.
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

}  // namespace

NameRules platformNameRules() { return NameRules::Windows; }

std::string pathLengthProblem(const std::string& dest, const std::vector<std::string>& names) {
    FolderHandle root;
    root.path = fullPathOf(dest);
    const size_t rootLength = nativeLength(root.path);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string record =
            "record " + std::to_string(i) + ": name " + quotedName(names[i]) + " ";
        FolderHandle folder;
        folder.path = root.path;
        size_t length = rootLength;  // of the path so far, each separator included
        const std::vector<std::string> parts = splitStoredName(names[i]);
        for (size_t p = 0; p < parts.size(); ++p) {
            const size_t partLength = nativeLength(parts[p]);
            if (partLength > kMaxName) {
                return record + "has a component of " + std::to_string(partLength) +
                       " characters, longer than the " + std::to_string(kMaxName) +
                       " a name may have on Windows";
            }
            const std::string path = pathInside(folder, parts[p]);
            const size_t separator = path.size() - folder.path.size() - parts[p].size();
            folder.path = path;
            if (p + 1 < parts.size()) {
                length += separator + partLength;
                continue;
            }
            // The file is written under a temporary name beside its own first.
            const size_t needed =
                length + separator + std::max(partLength, kMaxTemporaryNameLength);
            if (needed > kMaxPath) {
                return record + "needs a path of " + std::to_string(needed) +
                       " characters to write \"" + path +
                       "\" (its temporary name beside it included), more than the " +
                       std::to_string(kMaxPath) + " Windows allows";
            }
        }
    }
    return "";
}

bool isRegularFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// Windows works on paths: a reparse point at a chosen destination is refused when it is looked
// at and again once the folder is there.
Destination findDestination(const std::string& path, bool chosen) {
    Destination dest;
    dest.path = path;
    dest.chosen = chosen;
    dest.folder.path = path;
    switch (pathKind(path)) {
        case PathKind::Missing: break;
        case PathKind::Folder: dest.open = true; break;
        case PathKind::Link:
            if (chosen) fatalError(linkRefusalText(path));
            dest.open = true;  // the user named it: a junction or link to a folder is taken
            break;
        default: fatalError("\"" + path + "\" is not a folder");
    }
    return dest;
}

const FolderHandle& openDestination(Destination& dest) {
    if (dest.open) return dest.folder;
    const std::string& path = dest.path;
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail("create folder", path);
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) fail("open folder", path);
    if (dest.chosen && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        fatalError(linkRefusalText(path));
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) fatalError("\"" + path + "\" is not a folder");
    dest.open = true;
    return dest.folder;
}

PathKind kindInside(const FolderHandle& folder, const std::string& name) {
    return pathKind(pathInside(folder, name));
}

FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name, bool create) {
    FolderHandle folder;
    folder.path = pathInside(parent, name);
    if (create && !CreateDirectoryA(folder.path.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        fail("create folder", folder.path);
    }
    switch (pathKind(folder.path)) {
        case PathKind::Folder: return folder;
        case PathKind::Link: fatalError(linkRefusalText(folder.path));
        case PathKind::Missing:
            fatalError("cannot open folder \"" + folder.path + "\": it is gone");
        default: fatalError("\"" + folder.path + "\" is not a folder");
    }
}

void setFileTime(AtomicFile& file, int64_t utcSeconds) {
    const FILETIME ft = fileTimeFromUnix(utcSeconds);
    if (!SetFileTime(reinterpret_cast<HANDLE>(file.temp.native), nullptr, nullptr, &ft)) {
        fail("set the time of", pathInside(*file.temp.folder, file.name));
    }
}

// Each file's data is flushed before its move (finishExtractedFile); a volume can be flushed
// whole only by an administrator, so the moves are left to NTFS's log.
void noteWrittenFolder(WrittenFileSystems&, const FolderHandle&) {}

std::vector<std::string> syncWrittenFileSystems(const WrittenFileSystems&) { return {}; }
