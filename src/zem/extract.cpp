#include "zem/extract.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "archive/archive_file.h"
#include "archive/fatal_error.h"
#include "archive/local_time.h"
#include "archive/stored_name.h"
#include "scan/file_system.h"
#include "scan/name_pattern.h"
#include "zem/extract_fs.h"

namespace {

std::vector<std::string> namesOf(const LoadedArchive& archive) {
    std::vector<std::string> names;
    for (const ArchiveRecord& r : archive.records) names.push_back(r.name);
    return names;
}

}  // namespace

// The time was formed with the UTC offset in force when the archive was made; the offset in
// force now is the best stand-in, and turns an archive made and extracted under the same offset
// back into the exact time.
int64_t utcSecondsOf(const CalendarTime& stored) {
    return secondsFromCalendar(stored) - utcOffsetNow();
}

std::string readArchiveFile(const std::string& path, LoadedArchive& archive) {
    archive.path = path;
    archive.records.clear();
    archive.source = openArchiveFile(path);
    std::string problem;
    if (!readArchive(*archive.source, archive.records, problem)) return problem;
    return "";
}

std::string storedNamesProblem(const LoadedArchive& archive) {
    return namesProblem(namesOf(archive), platformNameRules());
}

bool forEachStoredPiece(
    LoadedArchive& archive, const ArchiveRecord& r, std::vector<char>& buffer,
    const std::function<bool(const char* data, size_t size, uint64_t at)>& onPiece) {
    for (uint64_t done = 0; done < r.length;) {
        const size_t piece =
            static_cast<size_t>(std::min<uint64_t>(buffer.size(), r.length - done));
        const uint64_t offset = r.dataOffset + done;
        if (!archive.source->readAt(offset, buffer.data(), piece)) {
            fatalError("cannot read \"" + archive.path + "\" at offset " + std::to_string(offset));
        }
        if (!onPiece(buffer.data(), piece, done)) return false;
        done += piece;
    }
    return true;
}

void selectRecords(LoadedArchive& archive, const std::vector<std::string>& names) {
    if (names.empty()) return;
    std::vector<bool> used(names.size(), false);
    std::vector<ArchiveRecord> selected;
    for (ArchiveRecord& r : archive.records) {
        bool taken = false;
        for (size_t i = 0; i < names.size(); ++i) {
            if (matchesPathOrFolder(names[i], r.name)) taken = used[i] = true;
        }
        if (taken) selected.push_back(std::move(r));
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (!used[i]) fatalError(archive.path + ": nothing stored matches \"" + names[i] + "\"");
    }
    archive.records = std::move(selected);
}

void checkDestination(const Destination& dest, const LoadedArchive& archive, bool replace) {
    const std::string tooLong = pathLengthProblem(dest.path, namesOf(archive));
    if (!tooLong.empty()) fatalError(tooLong);
    if (!dest.open) return;  // nothing below it exists either
    // Each name is walked relative to open folders, as extraction writes, so no whole path has to
    // fit the system's limit. Consecutive names mostly share their folders: those stay open.
    std::vector<std::string> chainParts;
    std::vector<FolderHandle> chain;
    for (size_t i = 0; i < archive.records.size(); ++i) {
        const std::string& name = archive.records[i].name;
        const std::vector<std::string> parts = splitStoredName(name);
        size_t shared = 0;
        while (shared < chain.size() && shared + 1 < parts.size() &&
               chainParts[shared] == parts[shared]) {
            ++shared;
        }
        chain.erase(chain.begin() + static_cast<std::ptrdiff_t>(shared), chain.end());
        chainParts.resize(shared);
        const std::string record =
            "record " + std::to_string(i) + ": name " + quotedName(name) + ": ";
        for (size_t p = shared; p < parts.size(); ++p) {
            const FolderHandle& folder = p == 0 ? dest.folder : chain.back();
            const PathKind kind = kindInside(folder, parts[p]);
            const std::string path = pathInside(folder, parts[p]);
            if (kind == PathKind::Missing) break;  // nothing below it exists either
            if (p + 1 == parts.size()) {
                if (kind == PathKind::Folder) fatalError(record + "\"" + path + "\" is a folder");
                if (!replace) fatalError(record + alreadyExistsText(path));
            } else if (kind == PathKind::Link) {
                fatalError(record + linkRefusalText(path));
            } else if (kind != PathKind::Folder) {
                fatalError(record + "\"" + path + "\" is not a folder");
            } else {
                chain.push_back(openSubfolder(folder, parts[p], /*create=*/false));
                chainParts.push_back(parts[p]);
            }
        }
    }
}

