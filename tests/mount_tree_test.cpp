// The tree zem mount serves, built from stored names without mounting anything: folders implied
// by backslashes, children in archive order, look-ups by name, and names that can't form a tree.

#include <gtest/gtest.h>

#include <algorithm>

#include "zem/mount.h"

namespace {

std::vector<ArchiveRecord> recordsNamed(const std::vector<std::string>& names) {
    std::vector<ArchiveRecord> records;
    for (const std::string& name : names) {
        ArchiveRecord r;
        r.name = name;
        records.push_back(r);
    }
    return records;
}

// A node's children as "name" for files and "name\" for folders, in their order.
std::string childrenOf(const MountTree& tree, uint32_t folder) {
    std::string text;
    for (uint32_t child : tree.nodes[folder].children) {
        if (!text.empty()) text += ' ';
        text += std::string(nodeName(tree.nodes[child]));
        if (tree.nodes[child].isFolder()) text += '\\';
    }
    return text;
}

// The node at a path of components separated by '/', from the root, or kNoNode.
uint32_t nodeAt(const MountTree& tree, const std::string& path) {
    uint32_t node = 0;
    for (size_t start = 0; node != kNoNode && start <= path.size();) {
        const size_t end = std::min(path.find('/', start), path.size());
        node = findChild(tree, node, std::string_view(path).substr(start, end - start));
        start = end + 1;
    }
    return node;
}

TEST(MountTree, FoldersComeFromBackslashesAndListInArchiveOrder) {
    const std::vector<ArchiveRecord> records =
        recordsNamed({"b\\z", "a", "b\\y\\1", "b\\x", "c\\d\\e", "b\\y\\0", "\xe4 \xf6"});
    MountTree tree;
    ASSERT_EQ(buildMountTree(records, tree), "");
    // Root, 7 files and the folders b, b\y, c and c\d.
    EXPECT_EQ(tree.nodes.size(), 12u);
    EXPECT_EQ(tree.byPath.size(), 11u);
    EXPECT_EQ(childrenOf(tree, 0), "b\\ a c\\ \xe4 \xf6");
    EXPECT_EQ(tree.nodes[0].subfolders, 2u);

    const struct {
        std::string path;
        std::string children;  // for folders
        uint32_t record;       // for files
        uint32_t subfolders;
    } expected[] = {
        {"b", "z y\\ x", kNoRecord, 1},
        {"b/y", "1 0", kNoRecord, 0},
        {"c", "d\\", kNoRecord, 1},
        {"c/d", "e", kNoRecord, 0},
        {"a", "", 1, 0},
        {"b/z", "", 0, 0},
        {"b/y/0", "", 5, 0},
        {"c/d/e", "", 4, 0},
        {"\xe4 \xf6", "", 6, 0},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.path);
        const uint32_t node = nodeAt(tree, e.path);
        ASSERT_NE(node, kNoNode);
        const MountNode& n = tree.nodes[node];
        EXPECT_EQ(n.record, e.record);
        EXPECT_EQ(childrenOf(tree, node), e.children);
        EXPECT_EQ(n.subfolders, e.subfolders);
        // The stored form of the path, and the parent that lists the node.
        std::string stored = e.path;
        for (char& c : stored) c = c == '/' ? '\\' : c;
        EXPECT_EQ(n.path, stored);
        const auto& siblings = tree.nodes[n.parent].children;
        EXPECT_NE(std::find(siblings.begin(), siblings.end(), node), siblings.end());
    }
}

TEST(MountTree, LookupsFindOneComponentAtATime) {
    const std::vector<ArchiveRecord> records = recordsNamed({"a\\b\\c.txt", "a\\d", "top"});
    MountTree tree;
    ASSERT_EQ(buildMountTree(records, tree), "");
    const uint32_t a = nodeAt(tree, "a");
    const uint32_t b = nodeAt(tree, "a/b");
    const uint32_t top = nodeAt(tree, "top");
    ASSERT_NE(a, kNoNode);
    ASSERT_NE(b, kNoNode);
    ASSERT_NE(top, kNoNode);
    const struct {
        uint32_t folder;
        std::string name;
        bool found;
    } cases[] = {
        {0, "a", true},
        {a, "b", true},
        {b, "c.txt", true},
        {a, "d", true},
        {0, "top", true},
        // A backslash is a separator in the archive, but only a byte of a name in a look-up: it
        // must not reach a file two levels down.
        {0, "a\\b", false},
        {a, "b\\c.txt", false},
        {0, "A", false},  // letter case counts
        {0, "b", false},  // only below a
        {a, "top", false},
        {0, "", false},
        {0, ".", false},
        {0, "..", false},
        {top, "a", false},  // a file holds nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(tree.nodes[c.folder].path) + " / " + c.name);
        const uint32_t found = findChild(tree, c.folder, c.name);
        EXPECT_EQ(found != kNoNode, c.found);
        if (found != kNoNode) {
            EXPECT_EQ(nodeName(tree.nodes[found]), c.name);
            EXPECT_EQ(tree.nodes[found].parent, c.folder);
        }
    }
}

TEST(MountTree, AnEmptyArchiveIsAnEmptyRoot) {
    MountTree tree;
    ASSERT_EQ(buildMountTree({}, tree), "");
    ASSERT_EQ(tree.nodes.size(), 1u);
    EXPECT_TRUE(tree.nodes[0].isFolder());
    EXPECT_EQ(childrenOf(tree, 0), "");
    EXPECT_EQ(findChild(tree, 0, "a"), kNoNode);
}

TEST(MountTree, NamesThatCannotFormATreeAreReported) {
    const struct {
        std::vector<std::string> names;
        std::string problem;
    } cases[] = {
        {{"a", "b", "a"}, "record 2: name \"a\" is stored twice"},
        {{"x\\a", "x\\a"}, "record 1: name \"x\\a\" is stored twice"},
        {{"a\\b", "a"}, "record 1: name \"a\" is also a folder of an earlier name"},
        {{"a", "a\\b"}, "record 1: name \"a\\b\" needs the earlier file \"a\" as a folder"},
        {{"x\\a", "x\\a\\b\\c"},
         "record 1: name \"x\\a\\b\\c\" needs the earlier file \"x\\a\" as a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        MountTree tree;
        EXPECT_EQ(buildMountTree(recordsNamed(c.names), tree), c.problem);
    }
}

}  // namespace
