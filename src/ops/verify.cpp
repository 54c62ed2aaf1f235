#include "ops/verify.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "common/fatal_error.h"
#include "format/stored_name.h"
#include "platform/file_list.h"
#include "platform/file_system.h"
#include "platform/input_file.h"
#include "platform/scan.h"

namespace {

// Compares one stored file with the folder's file; empty when they match, else the difference.
std::string compareFile(LoadedArchive& archive, const ArchiveRecord& r, const FileList& files,
                        const FileEntry& onDisk, std::vector<char>& a, std::vector<char>& b,
                        const std::function<void(uint64_t bytes)>& compared) {
    const std::string path = files.pathOf(onDisk);
    if (onDisk.size != r.length) {
        return std::to_string(r.length) + " bytes in the archive, " + std::to_string(onDisk.size) +
               " in \"" + path + "\"";
    }
    // A file gone or changed since the listing, or one this user can't read, is a difference of
    // the folder, not a failure of the run.
    InputFile in;
    try {
        in = openInputFile(path);
    } catch (const SystemFailure&) {
        return "cannot open \"" + path + "\"";
    }
    std::string difference;
    forEachStoredPiece(archive, r, a, [&](const char* data, size_t size, uint64_t at) {
        if (readInputFile(in, b.data(), size) != size) {
            difference = "cannot read \"" + path + "\"";
            return false;
        }
        const auto mismatch = std::mismatch(data, data + size, b.data());
        if (mismatch.first != data + size) {
            difference = "differs from \"" + path + "\" at byte " +
                         std::to_string(at + static_cast<uint64_t>(mismatch.first - data));
            return false;
        }
        compared(size);
        return true;
    });
    return difference;
}

}  // namespace

std::vector<std::string> folderDifferences(LoadedArchive& archive, const std::string& root,
                                           ProgressDisplay* progress) {
    const std::vector<ArchiveRecord>& records = archive.records;
    FileList files;
    // Files below the depth limit are never packed, but they are the folder's all the same: they
    // are listed too, to be reported.
    DeepFiles deep;
    deep.keepFiles = true;
    ScanOptions options;
    options.deep = &deep;
    // The lists go with the unwinding, so the message has memory to be shown.
    const bool listed = failWhenOutOfMemory("out of memory listing folder \"" + root + "\"", [&] {
        return scanFolder(systemFileSystem(), root, files, options);
    });
    if (!listed) {
        const std::string reason = systemFileSystem().listFailure(root);
        fatalError("cannot list folder \"" + root + "\"" + (reason.empty() ? "" : ": " + reason));
    }
    std::map<std::string, const FileEntry*> onDisk;
    for (const FileList* list : {&files, &deep.files}) {
        for (const FileEntry& e : *list) {
            if (!list->nameHoldsBackslash(e)) onDisk.emplace(storedNameOf(e), &e);
        }
    }

    WriteProgress done = progressOf(records);
    if (progress) progress->update(done);
    std::vector<char> a(kStoredPieceSize), b(kStoredPieceSize);
    std::vector<std::string> differences;
    const auto report = [&](const std::string& name, const std::string& text) {
        differences.push_back(quotedName(name) + ": " + text);
    };
    std::set<std::string> stored;
    uint64_t bytesBefore = 0;  // of the files before this one
    for (const ArchiveRecord& r : records) {
        stored.insert(r.name);
        const auto it = onDisk.find(r.name);
        if (it == onDisk.end()) {
            report(r.name, "in the archive, not in the folder");
        } else {
            const std::string difference =
                // The deep files' list has the same root: either list finds the path.
                compareFile(archive, r, files, *it->second, a, b, [&](uint64_t bytes) {
                    done.bytesDone += bytes;
                    if (progress) progress->update(done);
                });
            if (!difference.empty()) report(r.name, difference);
        }
        bytesBefore += r.length;
        done.bytesDone = bytesBefore;
        ++done.filesDone;
        if (progress) progress->update(done);
    }
    for (const FileList* list : {&files, &deep.files}) {
        const bool tooDeep = list == &deep.files;
        for (const FileEntry& e : *list) {
            // Such a name reads like a path of subfolders: it matches no stored name, since an
            // archive can't hold it faithfully, and is named by its path, as no stored name tells
            // it.
            if (list->nameHoldsBackslash(e)) {
                differences.push_back("\"" + list->pathOf(e) +
                                      "\": in the folder, holds a backslash in a name, which an "
                                      "archive would read back as a subfolder");
                continue;
            }
            const std::string name = storedNameOf(e);
            if (!stored.count(name)) {
                report(name, tooDeep ? "in the folder, not in the archive: it lies below "
                                       "the tenth level of subfolders, which packing "
                                       "leaves out"
                                     : "in the folder, not in the archive");
            }
        }
    }
    return differences;
}
