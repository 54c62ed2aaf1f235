// The C interface's archive half: opening, looking up, reading and extracting, through the same
// reader and extraction as the zem program.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "format/reader.h"
#include "lib/library_call.h"
#include "ops/extract.h"
#include "platform/scan.h"
#include "zem.h"

#ifndef ZEM_VERSION
#error "ZEM_VERSION must be defined by the build"
#endif

struct zem_archive {
    LoadedArchive loaded;
    // Entry indices in byte order of their names, equal names in archive order: zem_find's index.
    std::vector<uint32_t> byName;
    zem_error error{};
};

namespace {

// The caller's read callback as the reader's source.
struct CallbackSource : ArchiveSource {
    CallbackSource(zem_read_fn function, uint64_t length, void* data)
        : read(function), count(length), user(data) {}
    uint64_t size() const override { return count; }
    bool readAt(uint64_t position, void* data, size_t length) override {
        return read(user, position, data, length) == 0;
    }
    zem_read_fn read;
    uint64_t count;
    void* user;
};

// Another source read through, for an extraction's own copy of the archive's records.
struct BorrowedSource : ArchiveSource {
    explicit BorrowedSource(ArchiveSource& source) : inner(source) {}
    uint64_t size() const override { return inner.size(); }
    bool readAt(uint64_t position, void* data, size_t length) override {
        return inner.readAt(position, data, length);
    }
    ArchiveSource& inner;
};

const ArchiveRecord* recordAt(const zem_archive* archive, size_t index) {
    if (!archive || index >= archive->loaded.records.size()) return nullptr;
    return &archive->loaded.records[index];
}

void indexByName(zem_archive& archive) {
    const std::vector<ArchiveRecord>& records = archive.loaded.records;
    archive.byName.resize(records.size());
    for (size_t i = 0; i < records.size(); ++i) archive.byName[i] = static_cast<uint32_t>(i);
    std::stable_sort(archive.byName.begin(), archive.byName.end(), [&](uint32_t a, uint32_t b) {
        return records[a].name < records[b].name;
    });
}

// Opens through `load`, which fills the archive's source and records; a fault of the structure
// (InputFault) says the archive is damaged.
template <typename Load>
zem_archive* openWith(zem_error* error, Load&& load) {
    std::unique_ptr<zem_archive> archive;
    const int code = guardedCall(error, [&] {
        archive = std::make_unique<zem_archive>();
        classified<InputFault>(ZEM_ERROR_DAMAGED, [&] { load(archive->loaded); });
        indexByName(*archive);
    });
    return code == ZEM_OK ? archive.release() : nullptr;
}

const zem_error kNoArchive = {ZEM_ERROR_ARGUMENT, "no archive"};

}  // namespace

