// libFuzzer target: any bytes through the strict reader, then through the checks extraction
// runs on the names and the listing's formatting. Any crash or sanitizer report is a bug.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/reader.h"
#include "archive/stored_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemorySource source(data, size);
    std::vector<ArchiveRecord> records;
    std::string problem;
    if (!readArchive(source, records, problem)) {
        if (problem.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    // An accepted archive has a whole header; what it says must agree with the records.
    const ArchiveHeader header = decodeHeader(data);
    if (records.size() != header.fileCount) __builtin_trap();
    std::vector<std::string> names;
    uint64_t dataEnd = kHeaderSize;
    for (const ArchiveRecord& r : records) {
        // What the reader accepted must hold: data inside the region, back to back.
        if (r.dataOffset != dataEnd || uint64_t(r.dataOffset) + r.length > header.indexOffset) {
            __builtin_trap();
        }
        dataEnd += r.length;
        formatStoredTime(r.time);
        escapedName(r.name);
        names.push_back(r.name);
    }
    namesProblem(names, NameRules::Posix);
    namesProblem(names, NameRules::Windows);
    return 0;
}
