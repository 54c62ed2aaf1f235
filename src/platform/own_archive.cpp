#include <filesystem>
#include <system_error>

#include "platform/scan.h"

std::string storedNameOfOutput(const std::string& folder, const std::string& output) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path root = fs::weakly_canonical(fs::path(folder), error);
    if (error) return "";
    const fs::path archive = fs::weakly_canonical(fs::path(output), error);
    if (error) return "";
    const fs::path below = archive.lexically_relative(root);
    if (below.empty() || below == "." || *below.begin() == "..") return "";
    std::string name;
    for (const fs::path& part : below) {
        if (!name.empty()) name += '\\';
        name += part.string();
    }
    return name;
}
