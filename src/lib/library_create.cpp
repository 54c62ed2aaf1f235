// The C interface's creating half: the listing and the writer of zem create, with its options,
// to a path or an open descriptor.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/format.h"
#include "lib/library_call.h"
#include "ops/pack.h"
#include "ops/writer.h"
#include "platform/file_system.h"
#include "platform/scan.h"
#include "zem.h"

struct zem_create_options {
    bool sortByName = false;
    int rule = ZEM_TIME_KEEP;
    int64_t seconds = 0;
    bool utc = false;
    std::vector<std::string> excludes;
    zem_warning_fn warning = nullptr;
    void* user = nullptr;
};

namespace {

// The scan's options from the caller's, with the time rule checked as zem create checks
// --mtime: a time the archive can't store is refused, not silently dropped.
ScanOptions scanOptionsOf(const zem_create_options& options) {
    ScanOptions scan;
    scan.sortByName = options.sortByName;
    scan.excludes = options.excludes;
    TimeRule& rule = scan.time;
    rule.listedOffset = utcOffsetNow();
    rule.storedOffset = options.utc ? 0 : rule.listedOffset;
    if (options.rule == ZEM_TIME_KEEP) return scan;
    rule.kind = options.rule == ZEM_TIME_CLAMP ? TimeRule::Kind::Clamp : TimeRule::Kind::Replace;
    rule.instant = options.seconds;
    const int64_t year = calendarFromSeconds(rule.instant + rule.storedOffset).year;
    if (year < kFirstStoredYear || year > kLastStoredYear) {
        failCall(ZEM_ERROR_ARGUMENT, "the time lies in " + std::to_string(year) +
                                         ", outside the years " + std::to_string(kFirstStoredYear) +
                                         " to " + std::to_string(kLastStoredYear) +
                                         " that an archive can store");
    }
    return scan;
}

// Lists the folder and refuses what the archive can't hold, before anything is written.
FileList listFolder(const std::string& folder, const ScanOptions& scan) {
    FileList files;
    const std::unique_ptr<FileSystem> fs = newSystemFileSystem();
    if (!scanFolder(*fs, rootPathFromArgument(folder), files, scan)) {
        failCall(ZEM_ERROR_IO,
                 folderOpenErrorText(folder, fs->listFailure(rootPathFromArgument(folder))));
    }
    classified<InputFault>(ZEM_ERROR_NAME, [&] { checkStorableNames(files); });
    classified(ZEM_ERROR_TOO_LARGE, [&] { checkArchivable(files); });
    return files;
}

const zem_create_options kDefaults;

}  // namespace

extern "C" {

zem_create_options* zem_create_options_new(void) {
    return new (std::nothrow) zem_create_options();
}

void zem_create_options_free(zem_create_options* options) { delete options; }

void zem_create_options_set_sort(zem_create_options* options, int by_name) {
    if (options) options->sortByName = by_name != 0;
}

int zem_create_options_set_time(zem_create_options* options, int rule, int64_t seconds) {
    if (!options || (rule != ZEM_TIME_KEEP && rule != ZEM_TIME_REPLACE && rule != ZEM_TIME_CLAMP)) {
        return ZEM_ERROR_ARGUMENT;
    }
    options->rule = rule;
    options->seconds = seconds;
    return ZEM_OK;
}

void zem_create_options_set_utc(zem_create_options* options, int utc) {
    if (options) options->utc = utc != 0;
}

int zem_create_options_add_exclude(zem_create_options* options, const char* pattern) {
    if (!options || !pattern) return ZEM_ERROR_ARGUMENT;
    return guardedCall(nullptr, [&] { options->excludes.emplace_back(pattern); });
}

void zem_create_options_set_warning(zem_create_options* options, zem_warning_fn warning,
                                    void* user) {
    if (!options) return;
    options->warning = warning;
    options->user = user;
}

int zem_create(const char* folder, const char* path, const zem_create_options* options,
               zem_error* error) {
    const zem_create_options& o = options ? *options : kDefaults;
    return guardedCall(error, [&] {
        if (!folder || !*folder) failCall(ZEM_ERROR_ARGUMENT, "no folder given");
        if (!path || !*path) failCall(ZEM_ERROR_ARGUMENT, "no archive path given");
        ScanOptions scan = scanOptionsOf(o);
        scan.ownArchive = storedNameOfOutput(folder, path);
        scan.ownArchiveId = fileIdentity(path, /*followLinks=*/true);
        const FileList files = listFolder(folder, scan);
        const std::string warning =
            classified(ZEM_ERROR_IO, [&] { return writeArchive(path, files); });
        if (!warning.empty() && o.warning) o.warning(o.user, warning.c_str());
    });
}

int zem_create_fd(const char* folder, int fd, const zem_create_options* options,
                  zem_error* error) {
    const zem_create_options& o = options ? *options : kDefaults;
    return guardedCall(error, [&] {
        if (!folder || !*folder) failCall(ZEM_ERROR_ARGUMENT, "no folder given");
        if (fd < 0) failCall(ZEM_ERROR_ARGUMENT, "no descriptor given");
        const FileList files = listFolder(folder, scanOptionsOf(o));
        classified(ZEM_ERROR_IO, [&] {
            streamArchive(fd, "descriptor " + std::to_string(fd), files);
        });
    });
}

}  // extern "C"