void setError(zem_error* error, int code, const char* text) {
    if (!error) return;
    error->code = code;
    size_t length = strlen(text);
    if (length >= sizeof error->message) {
        length = sizeof error->message - 1;
        // Back to the first byte of a UTF-8 character.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    memcpy(error->message, text, length);
    error->message[length] = '\0';
}

extern "C" {

const char* zem_version(void) { return ZEM_VERSION; }

zem_archive* zem_open(const char* path, zem_error* error) {
    if (!path) {
        setError(error, ZEM_ERROR_ARGUMENT, "no path given");
        return nullptr;
    }
    return openWith(error, [&](LoadedArchive& loaded) { readArchiveFile(path, loaded); });
}

zem_archive* zem_open_reader(zem_read_fn read, uint64_t size, void* user, zem_error* error) {
    if (!read) {
        setError(error, ZEM_ERROR_ARGUMENT, "no read function given");
        return nullptr;
    }
    return openWith(error, [&](LoadedArchive& loaded) {
        loaded.path = "archive";
        loaded.source = std::make_unique<CallbackSource>(read, size, user);
        readArchiveRecords(loaded);
    });
}

void zem_close(zem_archive* archive) { delete archive; }

const zem_error* zem_archive_error(const zem_archive* archive) {
    return archive ? &archive->error : &kNoArchive;
}

size_t zem_count(const zem_archive* archive) {
    return archive ? archive->loaded.records.size() : 0;
}

const char* zem_entry_name(const zem_archive* archive, size_t index) {
    const ArchiveRecord* r = recordAt(archive, index);
    return r ? r->name.c_str() : nullptr;
}

uint64_t zem_entry_size(const zem_archive* archive, size_t index) {
    const ArchiveRecord* r = recordAt(archive, index);
    return r ? r->length : 0;
}

int zem_entry_time(const zem_archive* archive, size_t index, zem_time* time) {
    const ArchiveRecord* r = recordAt(archive, index);
    const bool present = r && r->time.present();
    if (time) {
        *time = zem_time{};
        if (present) {
            time->year = static_cast<int>(r->time.year);
            time->month = r->time.month;
            time->day = r->time.day;
            time->hour = r->time.hour;
            time->minute = r->time.minute;
            time->second = r->time.second;
        }
    }
    return present ? 1 : 0;
}

int zem_entry_seconds(const zem_archive* archive, size_t index, int64_t* seconds) {
    const ArchiveRecord* r = recordAt(archive, index);
    if (!r || !r->time.present()) return 0;
    if (seconds) *seconds = utcSecondsOf(r->time);
    return 1;
}

size_t zem_entries(const zem_archive* archive, size_t first, zem_entry* entries, size_t count) {
    if (!archive || !entries) return 0;
    const std::vector<ArchiveRecord>& records = archive->loaded.records;
    if (first >= records.size()) return 0;
    const size_t filled = std::min(count, records.size() - first);
    for (size_t i = 0; i < filled; ++i) {
        const ArchiveRecord& r = records[first + i];
        entries[i].name = r.name.c_str();
        entries[i].size = r.length;
        entries[i].offset = r.dataOffset;
        entries[i].has_time = zem_entry_time(archive, first + i, &entries[i].time);
    }
    return filled;
}

int zem_find(const zem_archive* archive, const char* name, size_t* index) {
    if (!archive || !name) return 0;
    const std::vector<ArchiveRecord>& records = archive->loaded.records;
    const auto at = std::lower_bound(
        archive->byName.begin(), archive->byName.end(), name,
        [&](uint32_t i, const char* wanted) { return strcmp(records[i].name.c_str(), wanted) < 0; });
    if (at == archive->byName.end() || records[*at].name != name) return 0;
    if (index) *index = *at;
    return 1;
}

int64_t zem_read(zem_archive* archive, size_t index, uint64_t offset, void* buffer,
                 size_t length) {
    if (!archive) return -1;
    uint64_t count = 0;
    const int code = guardedCall(&archive->error, [&] {
        const ArchiveRecord* r = recordAt(archive, index);
        if (!r) failCall(ZEM_ERROR_ARGUMENT, "no entry " + std::to_string(index));
        if (offset >= r->length) return;
        count = std::min<uint64_t>(length, r->length - offset);
        if (count > 0 && !buffer) failCall(ZEM_ERROR_ARGUMENT, "no buffer given");
        const uint64_t at = r->dataOffset + offset;
        if (count > 0 &&
            !archive->loaded.source->readAt(at, buffer, static_cast<size_t>(count))) {
            failCall(ZEM_ERROR_IO,
                     "cannot read \"" + archive->loaded.path + "\" at offset " + std::to_string(at));
        }
    });
    return code == ZEM_OK ? static_cast<int64_t>(count) : -1;
}

int zem_check(zem_archive* archive) {
    if (!archive) return ZEM_ERROR_ARGUMENT;
    return guardedCall(&archive->error, [&] {
        classified<InputFault>(ZEM_ERROR_NAME, [&] { checkArchiveNames(archive->loaded); });
    });
}

int zem_extract(zem_archive* archive, const char* dest, const char* const* names,
                size_t name_count, unsigned flags, zem_warning_fn warning, void* user) {
    if (!archive) return ZEM_ERROR_ARGUMENT;
    return guardedCall(&archive->error, [&] {
        if (!dest || !*dest) failCall(ZEM_ERROR_ARGUMENT, "no destination folder given");
        if (flags & ~(ZEM_EXTRACT_REPLACE | ZEM_EXTRACT_NO_LINK)) failCall(ZEM_ERROR_ARGUMENT, "unknown flags");
        if (name_count > 0 && !names) failCall(ZEM_ERROR_ARGUMENT, "no names given");
        std::vector<std::string> patterns;
        for (size_t i = 0; i < name_count; ++i) {
            if (!names[i]) failCall(ZEM_ERROR_ARGUMENT, "name " + std::to_string(i) + " is null");
            patterns.emplace_back(names[i]);
        }
        const bool replace = (flags & ZEM_EXTRACT_REPLACE) != 0;

        // The checks and the order of `zem extract`, on a copy of the records that the selection
        // may thin out.
        LoadedArchive view;
        view.path = archive->loaded.path;
        view.source = std::make_unique<BorrowedSource>(*archive->loaded.source);
        view.records = archive->loaded.records;
        classified<InputFault>(ZEM_ERROR_NAME, [&] { checkArchiveNames(view); });
        classified(ZEM_ERROR_NOT_FOUND, [&] { selectRecords(view, patterns); });
        std::string folder = rootPathFromArgument(dest);
        if (folder.empty()) folder = dest;  // the file system's root stays as given
        // A folder the caller named may be reached through a link, as with `zem extract -C`.
        Destination destination;
        classified(ZEM_ERROR_REFUSED, [&] {
            destination = findDestination(folder, (flags & ZEM_EXTRACT_NO_LINK) != 0);
            checkDestination(destination, view, replace);
        });
        classified(ZEM_ERROR_IO, [&] {
            extractArchive(view, destination, replace, nullptr, [&](const std::string& text) {
                if (warning) warning(user, text.c_str());
            });
        });
    });
}

}  // extern "C"
