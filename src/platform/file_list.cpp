#include "platform/file_list.h"

#include <algorithm>
#include <cstring>

#include "platform/file_system.h"

namespace {

// Large enough that the blocks are few, small enough that a short list wastes little.
constexpr size_t kBlockSize = 256 << 10;

}  // namespace

FileEntry& FileList::add(const std::string& relative, uint64_t size, int64_t modifiedTime) {
    const size_t needed = relative.size() + 1;
    if (needed > blockLeft_) {
        // A name longer than a block gets one of its own.
        blockLeft_ = std::max(kBlockSize, needed);
        blocks_.emplace_back(new char[blockLeft_]);
        next_ = blocks_.back().get();
    }
    char* at = next_;
    memcpy(at, relative.c_str(), needed);
    next_ += needed;
    blockLeft_ -= needed;
    entries_.push_back({size, modifiedTime, at});
    return entries_.back();
}

std::string FileList::pathOf(const FileEntry& entry) const {
    std::string path;
    path.reserve(root_.size() + 1 + strlen(entry.relative));
    path.append(root_).push_back(nativeSeparator());
    path.append(entry.relative);
    return path;
}

std::string storedNameOf(const FileEntry& entry) {
    std::string name(entry.relative);
    std::replace(name.begin(), name.end(), nativeSeparator(), '\\');
    return name;
}

bool FileList::nameHoldsBackslash(const FileEntry& entry) const {
    if (nativeSeparator() != '\\') return strchr(entry.relative, '\\') != nullptr;
    return marked(entry, kBackslash);
}