bool hasArchiveSuffix(const std::string& path) {
    if (path.size() < 4) return false;
    std::string suffix = path.substr(path.size() - 4);
    for (char& c : suffix) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return suffix == ".zem";
}

DefaultDestination defaultDestination(const std::string& archivePath) {
    // A name begins after the last separator or, on Windows, after a drive's colon ("C:a.zem").
    const std::string separators = nativeSeparator() == '/' ? "/" : "/\\:";
    if (!archivePath.empty() && separators.find(archivePath.back()) != std::string::npos) {
        return {"", "it ends in \"" + archivePath.substr(archivePath.size() - 1) + "\""};
    }
    const size_t lastSeparator = archivePath.find_last_of(separators);
    const std::string name =
        archivePath.substr(lastSeparator == std::string::npos ? 0 : lastSeparator + 1);
    if (!hasArchiveSuffix(name)) return {"", "its name doesn't end in .zem"};
    const std::string stem = name.substr(0, name.size() - 4);
    if (stem.empty()) {
        return {"", "its name is just \"" + name + "\", which leaves no folder name"};
    }
    // "..zem" would extract into the archive's own folder, "...zem" into the one above it.
    if (stem == "." || stem == "..") {
        return {"", "its name without .zem is \"" + stem + "\", which names no folder of its own"};
    }
    return {archivePath.substr(0, archivePath.size() - 4), ""};
}

void extractArchive(LoadedArchive& archive, Destination& dest, bool replace,
                    ProgressDisplay* progress,
                    const std::function<void(const std::string&)>& warn) {
    WriteProgress done;
    done.fileCount = archive.records.size();
    for (const ArchiveRecord& r : archive.records) done.byteCount += r.length;
    if (progress) progress->update(done);

    const FolderHandle& root = openDestination(dest);
    // What runs killed outright left goes from each folder written to, before its first file.
    std::set<std::string> cleaned;
    WrittenFileSystems written;
    const auto cleanOnce = [&](const FolderHandle& folder) {
        if (!cleaned.insert(folder.path).second) return;
        removeLeftoverTemporaryFiles(folder);
        noteWrittenFolder(written, folder);
    };
    cleanOnce(root);
    std::vector<char> buffer(kStoredPieceSize);
    for (const ArchiveRecord& r : archive.records) {
        const std::vector<std::string> parts = splitStoredName(r.name);
        std::vector<FolderHandle> chain;  // each folder stays open while its child is opened
        for (size_t p = 0; p + 1 < parts.size(); ++p) {
            chain.push_back(openSubfolder(chain.empty() ? root : chain.back(), parts[p]));
            cleanOnce(chain.back());
        }
        AtomicFile file;
        startExtractedFile(file, chain.empty() ? root : chain.back(), parts.back());
        uint64_t sinceReport = 0;
        forEachStoredPiece(archive, r, buffer, [&](const char* data, size_t size, uint64_t at) {
            writeAtomicFile(file, data, size);
            done.bytesDone += size;
            sinceReport += size;
            if (progress && sinceReport >= kProgressPiece && at + size < r.length) {
                sinceReport = 0;
                progress->update(done);
            }
            return true;
        });
        // The file is in place whatever the warning says: extraction goes on.
        const std::string warning = finishExtractedFile(
            file, r.time.present(), r.time.present() ? utcSecondsOf(r.time) : 0, replace);
        if (!warning.empty()) warn(warning);
        ++done.filesDone;
        if (progress) progress->update(done);
    }
    for (const std::string& warning : syncWrittenFileSystems(written)) warn(warning);
}
