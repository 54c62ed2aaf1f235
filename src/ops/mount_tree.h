#pragma once
// The tree of folders and files an archive's records make, built from the records alone, so that
// zem mount can serve it and the tree can be checked without mounting anything.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "format/reader.h"

constexpr uint32_t kNoRecord = UINT32_MAX;
constexpr uint32_t kNoNode = UINT32_MAX;

// A folder or a file of the mounted tree. Folders are implied by the stored names: each component
// before a backslash is one.
struct MountNode {
    // The stored name up to and including this component (backslash-joined, as stored); empty for
    // the root. It points into a record's name: the records must outlive the tree, unchanged.
    std::string_view path;
    uint32_t parent = 0;
    // The record of a file; kNoRecord for a folder.
    uint32_t record = kNoRecord;
    // A folder's files and folders, in the order their first record comes in the archive.
    std::vector<uint32_t> children;
    uint32_t subfolders = 0;

    bool isFolder() const { return record == kNoRecord; }
};

struct MountTree {
    // nodes[0] is the root.
    std::vector<MountNode> nodes;
    // Every node but the root by its path, so that finding a name below a folder costs one hash
    // look-up whatever the folder's size or depth.
    std::unordered_map<std::string_view, uint32_t> byPath;
};

// Builds the tree of the records' names, which must be ones extraction accepts
// (checkArchiveNames): no name stored twice, no file where another name needs a folder.
void buildMountTree(const std::vector<ArchiveRecord>& records, MountTree& tree);
// The tree points into the records' names: records that die with the call can't make one.
void buildMountTree(const std::vector<ArchiveRecord>&& records, MountTree& tree) = delete;

// The last component of a node's path: its name in its folder.
std::string_view nodeName(const MountNode& node);

// The node called `name` in the folder `parent`, or kNoNode. A name holding a backslash is no
// single component, so it names nothing.
uint32_t findChild(const MountTree& tree, uint32_t parent, std::string_view name);
