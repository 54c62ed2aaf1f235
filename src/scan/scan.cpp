#include "scan/scan.h"

#include <utility>
#include <vector>

#include "archive/format.h"

namespace {

// A file's time as FileEntry::modifiedTime: kNoTime unless its local year can be stored.
int64_t modifiedTimeFromLocalSeconds(int64_t localSeconds) {
    const int64_t year = calendarFromSeconds(localSeconds).year;
    if (year < kFirstStoredYear || year > kLastStoredYear) return kNoTime;
    return localSeconds;
}

// Lists one folder into fileList and descends into its subfolders. storedPrefix is the folder's
// stored name followed by a backslash, empty for the root; backslashAbove tells whether a folder
// on the way already holds a backslash in its name.
bool scanInto(FileSystem& fs, const std::string& folderPath, const std::string& storedPrefix,
              bool backslashAbove, int depth, FileList& fileList) {
    if (depth > kMaxScanDepth) return false;

    std::vector<FolderItem> items;
    if (!fs.listFolder(folderPath, items)) return false;

    for (FolderItem& item : items) {
        if (item.name == "." || item.name == "..") continue;
        std::string path = folderPath + nativeSeparator() + item.name;
        std::string storedName = storedPrefix + item.name;
        const bool holdsBackslash = backslashAbove || item.name.find('\\') != std::string::npos;
        switch (item.kind) {
            case FolderItem::Kind::Folder:
                scanInto(fs, path, storedName + '\\', holdsBackslash, depth + 1, fileList);
                break;
            case FolderItem::Kind::File: {
                FileEntry entry;
                entry.path = std::move(path);
                entry.storedName = std::move(storedName);
                entry.nameHoldsBackslash = holdsBackslash;
                entry.size = item.size;
                entry.modifiedTime =
                    item.hasTime ? modifiedTimeFromLocalSeconds(item.localSeconds) : kNoTime;
                fileList.push_back(std::move(entry));
                break;
            }
            case FolderItem::Kind::Other:
                // Pipes, sockets, devices and dangling links hold nothing to store, and
                // opening some of them would block.
                break;
        }
    }
    return true;
}

}  // namespace

std::string rootPathFromArgument(const std::string& argument) {
    std::string root = argument;
    if (!root.empty() && (root.back() == '\\' || root.back() == nativeSeparator())) root.pop_back();
    return root;
}

bool scanFolder(FileSystem& fs, const std::string& rootPath, FileList& fileList) {
    return scanInto(fs, rootPath, "", false, 0, fileList);
}

std::string backslashRefusal(const FileList& fileList) {
    for (const FileEntry& entry : fileList) {
        if (entry.nameHoldsBackslash) {
            return "File name \"" + entry.path +
                   "\" holds a backslash, which a .zem file would read back as a subfolder";
        }
    }
    return "";
}
