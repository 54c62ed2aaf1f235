// Windows extraction through the wide Win32 calls and ntdll's NtCreateFile. Each folder on a
// file's way is opened once, relative to the folder above it and without following a reparse
// point (a symbolic link, a junction), which is refused; the file is created and renamed relative
// to its open folder (by the atomic file). A folder swapped for a link meanwhile is never written
// through, as on Linux.

#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "common/fatal_error.h"
#include "common/wide_path_win32.h"
#include "platform/extract_fs.h"

namespace {

// Seconds since 1970 (UTC) as a FILETIME: 100 ns ticks since 1601.
FILETIME fileTimeFromUnix(int64_t seconds) {
    const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

bool isMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// A name's limit on NTFS and FAT (their long names), in UTF-16 units.
constexpr size_t kMaxName = 255;

HANDLE handleOf(const FolderHandle& folder) { return nativeHandle(folder.native); }

// The attributes of an open file or folder; fails with the path.
DWORD attributesOf(HANDLE handle, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) failSystemCall("look at", path);
    return info.dwFileAttributes;
}

bool decodeCodePage(const std::string& bytes, std::u16string& text) {
    const int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0) return false;
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                        &wide[0], size);
    text.assign(wide.begin(), wide.end());
    return true;
}

}  // namespace

NameRules platformNameRules() { return NameRules::Windows; }

const CodePage& platformCodePage() {
    static const CodePage system{
        [](unsigned char lead) { return IsDBCSLeadByteEx(CP_ACP, lead) != 0; }, decodeCodePage,
        [](char16_t unit) {
            return static_cast<char16_t>(upperCaseUnit(static_cast<wchar_t>(unit)));
        }};
    return system;
}

void checkPathLengths(const std::string&, const std::vector<std::string>& names) {
    for (size_t i = 0; i < names.size(); ++i) {
        for (const std::string& part : splitStoredName(names[i], platformCodePage())) {
            const size_t length = wideText(part).size();
            if (length > kMaxName) {
                throw InputFault("record " + std::to_string(i) + ": name " + quotedName(names[i]) +
                                 " has a component of " + std::to_string(length) +
                                 " characters, longer than the " + std::to_string(kMaxName) +
                                 " a name may have on Windows");
            }
        }
    }
}

bool isRegularFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// The access a folder is held open with: enough to open, create and rename inside it.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

namespace {

// Opens a destination the user named, through a link there as the user meant; false when
// nothing is there.
bool openNamed(Destination& dest) {
    const HANDLE handle =
        CreateFileW(longPath(dest.path).c_str(), kFolderAccess | SYNCHRONIZE, kShareAll, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (isMissing(GetLastError())) return false;
        failSystemCall("open folder", dest.path);
    }
    dest.folder.native = ownHandle(handle);
    if (!(attributesOf(handle, dest.path) & FILE_ATTRIBUTE_DIRECTORY)) {
        fatalError("\"" + dest.path + "\" is not a folder");
    }
    dest.open = true;
    return true;
}

}  // namespace

// A destination the program chose is looked at and opened relative to its parent folder, as
// every folder below it is (openSubfolder): a reparse point there is refused, never followed.
Destination findDestination(const std::string& path, bool chosen) {
    Destination dest;
    dest.path = path;
    dest.chosen = chosen;
    dest.folder.path = path;
    if (!chosen) {
        openNamed(dest);
        return dest;
    }
    openFolderOf(path, dest.parent, dest.name);
    switch (kindInside(dest.parent, dest.name)) {
        case PathKind::Missing: break;
        case PathKind::Folder:
            dest.folder = openSubfolder(dest.parent, dest.name, /*create=*/false);
            dest.folder.path = path;
            dest.open = true;
            break;
        case PathKind::Link: fatalError(linkRefusalText(path));
        default: fatalError("\"" + path + "\" is not a folder");
    }
    return dest;
}

const FolderHandle& openDestination(Destination& dest) {
    if (dest.open) return dest.folder;
    // A folder made meanwhile is taken as it is; what else appeared, the open refuses.
    if (dest.chosen) {
        dest.folder = openSubfolder(dest.parent, dest.name, /*create=*/true);
        dest.folder.path = dest.path;
        dest.open = true;
    } else {
        if (!CreateDirectoryW(longPath(dest.path).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            failSystemCall("create folder", dest.path);
        }
        if (!openNamed(dest)) failSystemCall("open folder", dest.path);
    }
    return dest.folder;
}

PathKind kindInside(const FolderHandle& folder, const std::string& name) {
    DWORD attributes = 0;
    uint64_t id = 0;
    if (!folderEntry(handleOf(folder), wideText(name), attributes, id)) {
        const DWORD error = GetLastError();
        if (isMissing(error) || error == ERROR_NO_MORE_FILES) return PathKind::Missing;
        failSystemCall("look at", pathInside(folder, name));
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
    return PathKind::File;
}

FolderHandle openSubfolder(const FolderHandle& parent, const std::string& name, bool create) {
    FolderHandle folder;
    folder.path = pathInside(parent, name);
    // Opened or made in one step, the reparse point itself rather than where it leads.
    const HANDLE handle =
        openInFolder(handleOf(parent), wideText(name), kFolderAccess, kShareAll,
                     create ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (!handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_DIRECTORY) fatalError("\"" + folder.path + "\" is not a folder");
        if (!create && isMissing(error)) {
            fatalError("cannot open folder \"" + folder.path + "\": it is gone");
        }
        failSystemCall("open folder", folder.path);
    }
    folder.native = ownHandle(handle);
    BY_HANDLE_FILE_INFORMATION opened;
    if (!GetFileInformationByHandle(handle, &opened)) failSystemCall("look at", folder.path);
    if (opened.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        fatalError(linkRefusalText(folder.path));
    }
    if (!(opened.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fatalError("\"" + folder.path + "\" is not a folder");
    }
    // Where the open can't help following a link (Wine opens what a Unix symbolic link leads to
    // whatever the flag says), the parent's own entry tells: it must be no reparse point, and be
    // the folder that was opened. A link swapped in or out between the two steps fails one or
    // the other.
    DWORD entryAttributes = 0;
    uint64_t entryId = 0;
    if (!folderEntry(handleOf(parent), wideText(name), entryAttributes, entryId)) {
        failSystemCall("look at", folder.path);
    }
    const uint64_t openedId =
        (static_cast<uint64_t>(opened.nFileIndexHigh) << 32) | opened.nFileIndexLow;
    if ((entryAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || entryId != openedId) {
        fatalError(linkRefusalText(folder.path));
    }
    return folder;
}

void setFileTime(AtomicFile& file, int64_t utcSeconds) {
    const FILETIME ft = fileTimeFromUnix(utcSeconds);
    if (!SetFileTime(nativeHandle(file.temp.native), nullptr, nullptr, &ft)) {
        failSystemCall("set the time of", pathInside(*file.temp.folder, file.name));
    }
}

// A process may hold thousands of handles.
bool roomToStartFilesAhead() { return true; }

// Each file's data is flushed before its move (finishExtractedFile); a volume can be flushed
// whole only by an administrator, so the moves are left to NTFS's log.
void noteWrittenFolder(WrittenFileSystems&, const FolderHandle&) {}

size_t descriptorsForDataSync() { return 1; }

bool syncWrittenData(const WrittenFileSystems&) { return false; }

std::vector<std::string> syncWrittenFileSystems(const WrittenFileSystems&) { return {}; }
