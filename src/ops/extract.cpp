#include "ops/extract.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <unordered_map>

#include "common/fatal_error.h"
#include "common/standard_streams.h"
#include "common/worker_thread.h"
#include "format/local_time.h"
#include "format/stored_name.h"
#include "platform/archive_file.h"
#include "platform/atomic_file.h"
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

void readArchiveRecords(LoadedArchive& archive) {
    archive.records.clear();
    try {
        archive.records = readArchive(*archive.source);
    } catch (const InputFault& fault) {
        throw InputFault(archive.path, fault.finding);
    }
}

void readArchiveFile(const std::string& path, LoadedArchive& archive) {
    archive.path = path;
    archive.records.clear();
    archive.source = openArchiveFile(path);
    readArchiveRecords(archive);
}

void checkArchiveNames(const LoadedArchive& archive) {
    try {
        checkStoredNames(namesOf(archive), platformNameRules(), platformCodePage());
    } catch (const InputFault& fault) {
        throw InputFault(archive.path, fault.finding);
    }
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

namespace {

// A name without pattern characters matches a stored name equal to it or a folder one lies in,
// a slash and a backslash alike: so it can be found by lookup rather than by matching it against
// every stored name, which made `zem cat a.zem` of thousands of names quadratic.
bool isLiteralName(const std::string& name) {
    return name.find_first_of("*?[") == std::string::npos;
}

std::string withBackslashes(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

}  // namespace

void selectRecords(LoadedArchive& archive, const std::vector<std::string>& names) {
    if (names.empty()) return;
    std::vector<bool> used(names.size(), false);
    std::vector<size_t> patterns;
    std::vector<std::string> literals(names.size());
    std::unordered_map<std::string_view, std::vector<size_t>> literalAt;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!isLiteralName(names[i])) {
            patterns.push_back(i);
            continue;
        }
        literals[i] = withBackslashes(names[i]);
        literalAt[literals[i]].push_back(i);
    }
    std::vector<ArchiveRecord> selected;
    std::string name;
    for (ArchiveRecord& r : archive.records) {
        bool taken = false;
        const auto take = [&](std::string_view key) {
            const auto found = literalAt.find(key);
            if (found == literalAt.end()) return;
            taken = true;
            for (size_t i : found->second) used[i] = true;
        };
        if (!literalAt.empty()) {
            name = withBackslashes(r.name);
            const std::string_view whole(name);
            take(whole);
            for (size_t at = whole.find('\\'); at != std::string_view::npos;
                 at = whole.find('\\', at + 1)) {
                take(whole.substr(0, at));
            }
        }
        for (size_t i : patterns) {
            if (matchesPathOrFolder(names[i], r.name)) taken = used[i] = true;
        }
        if (taken) selected.push_back(std::move(r));
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (!used[i]) fatalError(archive.path + ": nothing stored matches \"" + names[i] + "\"");
    }
    archive.records = std::move(selected);
}

