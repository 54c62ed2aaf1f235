// libFuzzer target: any bytes through the strict reader, in the program's pieces and in small
// ones, then through the checks extraction runs on the names and the listing's formatting. Any
// crash, sanitizer report or difference between the two readings is a bug.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/fatal_error.h"
#include "format/format.h"
#include "format/reader.h"
#include "format/stored_name.h"

namespace {

// The reader's finding, or "" when it accepts the bytes and gives their records.
std::string findingOf(MemorySource& source, size_t pieceSize, std::vector<ArchiveRecord>& records) {
    try {
        records = readArchive(source, pieceSize);
        return "";
    } catch (const InputFault& fault) {
        if (fault.finding.empty()) __builtin_trap();  // a refusal always says why
        return fault.finding;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemorySource source(data, size);
    std::vector<ArchiveRecord> records;
    const std::string problem = findingOf(source, kReadPieceSize, records);
    // Where the pieces end must never change the outcome: small pieces, of a size taken from the
    // input, put their boundaries everywhere in inputs far shorter than one of the program's.
    std::vector<ArchiveRecord> again;
    if (findingOf(source, 1 + size % 61, again) != problem || again.size() != records.size()) {
        __builtin_trap();
    }
    for (size_t i = 0; i < records.size(); ++i) {
        const ArchiveRecord& a = records[i];
        const ArchiveRecord& b = again[i];
        if (a.name != b.name || a.dataOffset != b.dataOffset || a.length != b.length ||
            a.recordOffset != b.recordOffset ||
            formatStoredTime(a.time) != formatStoredTime(b.time)) {
            __builtin_trap();
        }
    }
    if (!problem.empty()) return 0;
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
    for (NameRules rules : {NameRules::Posix, NameRules::Windows}) {
        try {
            checkStoredNames(names, rules);
        } catch (const InputFault& fault) {
            if (fault.finding.empty()) __builtin_trap();  // a refusal always says why
        }
    }
    return 0;
}
