#include "scan/scan.h"

#include <utility>
#include <vector>

#include "scan/local_time.h"

void scanFolder(FileSystem& fs, std::string folderPath, FileList& fileList, int depth) {
    if (depth > kMaxScanDepth) return;

    std::vector<FolderItem> items;
    if (!fs.listFolder(folderPath, items)) return;

    for (FolderItem& item : items) {
        if (item.name == "." || item.name == "..") continue;
        std::string path = folderPath + nativeSeparator() + item.name;
        switch (item.kind) {
            case FolderItem::Kind::Folder:
                scanFolder(fs, std::move(path), fileList, depth + 1);
                break;
            case FolderItem::Kind::File: {
                FileEntry entry;
                entry.path = std::move(path);
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
}
