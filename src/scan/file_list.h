#pragma once
// The list of files one run packs, built by the folder scan and read by the writer.

#include <cstdint>
#include <string>
#include <vector>

// Value of FileEntry::modifiedTime for a file whose time the archive can't express.
constexpr int64_t kNoTime = -1;

struct FileEntry {
    // Real path used to open the file: the root path, the platform's separator, the relative path.
    std::string path;
    // The relative path as the archive names it: components joined by a backslash.
    std::string storedName;
    // Set when a component of the relative path holds a backslash of its own, which the stored
    // name would turn into a folder separator: such a file can't be stored faithfully.
    bool nameHoldsBackslash = false;
    // Set when a component of the relative path has characters the stored bytes can't spell
    // (FolderItem::nameUnstorable).
    bool nameUnstorable = false;
    // Length in bytes at scan time. Kept wide so the writer can refuse files that a .zem can't hold
    // instead of silently storing their low 32 bits.
    uint64_t size = 0;
    // Last write time as local wall-clock seconds since 1970-01-01 00:00:00, that is, the UTC time
    // shifted by the UTC offset in force when the scan ran. Stored as calendar fields without any
    // further time-zone conversion, so no daylight-saving rule can move it. kNoTime when the file
    // has no usable time or its local year lies outside what the archive can store.
    int64_t modifiedTime = kNoTime;
};

// In the order the scan met the files; that order is the archive's order.
using FileList = std::vector<FileEntry>;