void checkDestination(const Destination& dest, const LoadedArchive& archive, bool replace,
                      std::vector<size_t>* kept) {
    // Only the names to be written must fit: with `kept`, once those kept are known.
    const auto refuseTooLong = [&] {
        std::vector<std::string> names;
        for (size_t i = 0, k = 0; i < archive.records.size(); ++i) {
            if (kept && k < kept->size() && (*kept)[k] == i) {
                ++k;
            } else {
                names.push_back(archive.records[i].name);
            }
        }
        checkPathLengths(dest.path, names);
    };
    if (!kept) refuseTooLong();
    if (!dest.open) return;  // nothing below it exists either
    // Each name is walked relative to open folders, as extraction writes, so no whole path has to
    // fit the system's limit. Consecutive names mostly share their folders: those stay open.
    std::vector<std::string> chainParts;
    std::vector<FolderHandle> chain;
    std::vector<std::string> missing;  // the parts of the last path found missing
    for (size_t i = 0; i < archive.records.size(); ++i) {
        const std::string& name = archive.records[i].name;
        const std::vector<std::string> parts = splitStoredName(name, platformCodePage());
        if (!missing.empty() && parts.size() > missing.size() &&
            std::equal(missing.begin(), missing.end(), parts.begin())) {
            continue;  // in a folder found missing: nothing of it exists either
        }
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
            if (kind == PathKind::Missing) {  // nothing below it exists either
                missing.assign(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(p) + 1);
                break;
            }
            if (kept && (p + 1 == parts.size() || kind != PathKind::Folder)) {
                kept->push_back(i);  // whatever is there stays, and the file is passed over
                break;
            }
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
    if (kept) refuseTooLong();
}

void stripComponents(LoadedArchive& archive, int count) {
    if (count == 0) return;
    std::vector<ArchiveRecord> kept;
    for (ArchiveRecord& r : archive.records) {
        size_t at = 0;
        for (int i = 0; i < count && at != std::string::npos; ++i) {
            at = r.name.find('\\', at);
            if (at != std::string::npos) ++at;
        }
        if (at == std::string::npos) continue;
        r.name.erase(0, at);
        kept.push_back(std::move(r));
    }
    archive.records = std::move(kept);
    try {
        checkArchiveNames(archive);
    } catch (const InputFault& fault) {
        throw InputFault(archive.path,
                         "with --strip-components=" + std::to_string(count) + ", " + fault.finding);
    }
}

std::vector<std::string> takeOutKept(LoadedArchive& archive, const std::vector<size_t>& kept) {
    std::vector<std::string> names;
    if (kept.empty()) return names;
    std::vector<ArchiveRecord> toWrite;
    for (size_t i = 0, k = 0; i < archive.records.size(); ++i) {
        if (k < kept.size() && kept[k] == i) {
            names.push_back(archive.records[i].name);
            ++k;
        } else {
            toWrite.push_back(std::move(archive.records[i]));
        }
    }
    archive.records = std::move(toWrite);
    return names;
}

void writeToStandardOutput(LoadedArchive& archive) {
    const intptr_t out = standardOutputFile();
    std::vector<char> buffer(kStoredPieceSize);
    for (const ArchiveRecord& r : archive.records) {
        forEachStoredPiece(archive, r, buffer, [&](const char* data, size_t size, uint64_t) {
            if (out < 0 || !writeWhole(out, data, size)) {
                fatalError("cannot write to standard output: " +
                           systemErrorText(lastSystemError()));
            }
            return true;
        });
    }
}

WriteProgress progressOf(const std::vector<ArchiveRecord>& records) {
    WriteProgress progress;
    progress.fileCount = records.size();
    for (const ArchiveRecord& r : records) progress.byteCount += r.length;
    return progress;
}

bool hasArchiveSuffix(const std::string& path) {
    if (path.size() < 4) return false;
    std::string suffix = path.substr(path.size() - 4);
    for (char& c : suffix) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return suffix == ".zem";
}

std::string defaultDestination(const std::string& archivePath) {
    // A name begins after the last separator or, on Windows, after a drive's colon ("C:a.zem").
    const std::string separators = nativeSeparator() == '/' ? "/" : "/\\:";
    if (!archivePath.empty() && separators.find(archivePath.back()) != std::string::npos) {
        throw InputFault("it ends in \"" + archivePath.substr(archivePath.size() - 1) + "\"");
    }
    const size_t lastSeparator = archivePath.find_last_of(separators);
    const std::string name =
        archivePath.substr(lastSeparator == std::string::npos ? 0 : lastSeparator + 1);
    if (!hasArchiveSuffix(name)) throw InputFault("its name doesn't end in .zem");
    const std::string stem = name.substr(0, name.size() - 4);
    if (stem.empty()) {
        throw InputFault("its name is just \"" + name + "\", which leaves no folder name");
    }
    // "..zem" would extract into the archive's own folder, "...zem" into the one above it.
    if (stem == "." || stem == "..") {
        throw InputFault("its name without .zem is \"" + stem +
                         "\", which names no folder of its own");
    }
    return archivePath.substr(0, archivePath.size() - 4);
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
// no folder before every file ahead of it is written (and so bound for its name), so a failure
// or a cancel leaves no folder behind that writing one file at a time would not have made.
// Without a thread the writer starts each file itself as it comes to it.
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
        if (ready_.empty()) std::rethrow_exception(lost_);
        Ready next = std::move(ready_.front());
        ready_.pop_front();
        if (threadWaits_ && ready_.size() <= kAhead / 2) worker_.changed.notify_all();
        return next;
    }

    // The file taken last is written whole: it goes in place with the files held with it, also
    // on a failure after it (extractArchive), or, when their sync fails, none of them does.
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
            } catch (...) {  // out of memory: the writer raises it when it takes the next file
                lost_ = std::current_exception();
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
    // What the thread met handing a file over (running out of memory); no more come.
    std::exception_ptr lost_;
    WorkerThread worker_;  // last: its thread stops before the fields it uses go
};

