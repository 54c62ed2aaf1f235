// libFuzzer target: any bytes through the strict reader, then through the checks extraction
// runs on the names and the listing's formatting. Any crash or sanitizer report is a bug.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "archive/stored_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemorySource source(data, size);
    ArchiveContents contents;
    std::string problem;
    if (!readArchive(source, contents, problem)) {
        if (problem.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    std::vector<std::string> names;
    uint64_t dataEnd = kArchiveHeaderSize;
    for (const ArchiveRecord& r : contents.records) {
        // What the reader accepted must hold: data inside the region, back to back.
        if (r.dataOffset != dataEnd || uint64_t(r.dataOffset) + r.length > contents.indexOffset) {
            __builtin_trap();
        }
        dataEnd += r.length;
        formatStoredTime(r.time);
        escapedName(r.name);
        names.push_back(r.name);
    }
    if (contents.records.size() != contents.fileCount) __builtin_trap();
    namesProblem(names, NameRules::Posix);
    namesProblem(names, NameRules::Windows);
    return 0;
}
