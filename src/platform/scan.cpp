#include "platform/scan.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "common/fatal_error.h"
#include "format/format.h"
#include "platform/messages.h"
#include "platform/name_pattern.h"

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

// While the scan runs, FileEntry::modifiedTime holds the listing's local seconds, this for a file
// the listing had no time for, or kNoLongerAFile; the stored times are made at the end, when every
// file's stat is in.
constexpr int64_t kListedWithoutTime = INT64_MIN + 1;

// The time stored for a listed file (its local seconds, or kListedWithoutTime): the rule applied
// to the UTC instant behind them, then the year check.
int64_t storedTime(const TimeRule& rule, int64_t listed) {
    int64_t seconds = 0;
    if (rule.kind == TimeRule::Kind::Replace) {
        seconds = rule.instant + rule.storedOffset;
    } else if (listed == kListedWithoutTime) {
        return kNoTime;
    } else {
        int64_t utc = listed - rule.listedOffset;
        if (rule.kind == TimeRule::Kind::Clamp && utc > rule.instant) utc = rule.instant;
        seconds = utc + rule.storedOffset;
    }
    return modifiedTimeFromLocalSeconds(seconds);
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

// Lists one folder into fileList and descends into its subfolders. relativePrefix is the
// folder's path below the root followed by the platform's separator, storedPrefix the same with
// backslashes (what exclusions and the selection match); both empty for the root.
// marksAbove holds the FileList marks of the folders on the way (a name that can't be stored as it
// is).
//
// A folder that is one of those above it is a loop: listing it again would only repeat what is
// being listed, once more for every link into it, each level multiplying the copies up to the
// depth limit. It is passed over, as find -L and tar -h do. Links to any other folder are
// followed.
bool scanInto(ScanRun& run, const std::string& folderPath, const std::string& relativePrefix,
              const std::string& storedPrefix, uint8_t marksAbove, int depth) {
    const bool tooDeep = depth > kMaxScanDepth;
    if (tooDeep && !run.options.deep) return false;

    FolderId id;
    std::vector<FolderItem> items;
    if (!run.fs.listFolder(folderPath, id, items)) {
        // Below the depth limit only a count is kept, and nothing would be stored anyway.
        if (depth > 0 && !tooDeep && run.options.unlisted) run.options.unlisted(folderPath);
        return false;
    }
    struct Leave {
        FileSystem& fs;
        ~Leave() { fs.leaveFolder(); }
    } leave{run.fs};
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
    const bool namesMatter = !run.options.excludes.empty() || !run.options.ownArchive.empty();
    std::string relative = relativePrefix;
    std::string stored = storedPrefix;

    for (size_t i = 0; i < items.size(); ++i) {
        FolderItem& item = sorted.empty() ? items[i] : *sorted[i];
        if (item.name == "." || item.name == "..") continue;
        if (namesMatter || !whole) {
            stored.resize(storedPrefix.size());
            stored.append(item.name);
        }
        if (!whole) {
            if (selection->names.count(stored)) {
                selection->met.insert(stored);
            } else if (item.kind != FolderItem::Kind::Folder || !run.selectionWay.count(stored)) {
                continue;
            }
        }
        if (!run.options.excludes.empty() && excluded(run.options, item.name, stored)) continue;
        if (item.kind == FolderItem::Kind::File &&
            (sameFolder(run.options.ownArchiveId, item.id) ||
             (!run.options.ownArchive.empty() && run.options.ownArchive == stored))) {
            continue;
        }
        relative.resize(relativePrefix.size());
        relative.append(item.name);
        // Marks that the relative path can't show pass down to every file below.
        uint8_t marks = marksAbove;
        if (item.nameUnstorable) marks |= FileList::kUnstorable;
        if (nativeSeparator() == '\\' && item.name.find('\\') != std::string::npos) {
            marks |= FileList::kBackslash;
        }
        switch (item.kind) {
            case FolderItem::Kind::Folder: {
                // A link back up is passed over without even listing it.
                if (onTheWay(way, item.id)) break;
                scanInto(run, folderPath + nativeSeparator() + item.name,
                         relative + nativeSeparator(), storedPrefix + item.name + '\\', marks,
                         depth + 1);
                break;
            }
            case FolderItem::Kind::File: {
                if (tooDeep) {
                    ++run.options.deep->count;
                    if (!run.options.deep->keepFiles) break;
                }
                FileList& fileList = tooDeep ? run.options.deep->files : run.fileList;
                FileEntry& entry = fileList.add(
                    relative, item.size, item.hasTime ? item.localSeconds : kListedWithoutTime);
                if (marks != 0) fileList.mark(entry, marks);
                if (item.statLater) run.fs.statLater(entry, entry.relative + relativePrefix.size());
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
    fileList = FileList(rootPath);
    if (options.deep) options.deep->files = FileList(rootPath);
    ScanRun run{fs, options, {}, fileList, {}, {}};
    if (options.selection) {
        if (options.selection->names.count("")) options.selection->met.insert("");
        run.selectionWay = foldersOnTheWay(*options.selection);
    }
    bool listed = false;
    {
        // Even on the way out of a failure: no stat may still be writing into the list then.
        struct Finish {
            FileSystem& fs;
            ~Finish() { fs.finishStats(); }
        } finish{fs};
        listed = scanInto(run, rootPath, "", "", 0, 0);
    }
    for (FileList* list : {&fileList, options.deep ? &options.deep->files : nullptr}) {
        if (!list) continue;
        list->eraseIf([](const FileEntry& entry) { return entry.modifiedTime == kNoLongerAFile; });
        for (FileEntry& entry : *list) {
            entry.modifiedTime = storedTime(options.time, entry.modifiedTime);
        }
    }
    return listed;
}

void checkStorableNames(const FileList& fileList) {
    for (const FileEntry& entry : fileList) {
        if (fileList.nameHoldsBackslash(entry)) {
            throw InputFault(backslashNameText(fileList.pathOf(entry)));
        }
        if (fileList.nameUnstorable(entry)) {
            throw InputFault(unstorableNameText(fileList.pathOf(entry)));
        }
    }
}