// Files written whole, with their times, that wait without their names for one sync of their
// data: a sync per file would cost most of a small file's time.
struct HeldFiles {
    std::vector<FilesAhead::Ready> files;
    WrittenFileSystems written;  // the file systems they are on
    size_t descriptors = 0;      // the files' and their folders'
    uint64_t bytes = 0;
    size_t named = 0;  // under temporary names, each listed for the signal cleanup
};

// Past this many bytes held, the data is synced even if descriptors are left: what a power cut
// loses of a run stays bounded, and so does the wait for a file to appear.
constexpr uint64_t kBytesPerDataSync = 64 << 20;

// Syncs the held files' data and puts each at its name. The files are let go first, so that a
// failure here leaves none held: those not yet in place go (a failed sync leaves every one of
// them off its name), with no temporary file left behind.
void placeHeldFiles(HeldFiles& held, bool replace,
                    const std::function<void(const std::string&)>& warn) {
    HeldFiles batch = std::move(held);
    held = HeldFiles();
    if (batch.files.empty()) return;
    const bool dataOnDisk = syncWrittenData(batch.written);
    for (FilesAhead::Ready& ready : batch.files) {
        // The file is in place whatever the warning says: extraction goes on.
        const std::string warning = finishExtractedFile(*ready.file, replace, dataOnDisk);
        ready.file.reset();
        if (!warning.empty()) warn(warning);
    }
}

// Places batches of held files on a thread of its own while the writer goes on with the next
// files, so that their sync and their names cost the writer nothing: one batch at a time, in
// order. A batch's failure and warnings reach the writer when it hands over the next one or waits
// for the last. Without a thread, each batch is placed as it is handed over.
class Placer {
public:
    Placer(bool replace, bool threaded) : replace_(replace) {
        threaded_ = threaded && worker_.start([this] { run(); });
    }

    // Whether a batch handed over now would be placed at once.
    bool idle() {
        if (!threaded_) return true;
        std::lock_guard<std::mutex> lock(worker_.mutex);
        return !busy_;
    }

    // Hands over the batch once the one before is placed, raising that one's failure.
    void place(HeldFiles& held, const std::function<void(const std::string&)>& warn) {
        if (!threaded_) return placeHeldFiles(held, replace_, warn);
        wait(warn);
        {
            std::lock_guard<std::mutex> lock(worker_.mutex);
            batch_ = std::move(held);
            busy_ = true;
        }
        held = HeldFiles();
        worker_.changed.notify_all();
    }

