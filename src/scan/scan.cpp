#include "scan/scan.h"

#include <algorithm>
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

// True when `id` is the identity of one of the folders on the way from the root down to here.
bool onTheWay(const std::vector<FolderId>& way, const FolderId& id) {
    return std::any_of(way.begin(), way.end(),
                       [&](const FolderId& above) { return sameFolder(above, id); });
}

// Lists one folder into fileList and descends into its subfolders. storedPrefix is the folder's
// stored name followed by a backslash, empty for the root; backslashAbove tells whether a folder
// on the way already holds a backslash in its name; `way` holds the identities of the folders
// above this one, the root first.
//
// A folder that is one of those above it is a loop: listing it again would only repeat what is
// being listed, once more for every link into it, each level multiplying the copies up to the
// depth limit. It is passed over, as find -L and tar -h do. Links to any other folder are
// followed.
bool scanInto(FileSystem& fs, const std::string& folderPath, const std::string& storedPrefix,
              bool backslashAbove, int depth, std::vector<FolderId>& way, FileList& fileList) {
    if (depth > kMaxScanDepth) return false;

    FolderId id;
    std::vector<FolderItem> items;
    if (!fs.listFolder(folderPath, id, items)) return false;
    // What the entry couldn't tell (a plain folder that is a bind mount of one above it), the
    // folder's own identity does.
    if (onTheWay(way, id)) return true;
    way.push_back(id);

    for (FolderItem& item : items) {
        if (item.name == "." || item.name == "..") continue;
        std::string path = folderPath + nativeSeparator() + item.name;
        std::string storedName = storedPrefix + item.name;
        const bool holdsBackslash = backslashAbove || item.name.find('\\') != std::string::npos;
        switch (item.kind) {
            case FolderItem::Kind::Folder:
                // A link back up is passed over without even listing it.
                if (onTheWay(way, item.id)) break;
                scanInto(fs, path, storedName + '\\', holdsBackslash, depth + 1, way, fileList);
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
    way.pop_back();
    return true;
}

}  // namespace

std::string rootPathFromArgument(const std::string& argument) {
    std::string root = argument;
    if (!root.empty() && root.back() == nativeSeparator()) root.pop_back();
    return root;
}

bool scanFolder(FileSystem& fs, const std::string& rootPath, FileList& fileList) {
    std::vector<FolderId> way;
    return scanInto(fs, rootPath, "", false, 0, way, fileList);
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
