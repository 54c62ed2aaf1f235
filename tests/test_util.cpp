// The helpers of test_util.h that read and write through the standard library alone; the rest
// sits in test_util_posix.cpp and test_util_win32.cpp.

#include "test_util.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/fatal_error.h"
#include "ops/writer.h"
#include "platform/file_system.h"

std::string native(const std::string& relative) {
    std::string path = relative;
    std::replace(path.begin(), path.end(), '/', nativeSeparator());
    return path;
}

std::string join(const std::string& folder, const std::string& relative) {
    return folder + nativeSeparator() + native(relative);
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string PackFolder::add(const std::string& relative, const std::string& contents,
                            int64_t time) {
    const size_t slash = relative.rfind('/');
    if (slash != std::string::npos) makeDirs(join(root, relative.substr(0, slash)));
    const std::string path = join(root, relative);
    writeFile(path, contents);
    std::string native = relative;
    std::replace(native.begin(), native.end(), '/', nativeSeparator());
    list.add(native, contents.size(), time);
    return path;
}

PackFolder::PackFolder(const std::string& name)
    : root(tmp / name), archive(root + ".zem"), list(root) {
    makeDirs(root);
}

std::string failureOf(const std::string& archive, const FileList& list, ProgressDisplay* progress) {
    try {
        writeArchive(archive, list, progress);
    } catch (const FatalError& e) {
        return e.what();
    }
    return "(no failure)";
}
