#pragma once
// The list of files one run packs, built by the folder scan and read by the writer. The whole list
// is held while the archive is written (its header needs every file first), so it is kept compact:
// the names lie back to back in a few large blocks, not in a string each, and a file takes a few
// dozen bytes in all.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Value of FileEntry::modifiedTime for a file whose time the archive can't express.
constexpr int64_t kNoTime = -1;

struct FileEntry {
    // Length in bytes at scan time. Kept wide so the writer can refuse files that a .zem can't hold
    // instead of silently storing their low 32 bits.
    uint64_t size = 0;
    // Last write time as local wall-clock seconds since 1970-01-01 00:00:00, that is, the UTC time
    // shifted by the UTC offset in force when the scan ran. Stored as calendar fields without any
    // further time-zone conversion, so no daylight-saving rule can move it. kNoTime when the file
    // has no usable time or its local year lies outside what the archive can store.
    int64_t modifiedTime = kNoTime;
    // The path below the root, components joined by the platform's separator, NUL-terminated;
    // held by the list.
    const char* relative = "";
};
static_assert(sizeof(FileEntry) <= 24, "FileEntry grew: a million files would take the difference");

class FileList {
public:
    FileList() = default;
    // The files below `root`: a file's real path is the root, the platform's separator and its
    // relative path.
    explicit FileList(std::string root) : root_(std::move(root)) {}
    FileList(FileList&& other) noexcept { *this = std::move(other); }
    FileList& operator=(FileList&& other) noexcept {
        root_ = std::move(other.root_);
        entries_ = std::move(other.entries_);
        blocks_ = std::move(other.blocks_);
        next_ = std::exchange(other.next_, nullptr);
        blockLeft_ = std::exchange(other.blockLeft_, 0);
        marks_ = std::move(other.marks_);
        return *this;
    }
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    const std::string& root() const { return root_; }
    // Appends a file, its path below the root given with the platform's separators.
    FileEntry& add(const std::string& relative, uint64_t size = 0, int64_t modifiedTime = kNoTime);

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    FileEntry& operator[](size_t i) { return entries_[i]; }
    const FileEntry& operator[](size_t i) const { return entries_[i]; }
    FileEntry& back() { return entries_.back(); }
    std::deque<FileEntry>::iterator begin() { return entries_.begin(); }
    std::deque<FileEntry>::iterator end() { return entries_.end(); }
    std::deque<FileEntry>::const_iterator begin() const { return entries_.begin(); }
    std::deque<FileEntry>::const_iterator end() const { return entries_.end(); }

    // Drops the entries for which `drop` is true, keeping the others' order. Their names stay in
    // the blocks until the list goes.
    template <typename Drop>
    void eraseIf(const Drop& drop) {
        entries_.erase(std::remove_if(entries_.begin(), entries_.end(), drop), entries_.end());
    }

    // The real path that opens the file.
    std::string pathOf(const FileEntry& entry) const;

    // What makes an entry's name impossible to store faithfully, where the relative path can't
    // tell: characters the stored bytes can't spell (FolderItem::nameUnstorable), or, where the
    // platform's separator is the backslash, a backslash in a name of its own (only a file system
    // other than the platform's can give one). Such names are rare and never met off Windows:
    // they are kept aside rather than take a flag in every entry.
    enum Mark : uint8_t { kUnstorable = 1, kBackslash = 2 };
    void mark(const FileEntry& entry, uint8_t marks) { marks_[entry.relative] |= marks; }
    bool nameUnstorable(const FileEntry& entry) const { return marked(entry, kUnstorable); }
    // Whether a component of the relative path holds a backslash of its own, which the stored name
    // would turn into a folder separator: such a file can't be stored faithfully.
    bool nameHoldsBackslash(const FileEntry& entry) const;

private:
    std::string root_;
    // Stays where it is as the list grows (a deque moves no element), and holds no spare half
    // as a growing vector does.
    std::deque<FileEntry> entries_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;  // the free bytes at the end of the last block
    size_t blockLeft_ = 0;
    // By their names, which never move.
    std::unordered_map<const char*, uint8_t> marks_;
    bool marked(const FileEntry& entry, uint8_t mark) const {
        if (marks_.empty()) return false;
        const auto it = marks_.find(entry.relative);
        return it != marks_.end() && (it->second & mark) != 0;
    }
};

// The name the archive stores: the relative path's components joined by backslashes.
std::string storedNameOf(const FileEntry& entry);
