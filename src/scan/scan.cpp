#include "scan/scan.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "archive/format.h"

namespace {

// A file's time as FileEntry::modifiedTime: kNoTime unless its local year can be stored. Two
// bounds in seconds say the same as the year of a calendar conversion, at a fraction of its cost
// (every listed file passes here).
int64_t modifiedTimeFromLocalSeconds(int64_t localSeconds) {
    static const int64_t first = secondsFromCalendar({kFirstStoredYear, 1, 1, 0, 0, 0});
    static const int64_t pastLast = secondsFromCalendar({kLastStoredYear + 1, 1, 1, 0, 0, 0});
    if (localSeconds < first || localSeconds >= pastLast) return kNoTime;
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
        const bool holdsBackslash = backslashAbove || item.name.find('\\') != std::string::npos;
        switch (item.kind) {
            case FolderItem::Kind::Folder: {
                // A link back up is passed over without even listing it.
                if (onTheWay(way, item.id)) break;
                std::string storedName = storedPrefix;
                storedName.append(item.name).push_back('\\');
                scanInto(fs, folderPath + nativeSeparator() + item.name, storedName, holdsBackslash,
                         depth + 1, way, fileList);
                break;
            }
            case FolderItem::Kind::File: {
                fileList.emplace_back();
                FileEntry& entry = fileList.back();
                entry.path.reserve(folderPath.size() + 1 + item.name.size());
                entry.path.append(folderPath).push_back(nativeSeparator());
                entry.path.append(item.name);
                entry.storedName.reserve(storedPrefix.size() + item.name.size());
                entry.storedName.append(storedPrefix).append(item.name);
                entry.nameHoldsBackslash = holdsBackslash;
                entry.size = item.size;
                entry.modifiedTime =
                    item.hasTime ? modifiedTimeFromLocalSeconds(item.localSeconds) : kNoTime;
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
