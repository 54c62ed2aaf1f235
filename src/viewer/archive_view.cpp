#include "viewer/archive_view.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "builder/run.h"
#include "common/fatal_error.h"
#include "format/stored_name.h"

namespace {

int compareNames(const std::string& a, const std::string& b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const int x = std::tolower(static_cast<unsigned char>(a[i]));
        const int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

// A file stored without a time sorts before every time, as the oldest.
int compareTimes(const CalendarTime& a, const CalendarTime& b) {
    if (a.present() != b.present()) return a.present() ? 1 : -1;
    if (!a.present()) return 0;
    const int64_t x = secondsFromCalendar(a);
    const int64_t y = secondsFromCalendar(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

int compareIn(ViewColumn column, const ArchiveRecord& a, const ArchiveRecord& b) {
    switch (column) {
        case ViewColumn::Size:
            return a.length < b.length ? -1 : a.length > b.length ? 1 : 0;
        case ViewColumn::Time:
            return compareTimes(a.time, b.time);
        case ViewColumn::Name:
            break;
    }
    return compareNames(a.name, b.name);
}

// Restores the archive's records however the extraction of some of them ends.
struct KeptRecords {
    LoadedArchive& archive;
    std::vector<ArchiveRecord> all;
    explicit KeptRecords(LoadedArchive& a) : archive(a), all(std::move(a.records)) {}
    ~KeptRecords() { archive.records = std::move(all); }
    KeptRecords(const KeptRecords&) = delete;
    KeptRecords& operator=(const KeptRecords&) = delete;
};

}  // namespace

std::vector<size_t> sortedRecords(const std::vector<ArchiveRecord>& records, ViewColumn column,
                                  bool ascending) {
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const int c = compareIn(column, records[a], records[b]);
        return ascending ? c < 0 : c > 0;
    });
    return order;
}

std::string viewerTitle(const std::string& archivePath) {
    if (archivePath.empty()) return kViewerName;
    const size_t separator = archivePath.find_last_of(nativeSeparator() == '/' ? "/" : "/\\:");
    const std::string name =
        separator == std::string::npos ? archivePath : archivePath.substr(separator + 1);
    return name + " - " + kViewerName;
}

std::string viewerStatus(const std::vector<ArchiveRecord>& records) {
    uint64_t bytes = 0;
    for (const ArchiveRecord& r : records) bytes += r.length;
    return std::to_string(records.size()) + (records.size() == 1 ? " file, " : " files, ") +
           std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

int extractRecords(LoadedArchive& archive, const std::vector<size_t>& indices,
                   const std::string& folder, Dialog& dialog, FileSystem& fs) {
    KeptRecords kept(archive);
    std::vector<bool> chosen(kept.all.size(), false);
    for (size_t i : indices) {
        if (i < chosen.size()) chosen[i] = true;
    }
    for (size_t i = 0; i < kept.all.size(); ++i) {
        if (chosen[i]) archive.records.push_back(kept.all[i]);
    }
    return extractWithQuestions(archive, folder, dialog, fs, ReplaceQuestion::WhenFileExists);
}

std::string extractTemporaryCopy(LoadedArchive& archive, size_t index, TemporaryCopies& copies,
                                 std::vector<std::string>& warnings) {
    if (index >= archive.records.size()) fatalError("no stored file " + std::to_string(index));
    KeptRecords kept(archive);
    archive.records.push_back(kept.all[index]);
    // The root and each copy's folder are made here, never reached through a link.
    Destination root = findDestination(copies.root, /*chosen=*/true);
    openDestination(root);
    const std::string folder =
        copies.root + nativeSeparator() + std::to_string(++copies.made);
    Destination dest = findDestination(folder, /*chosen=*/true);
    checkDestination(dest, archive, /*replace=*/true);
    extractArchive(archive, dest, /*replace=*/true, nullptr,
                   [&](const std::string& warning) { warnings.push_back(warning); });
    std::string path = folder;
    for (const std::string& part : splitStoredName(archive.records.front().name)) {
        path += nativeSeparator() + part;
    }
    return path;
}
