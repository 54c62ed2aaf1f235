// Windows listing: FindFirstFileExW / FindNextFileW over "<folder>\*", by the long ("\\?\")
// path. Each name is turned into the system code page's bytes exactly, never by a look-alike; a
// name with a character the code page lacks is marked, and spelled so that the calls still reach
// it (common/wide_path_win32.h). The last-write time goes through FileTimeToLocalFileTime, which
// shifts it by the UTC offset in force now (whatever the file's own date), and is then counted
// as local wall-clock seconds with pure calendar arithmetic, so no daylight-saving rule of the
// runtime can move it again. A folder's identity is its volume serial number and file index, read
// from a handle to the folder (opened through any junction or folder link on the way).

#include <windows.h>

#include <cwchar>
#include <new>
#include <utility>

#include "common/wide_path_win32.h"
#include "format/local_time.h"
#include "platform/atomic_file.h"
#include "platform/file_system.h"

namespace {

// The identity of the folder at the path; unknown when it can't be opened to read its attributes.
// (On ReFS the 64-bit index may not tell two folders apart; the depth limit still ends a loop
// that it misses.)
FolderId folderIdOf(const std::string& path) {
    FolderId id;
    // Backup semantics open a folder; without FILE_FLAG_OPEN_REPARSE_POINT the open follows a
    // junction or link to the folder it leads to.
    const UniqueHandle folder =
        ownHandle(CreateFileW(longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.valid()) return id;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(nativeHandle(folder), &info)) return id;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.known = true;
    return id;
}

// False when the file has no usable time: zero, or a conversion the system refuses.
bool localSecondsOf(const FILETIME& written, int64_t& seconds) {
    if (written.dwLowDateTime == 0 && written.dwHighDateTime == 0) return false;
    FILETIME local;
    if (!FileTimeToLocalFileTime(&written, &local)) return false;
    SYSTEMTIME calendar;
    if (!FileTimeToSystemTime(&local, &calendar)) return false;
    seconds = secondsFromCalendar({calendar.wYear, calendar.wMonth, calendar.wDay, calendar.wHour,
                                   calendar.wMinute, calendar.wSecond});
    return true;
}

FolderItem itemFrom(const WIN32_FIND_DATAW& data) {
    FolderItem item;
    bool faithful = true;
    item.name = narrowText(data.cFileName, wcslen(data.cFileName), &faithful);
    item.nameUnstorable = !faithful;
    // Any entry with the directory attribute is a folder, whatever else it is (a junction, a
    // folder link).
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        item.kind = FolderItem::Kind::Folder;
        return item;
    }
    item.kind = FolderItem::Kind::File;
    // The whole size, so that the writer can refuse a file of 4 GiB or more instead of storing
    // only its low 32 bits.
    item.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    item.hasTime = localSecondsOf(data.ftLastWriteTime, item.localSeconds);
    return item;
}

// What lists every entry of the folder. With the separator: "C:" alone is the drive's root here,
// as its files' paths "C:\x" say.
std::wstring searchPattern(const std::string& folderPath) {
    std::wstring pattern = longPath(folderPath + "\\");
    if (pattern.back() != L'\\') pattern.push_back(L'\\');
    pattern.push_back(L'*');
    return pattern;
}

struct Win32FileSystem : FileSystem {
    bool listFolder(const std::string& folderPath, FolderId& id,
                    std::vector<FolderItem>& items) override {
        const std::wstring pattern = searchPattern(folderPath);
        WIN32_FIND_DATAW data;
        const UniqueSearch find =
            ownSearch(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
        if (!find.valid()) {
            // Out of memory is no folder that can't be listed, to pass over in silence: the run
            // ends.
            const DWORD error = GetLastError();
            if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY) {
                throw std::bad_alloc();
            }
            return false;
        }
        id = folderIdOf(folderPath + "\\");
        do {
            FolderItem item = itemFrom(data);
            // Only a reparse point can lead back up; an ordinary folder is always a new one.
            if (item.kind == FolderItem::Kind::Folder &&
                (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                item.id = folderIdOf(folderPath + "\\" + item.name);
            }
            items.push_back(std::move(item));
        } while (FindNextFileW(nativeHandle(find), &data));
        // FindNextFileW ends with ERROR_NO_MORE_FILES, or with another error part way: what was
        // listed stands either way.
        return true;
    }

    std::string listFailure(const std::string& folderPath) override {
        const std::wstring pattern = searchPattern(folderPath);
        WIN32_FIND_DATAW data;
        const UniqueSearch find = ownSearch(FindFirstFileW(pattern.c_str(), &data));
        if (find.valid()) return "";
        return systemErrorText(static_cast<int>(GetLastError()));
    }

    bool exists(const std::string& path) override {
        if (GetFileAttributesW(longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        // Only "not there" counts as absent. Anything else (a file locked by another process, no
        // right to query it) means something is at the path, and replacing it must be asked.
        switch (GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_NAME:
            case ERROR_INVALID_DRIVE:
            case ERROR_BAD_NETPATH:
            case ERROR_BAD_NET_NAME:
            case ERROR_NOT_READY: return false;
            default: return true;
        }
    }
};

}  // namespace

char nativeSeparator() { return '\\'; }

// The listing gives files no identity on Windows (FindFirstFile has none to give): an archive
// inside the folder is told by its name alone.
FolderId fileIdentity(const std::string&, bool) { return FolderId(); }

// The shift FileTimeToLocalFileTime applies now: the very one the listing above turns file times
// into stored calendar times with, so that extracting undoes packing exactly. (The C runtime's
// localtime reads TZ in its own POSIX-style syntax, and a zone name there, "Europe/Berlin",
// comes out as UTC.)
int64_t utcOffsetNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    FILETIME local;
    if (!FileTimeToLocalFileTime(&now, &local)) return 0;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                    t.dwLowDateTime);
    };
    return (ticks(local) - ticks(now)) / 10000000;
}

FileSystem& systemFileSystem() {
    static Win32FileSystem fs;
    return fs;
}

std::unique_ptr<FileSystem> newSystemFileSystem() { return std::make_unique<Win32FileSystem>(); }
