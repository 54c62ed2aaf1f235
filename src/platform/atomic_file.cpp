// The steps of an atomic file that are the same on every platform.

#include "platform/atomic_file.h"

#include <cstdio>

#include "common/fatal_error.h"

namespace {

// FNV-1a: a host is told apart from the others sharing a folder, nothing is kept secret.
uint32_t tagOf(const std::string& identity) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : identity) hash = (hash ^ c) * 16777619u;
    return hash;
}

uint32_t hostTag() {
    static const uint32_t tag = tagOf(hostIdentity());
    return tag;
}

// The decimal number at text[at], advancing `at` past it; false when there is none or it passes
// 32 bits.
bool readNumber(const std::string& text, size_t& at, uint32_t& value) {
    const size_t start = at;
    uint64_t number = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 10) {
        number = number * 10 + static_cast<uint64_t>(text[at] - '0');
        ++at;
    }
    if (at == start || number > UINT32_MAX) return false;
    value = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

std::string temporaryFileName(uint32_t pid, uint32_t count) {
    char name[kMaxTemporaryNameLength + 1];
    snprintf(name, sizeof name, ".zem-%lu.%08lx.%lu.tmp", static_cast<unsigned long>(pid),
             static_cast<unsigned long>(hostTag()), static_cast<unsigned long>(count));
    return name;
}

uint32_t leftoverProcessId(const std::string& name) {
    const std::string start = ".zem-";
    if (name.size() > kMaxTemporaryNameLength || name.compare(0, start.size(), start) != 0) {
        return 0;
    }
    size_t at = start.size();
    uint32_t pid = 0;
    if (!readNumber(name, at, pid)) return 0;
    at += 1 + 8 + 1;  // the tag and its dots, compared below
    uint32_t count = 0;
    if (at > name.size() || !readNumber(name, at, count)) return 0;
    // Written back, the numbers must give the very same name: no leading zero, no other tag, no
    // other ending.
    return temporaryFileName(pid, count) == name ? pid : 0;
}

namespace {

const char* stepOperation(FileStep step) {
    return step == FileStep::Create  ? "create a file in"
           : step == FileStep::Write ? "write"
                                     : "create";
}

std::string stepFailureText(FileStep step, const std::string& path, int code) {
    if (step == FileStep::Exists) return "\"" + path + "\" already exists";
    return cannotText(stepOperation(step), path, code);
}

}  // namespace

FileStepFailure::FileStepFailure(FileStep failedStep, const std::string& failedPath, int errorCode)
    : SystemFailure(stepFailureText(failedStep, failedPath, errorCode), stepOperation(failedStep),
                    failedPath, errorCode),
      step(failedStep) {}

void createAtomicFile(AtomicFile& file, const FolderHandle& folder, const std::string& name) {
    file.name = name;
    createTemporaryFile(file.temp, folder);
}

void failAtomicFile(const AtomicFile& file, FileStep step, int code) {
    const FolderHandle& folder = *file.temp.folder;
    throw FileStepFailure(
        step, step == FileStep::Create ? folder.path : pathInside(folder, file.name), code);
}

std::string commitWarning(const AtomicFile& file, const std::string& what, int code,
                          const std::string& consequence) {
    return "\"" + pathInside(*file.temp.folder, file.name) + "\" is in place, but " + what + " (" +
           systemErrorText(code) + ")" + (consequence.empty() ? "" : ": " + consequence);
}
