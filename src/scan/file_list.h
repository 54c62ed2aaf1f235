#pragma once
// The list of files one run packs, built by the folder scan and completed by the writer.

#include <cstdint>
#include <string>
#include <vector>

// Value of FileEntry::modifiedTime for a file whose time the archive can't express.
constexpr int64_t kNoTime = -1;

struct FileEntry {
    // Real path used to open the file: the root path, the platform's separator, the relative path.
    std::string path;
    // Length in bytes at scan time. Kept wide so the writer can refuse files that a .zem can't hold
    // instead of silently storing their low 32 bits.
    uint64_t size = 0;
    // Last write time as local wall-clock seconds since 1970-01-01 00:00:00, that is, the UTC time
    // shifted by the UTC offset in force when the scan ran. Stored as calendar fields without any
    // further time-zone conversion, so no daylight-saving rule can move it. kNoTime when the file
    // has no usable time or its local year lies outside 1970..2038.
    int64_t modifiedTime = kNoTime;
    // Absolute position of the file's bytes in the archive; 0 until the writer sets it.
    uint32_t dataOffset = 0;
};

// In the order the scan met the files; that order is the archive's order.
using FileList = std::vector<FileEntry>;
