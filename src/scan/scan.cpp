#include "scan/scan.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "archive/format.h"
#include "scan/name_pattern.h"

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

// The time stored for a listed file, before the year check: the rule applied to the UTC instant
// behind the listing's local seconds. False for a file that keeps no time.
bool storedSeconds(const TimeRule& rule, const FolderItem& item, int64_t& seconds) {
    if (rule.kind == TimeRule::Kind::Replace) {
        seconds = rule.instant + rule.storedOffset;
        return true;
    }
    if (!item.hasTime) return false;
    int64_t utc = item.localSeconds - rule.listedOffset;
    if (rule.kind == TimeRule::Kind::Clamp && utc > rule.instant) utc = rule.instant;
    seconds = utc + rule.storedOffset;
    return true;
}

bool excluded(const ScanOptions& options, const std::string& name, const std::string& storedName) {
    // The stored name is the path below the root: its backslashes match a pattern's slashes.
    return std::any_of(
        options.excludes.begin(), options.excludes.end(), [&](const std::string& pattern) {
            return matchesPattern(pattern, name) || matchesPattern(pattern, storedName);
        });
}

// The scan's state, shared by every level.
struct ScanRun {
    FileSystem& fs;
    const ScanOptions& options;
    std::vector<FolderId> way;  // the identities of the folders above the one listed, root first
    FileList& fileList;
    std::set<std::string> selectionWay;  // foldersOnTheWay of the selection, when there is one
    // The folders below the depth limit already listed, by identity: there, links that make no
    // loop could otherwise multiply the work without bound.
    std::set<std::pair<uint64_t, uint64_t>> deepListed;
};

// The folders that the selection's names lie in, as stored names.
std::set<std::string> foldersOnTheWay(const PathSelection& selection) {
    std::set<std::string> folders;
    for (const std::string& name : selection.names) {
        for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
            folders.insert(name.substr(0, at));
        }
    }
    return folders;
}

// Whether the folder whose stored name is `prefix` (followed by a backslash, empty for the root)
// is selected whole: it, or a folder it lies in, is one of the selected names.
bool selectedWhole(const PathSelection& selection, const std::string& prefix) {
    if (selection.names.count("")) return true;
    for (size_t at = prefix.find('\\'); at != std::string::npos; at = prefix.find('\\', at + 1)) {
        if (selection.names.count(prefix.substr(0, at))) return true;
    }
    return false;
}

// True when `id` is the identity of one of the folders on the way from the root down to here.
bool onTheWay(const std::vector<FolderId>& way, const FolderId& id) {
    return std::any_of(way.begin(), way.end(),
                       [&](const FolderId& above) { return sameFolder(above, id); });
}

