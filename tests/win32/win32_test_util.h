#pragma once
// Small helpers shared by the Windows tests.

#include <cstdint>
#include <string>
#include <vector>

#include "archive/fatal_error.h"
#include "archive/writer.h"
#include "test_util.h"

inline std::string join(const std::string& folder, const std::string& name) {
    return folder + "\\" + name;
}

// The text of the fatal error that writing the archive ends with, or "(no failure)".
inline std::string failureOf(const std::string& archive, const FileList& list) {
    try {
        writeArchive(archive, list);
    } catch (const FatalError& e) {
        return e.what();
    }
    return "(no failure)";
}

// The stored names of an archive, in record order, read back through its index.
std::vector<std::string> storedNames(const std::string& archiveBytes);
// The dataOffset field of each record, in record order.
std::vector<uint32_t> dataOffsets(const std::string& archiveBytes);

// Hexadecimal bytes, separated by blanks, for readable failure messages.
std::string hex(const std::string& bytes);
