#include "ops/mount_tree.h"

#include <string>

std::string_view nodeName(const MountNode& node) {
    const size_t separator = node.path.rfind('\\');
    return separator == std::string_view::npos ? node.path : node.path.substr(separator + 1);
}

void buildMountTree(const std::vector<ArchiveRecord>& records, MountTree& tree) {
    tree.nodes.assign(1, MountNode{});
    tree.byPath.clear();
    // Every record adds its file and at most as many folders as it has components: reserving for
    // one node per record spares most rehashing of a flat archive.
    tree.byPath.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const std::string_view name = records[i].name;
        uint32_t parent = 0;
        for (size_t start = 0;;) {
            const size_t end = name.find('\\', start);
            const bool last = end == std::string_view::npos;
            const std::string_view path = last ? name : name.substr(0, end);
            const auto found = tree.byPath.find(path);
            if (found != tree.byPath.end()) {
                // Names extraction refuses (stored twice, a file where a folder is needed) never
                // come here; should one, the earlier name keeps its place.
                if (last || !tree.nodes[found->second].isFolder()) break;
                parent = found->second;
            } else {
                const auto index = static_cast<uint32_t>(tree.nodes.size());
                MountNode node;
                node.path = path;
                node.parent = parent;
                node.record = last ? static_cast<uint32_t>(i) : kNoRecord;
                tree.nodes.push_back(std::move(node));
                tree.byPath.emplace(path, index);
                MountNode& folder = tree.nodes[parent];
                folder.children.push_back(index);
                if (!last) ++folder.subfolders;
                parent = index;
            }
            if (last) break;
            start = end + 1;
        }
    }
}

uint32_t findChild(const MountTree& tree, uint32_t parent, std::string_view name) {
    if (name.empty() || name.find('\\') != std::string_view::npos) return kNoNode;
    const MountNode& folder = tree.nodes[parent];
    if (!folder.isFolder()) return kNoNode;
    std::string path;
    path.reserve(folder.path.size() + 1 + name.size());
    path.append(folder.path);
    if (!path.empty()) path += '\\';
    path.append(name);
    const auto found = tree.byPath.find(path);
    return found == tree.byPath.end() ? kNoNode : found->second;
}
