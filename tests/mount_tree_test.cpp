// The tree zem mount serves, built from stored names without mounting anything: folders implied
// by backslashes, children in archive order, look-ups by name, and names that form no tree.

#include <gtest/gtest.h>

#include "ops/mount_tree.h"

namespace {

std::vector<ArchiveRecord> recordsNamed(const std::vector<std::string>& names) {
    std::vector<ArchiveRecord> records(names.size());
    for (size_t i = 0; i < names.size(); ++i) records[i].name = names[i];
    return records;
}

// A folder's children in their order, folders marked with a trailing backslash.
std::string childrenOf(const MountTree& tree, uint32_t folder) {
    std::string text;
    for (uint32_t child : tree.nodes[folder].children) {
        text += std::string(text.empty() ? "" : " ") + std::string(nodeName(tree.nodes[child])) +
                (tree.nodes[child].isFolder() ? "\\" : "");
    }
    return text;
}

TEST(MountTree, FoldersComeFromBackslashesListInArchiveOrderAndAreFoundByName) {
    const auto records = recordsNamed({"b\\z", "a", "b\\y\\1", "b\\x", "b\\y\\0"});
    MountTree tree;
    buildMountTree(records, tree);
    EXPECT_EQ(tree.nodes.size(), 8u);  // the root, five files, b and b\y
    const uint32_t a = findChild(tree, 0, "a"), b = findChild(tree, 0, "b");
    const uint32_t y = b == kNoNode ? kNoNode : findChild(tree, b, "y");
    ASSERT_NE(a, kNoNode);
    ASSERT_NE(y, kNoNode);
    EXPECT_EQ(childrenOf(tree, 0), "b\\ a");
    EXPECT_EQ(childrenOf(tree, b), "z y\\ x");
    EXPECT_EQ(childrenOf(tree, y), "1 0");
    EXPECT_EQ(tree.nodes[0].subfolders, 1u);
    EXPECT_EQ(tree.nodes[b].subfolders, 1u);
    EXPECT_EQ(tree.nodes[y].path, "b\\y");
    EXPECT_EQ(tree.nodes[y].parent, b);
    EXPECT_EQ(tree.nodes[findChild(tree, y, "0")].record, 4u);
    EXPECT_EQ(tree.nodes[a].record, 1u);
    // A backslash separates only inside the archive: in a look-up it is part of one name.
    const std::pair<uint32_t, const char*> nothing[] = {{0, "b\\z"}, {0, "B"},  {0, "z"}, {b, "a"},
                                                        {0, ""},     {0, ".."}, {a, "x"}};
    for (const auto& [folder, name] : nothing)
        EXPECT_EQ(findChild(tree, folder, name), kNoNode) << name;
    const std::vector<ArchiveRecord> none;
    buildMountTree(none, tree);
    EXPECT_EQ(tree.nodes.size(), 1u);
}

}  // namespace