// Lists one folder into fileList and descends into its subfolders. storedPrefix is the folder's
// stored name followed by a backslash, empty for the root; backslashAbove and unstorableAbove tell
// whether a folder on the way already holds a backslash in its name, or a name that can't be
// stored as it is.
//
// A folder that is one of those above it is a loop: listing it again would only repeat what is
// being listed, once more for every link into it, each level multiplying the copies up to the
// depth limit. It is passed over, as find -L and tar -h do. Links to any other folder are
// followed.
bool scanInto(ScanRun& run, const std::string& folderPath, const std::string& storedPrefix,
              bool backslashAbove, bool unstorableAbove, int depth) {
    const bool tooDeep = depth > kMaxScanDepth;
    if (tooDeep && !run.options.deep) return false;

    FolderId id;
    std::vector<FolderItem> items;
    if (!run.fs.listFolder(folderPath, id, items)) {
        // Below the depth limit only a count is kept, and nothing would be stored anyway.
        if (depth > 0 && !tooDeep && run.options.unlisted) run.options.unlisted(folderPath);
        return false;
    }
    std::vector<FolderId>& way = run.way;
    // What the entry couldn't tell (a plain folder that is a bind mount of one above it), the
    // folder's own identity does.
    if (onTheWay(way, id)) return true;
    if (tooDeep && id.known && !run.deepListed.insert({id.volume, id.index}).second) return true;
    way.push_back(id);
    // Sorted, the entries are visited through pointers in name order, which moves far less than
    // sorting the entries themselves. std::string compares as unsigned bytes: the same order on
    // every platform.
    std::vector<FolderItem*> sorted;
    if (run.options.sortByName) {
        sorted.reserve(items.size());
        for (FolderItem& item : items) sorted.push_back(&item);
        std::sort(sorted.begin(), sorted.end(),
                  [](const FolderItem* a, const FolderItem* b) { return a->name < b->name; });
    }

    PathSelection* const selection = run.options.selection;
    const bool whole = !selection || selectedWhole(*selection, storedPrefix);

    for (size_t i = 0; i < items.size(); ++i) {
        FolderItem& item = sorted.empty() ? items[i] : *sorted[i];
        if (item.name == "." || item.name == "..") continue;
        if (!whole) {
            const std::string name = storedPrefix + item.name;
            if (selection->names.count(name)) {
                selection->met.insert(name);
            } else if (item.kind != FolderItem::Kind::Folder || !run.selectionWay.count(name)) {
                continue;
            }
        }
        if (!run.options.excludes.empty() &&
            excluded(run.options, item.name, storedPrefix + item.name)) {
            continue;
        }
        if (item.kind == FolderItem::Kind::File &&
            (sameFolder(run.options.ownArchiveId, item.id) ||
             (!run.options.ownArchive.empty() &&
              run.options.ownArchive == storedPrefix + item.name))) {
            continue;
        }
        const bool holdsBackslash = backslashAbove || item.name.find('\\') != std::string::npos;
        const bool unstorable = unstorableAbove || item.nameUnstorable;
        switch (item.kind) {
            case FolderItem::Kind::Folder: {
                // A link back up is passed over without even listing it.
                if (onTheWay(way, item.id)) break;
                std::string storedName = storedPrefix;
                storedName.append(item.name).push_back('\\');
                scanInto(run, folderPath + nativeSeparator() + item.name, storedName,
                         holdsBackslash, unstorable, depth + 1);
                break;
            }
            case FolderItem::Kind::File: {
                if (tooDeep) {
                    ++run.options.deep->count;
                    if (!run.options.deep->keepFiles) break;
                }
                FileList& fileList = tooDeep ? run.options.deep->files : run.fileList;
                fileList.emplace_back();
                FileEntry& entry = fileList.back();
                entry.path.reserve(folderPath.size() + 1 + item.name.size());
                entry.path.append(folderPath).push_back(nativeSeparator());
                entry.path.append(item.name);
                entry.storedName.reserve(storedPrefix.size() + item.name.size());
                entry.storedName.append(storedPrefix).append(item.name);
                entry.nameHoldsBackslash = holdsBackslash;
                entry.nameUnstorable = unstorable;
                entry.size = item.size;
                int64_t seconds = 0;
                entry.modifiedTime = storedSeconds(run.options.time, item, seconds)
                                         ? modifiedTimeFromLocalSeconds(seconds)
                                         : kNoTime;
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

bool scanFolder(FileSystem& fs, const std::string& rootPath, FileList& fileList,
                const ScanOptions& options) {
    ScanRun run{fs, options, {}, fileList, {}, {}};
    if (options.selection) {
        if (options.selection->names.count("")) options.selection->met.insert("");
        run.selectionWay = foldersOnTheWay(*options.selection);
    }
    return scanInto(run, rootPath, "", false, false, 0);
}

std::string backslashRefusal(const FileList& fileList) {
    for (const FileEntry& entry : fileList) {
        if (entry.nameHoldsBackslash) {
            return "File name \"" + entry.path +
                   "\" holds a backslash, which a .zem file would read back as a subfolder";
        }
        if (entry.nameUnstorable) {
            return "File name \"" + entry.path +
                   "\" holds characters that the system code page lacks (shown as <U+XXXX>), "
                   "which a .zem file can't store faithfully";
        }
    }
    return "";
}