    // Waits until the batch handed over last is placed; passes on its warnings and raises its
    // failure.
    void wait(const std::function<void(const std::string&)>& warn) {
        if (!threaded_) return;
        std::vector<std::string> warnings;
        std::exception_ptr failure;
        {
            std::unique_lock<std::mutex> lock(worker_.mutex);
            worker_.changed.wait(lock, [this] { return !busy_; });
            warnings.swap(warnings_);
            std::swap(failure, failure_);
        }
        for (const std::string& warning : warnings) warn(warning);
        if (failure) {
            failed_ = true;
            std::rethrow_exception(failure);
        }
    }

    // Whether a batch failed: the files held after it then stay off their names too.
    bool failed() const { return failed_; }

private:
    void run() {
        for (;;) {
            HeldFiles batch;
            {
                std::unique_lock<std::mutex> lock(worker_.mutex);
                worker_.changed.wait(lock, [this] { return worker_.stopping || busy_; });
                if (worker_.stopping) return;
                batch = std::move(batch_);
                batch_ = HeldFiles();
            }
            std::vector<std::string> warnings;
            std::exception_ptr failure;
            try {
                placeHeldFiles(batch, replace_,
                               [&](const std::string& warning) { warnings.push_back(warning); });
            } catch (...) {
                failure = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(worker_.mutex);
                try {
                    warnings_.insert(warnings_.end(), warnings.begin(), warnings.end());
                } catch (...) {  // out of memory: the warnings are lost, not the files
                }
                failure_ = failure;
                busy_ = false;
            }
            worker_.changed.notify_all();
        }
    }

    const bool replace_;
    bool threaded_ = false;
    bool failed_ = false;
    // Under worker_.mutex:
    HeldFiles batch_;
    bool busy_ = false;  // a batch is handed over and not yet placed
    std::vector<std::string> warnings_;
    std::exception_ptr failure_;
    WorkerThread worker_;  // last: its thread stops before the fields it uses go
};

// A batch is handed over as soon as the placer is free once it holds this many files: fewer
// would spend a sync on a handful.
constexpr size_t kFilesPerEarlySync = 64;

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
    // The file systems written to, each synced for every batch of files' data (HeldFiles), and
    // once at the end for their names.
    WrittenFileSystems written;
    noteWrittenFolder(written, root);
    std::shared_ptr<const FolderHandle> lastFolder;  // held, so no other folder takes its place
    StoredWindow window;
    window.bytes.resize(kStoredPieceSize);
    std::vector<char> buffer(kStoredPieceSize);
    // Two batches may be open at once: one being placed, the next being written.
    const size_t descriptorsPerBatch = std::max<size_t>(1, descriptorsForDataSync() / 2);
    FilesAhead ahead(root, archive.records);
    Placer placer(replace, descriptorsPerBatch >= kFilesPerEarlySync);
    HeldFiles held;
    try {
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
            if (r.time.present()) setFileTime(file, utcSecondsOf(r.time));
            if (held.files.empty() || held.files.back().folder != ready.folder) {
                noteWrittenFolder(held.written, *ready.folder);
                held.descriptors += 2;
            } else {
                held.descriptors += 1;
            }
            held.bytes += r.length;
            if (!file.temp.name.empty()) ++held.named;
            held.files.push_back(std::move(ready));
            ahead.finished();
            if (held.descriptors >= descriptorsPerBatch || held.bytes >= kBytesPerDataSync ||
                held.named >= kMaxNamedTemporaryFiles / 2 ||
                (held.files.size() >= kFilesPerEarlySync && placer.idle())) {
                placer.place(held, warn);
            }
            progressFileDone(count, r.length);
        }
        placer.place(held, warn);
        placer.wait(warn);
    } catch (...) {
        // What was written whole before a failure or a cancel goes in place, as it would have
        // one file at a time, unless a batch before it failed; a failure of that is lost behind
        // the first.
        try {
            placer.wait(warn);
            if (!placer.failed()) placeHeldFiles(held, replace, warn);
        } catch (...) {
        }
        throw;
    }
    for (const std::string& warning : syncWrittenFileSystems(written)) warn(warning);
}
