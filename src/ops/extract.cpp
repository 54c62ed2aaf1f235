#include "ops/extract.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "common/fatal_error.h"
#include "common/worker_thread.h"
#include "format/local_time.h"
#include "format/stored_name.h"
#include "platform/archive_file.h"
#include "platform/extract_fs.h"
#include "platform/file_system.h"
#include "platform/name_pattern.h"

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
    return namesProblem(namesOf(archive), platformNameRules(), platformCodePage());
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

PathKind kindAtStoredName(const Destination& dest, const std::string& name) {
    if (!dest.open) return PathKind::Missing;
    const std::vector<std::string> parts = splitStoredName(name, platformCodePage());
    FolderHandle below;
    const FolderHandle* folder = &dest.folder;
    for (size_t p = 0; p < parts.size(); ++p) {
        const PathKind kind = kindInside(*folder, parts[p]);
        if (p + 1 == parts.size() || kind != PathKind::Folder) return kind;
        below = openSubfolder(*folder, parts[p], /*create=*/false);
        folder = &below;
    }
    return PathKind::Missing;
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
        const std::vector<std::string> parts = splitStoredName(name, platformCodePage());
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

namespace {

// Consecutive small files' data lie back to back in the archive: one read of up to a piece's
// size fetches many of them at once.
struct StoredWindow {
    std::vector<char> bytes;
    uint64_t start = 0;
    size_t filled = 0;
};

// The stored file `r` whole from the window, refilled from its first byte when it isn't there;
// null when the file is larger than the window, or the window's read failed (the file is then
// read on its own, which reports the failure).
const char* windowedData(LoadedArchive& archive, const ArchiveRecord& r, StoredWindow& window) {
    if (r.length > window.bytes.size()) return nullptr;
    if (r.length == 0) return window.bytes.data();
    if (r.dataOffset < window.start ||
        r.dataOffset + uint64_t(r.length) > window.start + window.filled) {
        const uint64_t size = archive.source->size();
        if (r.dataOffset + uint64_t(r.length) > size) return nullptr;
        window.start = r.dataOffset;
        window.filled =
            static_cast<size_t>(std::min<uint64_t>(window.bytes.size(), size - r.dataOffset));
        if (!archive.source->readAt(window.start, window.bytes.data(), window.filled)) {
            window.filled = 0;
            return nullptr;
        }
    }
    return window.bytes.data() + (r.dataOffset - window.start);
}

// Files started ahead of their writing, on a second thread and in record order: the folders each
// goes in opened (or made), and its temporary file created, which for a small file is the
// dearest step on most file systems. The writer takes them in the same order. The thread opens
// no folder before every file ahead of it is in place, so a failure or a cancel leaves no folder
// behind that writing one file at a time would not have made. Without a thread the writer starts
// each file itself as it comes to it.
class FilesAhead {
public:
    struct Ready {
        std::shared_ptr<const FolderHandle> folder;  // open until the file is in place
        std::unique_ptr<AtomicFile> file;
        std::exception_ptr failure;  // instead, when its folders or the file couldn't be made
    };

    FilesAhead(const FolderHandle& root, const std::vector<ArchiveRecord>& records)
        : root_(root), records_(records) {
        cleaned_.insert(root.path);  // by the caller
        threaded_ =
            records.size() > 1 && roomToStartFilesAhead() && worker_.start([this] { run(); });
    }

    // The next record's file, or its failure.
    Ready take() {
        if (!threaded_) return prepare(taken_++);
        std::unique_lock<std::mutex> lock(worker_.mutex);
        takerWaits_ = true;
        worker_.changed.wait(lock, [this] { return !ready_.empty() || lost_; });
        takerWaits_ = false;
        if (ready_.empty()) throw std::bad_alloc();  // the thread's own bookkeeping ran out
        Ready next = std::move(ready_.front());
        ready_.pop_front();
        if (threadWaits_ && ready_.size() <= kAhead / 2) worker_.changed.notify_all();
        return next;
    }

    // The file taken last is in place.
    void finished() {
        if (!threaded_) return;
        std::lock_guard<std::mutex> lock(worker_.mutex);
        ++finished_;
        if (threadWaits_ && finished_ == awaited_) worker_.changed.notify_all();
    }

private:
    static constexpr size_t kAhead = 8;

    // The folder path of record `index` below the root, when it differs from the folders open.
    bool needsOtherFolders(const std::vector<std::string>& parts) const {
        if (parts.size() - 1 != names_.size()) return true;
        return !std::equal(names_.begin(), names_.end(), parts.begin());
    }

    Ready prepare(size_t index) {
        Ready ready;
        try {
            const std::vector<std::string> parts =
                splitStoredName(records_[index].name, platformCodePage());
            size_t same = 0;
            while (same < names_.size() && same + 1 < parts.size() && names_[same] == parts[same]) {
                ++same;
            }
            chain_.resize(same);
            names_.resize(same);
            for (size_t p = same; p + 1 < parts.size(); ++p) {
                auto folder = std::make_shared<FolderHandle>(
                    openSubfolder(chain_.empty() ? root_ : *chain_.back(), parts[p]));
                // What runs killed outright left goes from each folder written to, before its
                // first file; a folder this run made holds none.
                if (!folder->madeByThisRun && cleaned_.insert(folder->path).second) {
                    removeLeftoverTemporaryFiles(*folder);
                }
                chain_.push_back(std::move(folder));
                names_.push_back(parts[p]);
            }
            if (chain_.empty()) {
                ready.folder = std::shared_ptr<const FolderHandle>(std::shared_ptr<void>(), &root_);
            } else {
                ready.folder = chain_.back();
            }
            ready.file = std::make_unique<AtomicFile>();
            startExtractedFile(*ready.file, *ready.folder, parts.back());
        } catch (...) {
            ready.file.reset();
            ready.failure = std::current_exception();
        }
        return ready;
    }

    void run() {
        for (size_t index = 0; index < records_.size(); ++index) {
            bool otherFolders = true;
            try {
                otherFolders =
                    needsOtherFolders(splitStoredName(records_[index].name, platformCodePage()));
            } catch (...) {  // out of memory: prepare() meets it again and hands it on
            }
            {
                std::unique_lock<std::mutex> lock(worker_.mutex);
                awaited_ = otherFolders ? index : SIZE_MAX;
                threadWaits_ = true;
                worker_.changed.wait(lock, [&] {
                    return worker_.stopping ||
                           (ready_.size() < kAhead && (!otherFolders || finished_ == index));
                });
                threadWaits_ = false;
                if (worker_.stopping) return;
            }
            Ready ready = prepare(index);
            bool failed = ready.failure != nullptr;
            std::lock_guard<std::mutex> lock(worker_.mutex);
            try {
                ready_.push_back(std::move(ready));
            } catch (const std::bad_alloc&) {
                lost_ = true;
                failed = true;
            }
            if (takerWaits_) worker_.changed.notify_all();
            if (failed) return;  // the writer stops there
        }
    }

    const FolderHandle& root_;
    const std::vector<ArchiveRecord>& records_;
    bool threaded_ = false;
    size_t taken_ = 0;  // without a thread: the next record
    // The preparing side's: the folders of the last file started, each open while its child was
    // opened; names_[i] is the name of chain_[i] in its parent.
    std::vector<std::shared_ptr<FolderHandle>> chain_;
    std::vector<std::string> names_;
    std::set<std::string> cleaned_;
    // Under worker_.mutex:
    std::deque<Ready> ready_;
    size_t finished_ = 0;        // files in place
    size_t awaited_ = SIZE_MAX;  // what finished_ the thread waits for, if any
    bool takerWaits_ = false;
    bool threadWaits_ = false;
    bool lost_ = false;    // the thread ran out of memory handing a file over: no more come
    WorkerThread worker_;  // last: its thread stops before the fields it uses go
};

}  // namespace

void extractArchive(LoadedArchive& archive, Destination& dest, bool replace,
                    ProgressDisplay* progress,
                    const std::function<void(const std::string&)>& warn) {
    uint64_t byteCount = 0;
    for (const ArchiveRecord& r : archive.records) byteCount += r.length;
    ProgressCount count;
    startProgress(count, progress, archive.records.size(), byteCount);

    const FolderHandle& root = openDestination(dest);
    // What runs killed outright left goes from each folder written to, before its first file; a
    // folder this run made holds none.
    if (!root.madeByThisRun) removeLeftoverTemporaryFiles(root);
    // The file systems written to, each synced once at the end.
    WrittenFileSystems written;
    noteWrittenFolder(written, root);
    std::shared_ptr<const FolderHandle> lastFolder;  // held, so no other folder takes its place
    StoredWindow window;
    window.bytes.resize(kStoredPieceSize);
    std::vector<char> buffer(kStoredPieceSize);
    FilesAhead ahead(root, archive.records);
    for (const ArchiveRecord& r : archive.records) {
        FilesAhead::Ready ready = ahead.take();
        if (ready.failure) std::rethrow_exception(ready.failure);
        AtomicFile& file = *ready.file;
        if (ready.folder != lastFolder) {
            lastFolder = ready.folder;
            noteWrittenFolder(written, *lastFolder);
        }
        if (const char* data = windowedData(archive, r, window)) {
            writeAtomicFile(file, data, r.length);
        } else {
            forEachStoredPiece(
                archive, r, buffer, [&](const char* piece, size_t size, uint64_t at) {
                    writeAtomicFile(file, piece, size);
                    progressWithin(count, at + size, r.length);
                    return true;
                });
        }
        // The file is in place whatever the warning says: extraction goes on.
        const std::string warning = finishExtractedFile(
            file, r.time.present(), r.time.present() ? utcSecondsOf(r.time) : 0, replace);
        ahead.finished();
        if (!warning.empty()) warn(warning);
        progressFileDone(count, r.length);
    }
    for (const std::string& warning : syncWrittenFileSystems(written)) warn(warning);
}
