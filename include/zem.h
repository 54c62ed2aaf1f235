/* libzem: reads, checks, extracts and creates .zem archives.
 *
 * The library is written in C++ but its interface is plain C: opaque handles, no global state,
 * nothing printed, no exit. Functions that look something up in an open archive return what they
 * find; functions that do input or output return a status (ZEM_OK or one of the ZEM_ERROR_
 * codes) and say what went wrong, an open archive in its handle (zem_archive_error), the others
 * in the zem_error the caller passes. docs/library.md describes every call. */
#ifndef ZEM_H
#define ZEM_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__) && !defined(_WIN32)
#define ZEM_API __attribute__((visibility("default")))
#else
#define ZEM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The major version: it changes only with an incompatible change of this interface, together with
 * the shared library's name (libzem.so.1). */
#define ZEM_VERSION_MAJOR 1

/* The library's version, "MAJOR.MINOR.PATCH". */
ZEM_API const char *zem_version(void);

/* Status codes. */
enum {
    ZEM_OK = 0,
    ZEM_ERROR_ARGUMENT = 1,  /* a null pointer, an index past the last entry, a bad option */
    ZEM_ERROR_MEMORY = 2,    /* an allocation failed */
    ZEM_ERROR_IO = 3,        /* opening, reading, listing or writing failed */
    ZEM_ERROR_DAMAGED = 4,   /* the archive's structure is not sound, or can't be read whole */
    ZEM_ERROR_NAME = 5,      /* a name that extraction refuses, or that an archive can't hold */
    ZEM_ERROR_NOT_FOUND = 6, /* a name given for extraction selects nothing */
    ZEM_ERROR_REFUSED = 7,   /* extraction would replace a file, write through a link, or put a
                                file where a folder is */
    ZEM_ERROR_TOO_LARGE = 8  /* a file of 4 GiB or more, or an archive past 4 GiB */
};

/* A status with its message, which names the operation and the path ("cannot open \"a.zem\": No
 * such file or directory"); a message longer than the buffer is cut at a character boundary.
 * Setting one allocates nothing. */
#define ZEM_MESSAGE_SIZE 1024
typedef struct zem_error {
    int code;
    char message[ZEM_MESSAGE_SIZE];
} zem_error;

/* An open archive, read and checked in full when it was opened. */
typedef struct zem_archive zem_archive;

/* Reads exactly `length` bytes at `offset` into `buffer`; returns 0 on success, anything else on
 * failure. Never asked for bytes past the size given to zem_open_reader. */
typedef int (*zem_read_fn)(void *user, uint64_t offset, void *buffer, size_t length);

/* Opens the archive file at `path` and checks its whole structure. Returns NULL on failure, with
 * `error` (when not NULL) set; on success `error`'s code is ZEM_OK. */
ZEM_API zem_archive *zem_open(const char *path, zem_error *error);

/* The same over the caller's bytes: `read` is called with `user` for every read, now and by later
 * calls on the archive, so `user` must stay valid until zem_close. */
ZEM_API zem_archive *zem_open_reader(zem_read_fn read, uint64_t size, void *user,
                                     zem_error *error);

/* Closes the archive; NULL is ignored. */
ZEM_API void zem_close(zem_archive *archive);

/* The status of the last call on the archive that returns one. Valid until the next such call. */
ZEM_API const zem_error *zem_archive_error(const zem_archive *archive);

/* The number of entries. */
ZEM_API size_t zem_count(const zem_archive *archive);

/* The entry's stored name: its folders and its file name joined by backslashes, as the archive
 * holds it. NULL when the index is past the last entry. Valid until zem_close. */
ZEM_API const char *zem_entry_name(const zem_archive *archive, size_t index);

/* The entry's size in bytes; 0 when the index is past the last entry. */
ZEM_API uint64_t zem_entry_size(const zem_archive *archive, size_t index);

/* A stored time: the calendar fields of the local time the archive holds, with no time zone. */
typedef struct zem_time {
    int year;   /* 1970 to 2038 */
    int month;  /* 1 to 12 */
    int day;    /* 1 to 31 */
    int hour;   /* 0 to 23 */
    int minute; /* 0 to 59 */
    int second; /* 0 to 59 */
} zem_time;

/* Sets `time` to the entry's stored time and returns 1; returns 0 (and zeroes `time`) when the
 * entry has no time or the index is past the last entry. */
ZEM_API int zem_entry_time(const zem_archive *archive, size_t index, zem_time *time);

/* Sets `seconds` to the entry's time in seconds since 1970-01-01 00:00:00 UTC, read in the UTC
 * offset in force now, the time extraction gives the file, and returns 1; returns 0 when the entry
 * has no time or the index is past the last entry. */
ZEM_API int zem_entry_seconds(const zem_archive *archive, size_t index, int64_t *seconds);

/* An entry as zem_entries gives it. */
typedef struct zem_entry {
    const char *name; /* the stored name, as zem_entry_name gives it; valid until zem_close */
    uint64_t size;    /* in bytes */
    uint64_t offset;  /* where its bytes begin in the archive */
    int has_time;     /* 1 when `time` holds the stored time; 0 (and `time` zeroed) when none */
    zem_time time;
} zem_entry;

/* Fills `entries` with up to `count` entries from index `first` on, in archive order, and returns
 * how many it filled: fewer than `count` only past the last entry. One call gives what the
 * zem_entry_ calls give one by one. */
ZEM_API size_t zem_entries(const zem_archive *archive, size_t first, zem_entry *entries,
                           size_t count);

/* Finds the entry stored under exactly `name` (backslashes between folders), in logarithmic
 * time. Sets `index` and returns 1; returns 0 when no entry has that name. Where a damaged archive
 * holds a name twice, the first entry. */
ZEM_API int zem_find(const zem_archive *archive, const char *name, size_t *index);

/* Reads up to `length` bytes of the entry from `offset` within it into `buffer`. Returns the
 * number of bytes read, fewer than `length` only at the entry's end (0 from there on), or -1 with
 * the archive's error set. */
ZEM_API int64_t zem_read(zem_archive *archive, size_t index, uint64_t offset, void *buffer,
                         size_t length);

/* The checks `zem verify ARCHIVE` makes beyond those of opening: every stored name as zem_extract
 * judges it (ZEM_ERROR_NAME for the first it refuses). */
ZEM_API int zem_check(zem_archive *archive);

/* zem_extract's flags. */
#define ZEM_EXTRACT_REPLACE 1u /* replace existing files of the same names */
/* `dest` itself must not be a symbolic link: it is opened (or made) relative to its parent and
 * held open, so a link planted there meanwhile is refused too. For a folder the program chose,
 * as `zem extract ARCHIVE` chooses the one beside the archive; a folder the user named may be
 * reached through a link. */
#define ZEM_EXTRACT_NO_LINK 2u

/* Told of a step that failed after a file was put in place, which extraction goes on from. */
typedef void (*zem_warning_fn)(void *user, const char *message);

/* Writes the entries below the folder `dest`, which is created when missing. With `names` (and
 * `name_count` above 0) only the entries they select: a pattern (`*`, `?`, `[...]`) that matches
 * a stored name or a folder it lies in, as `zem extract -C DEST NAME...` takes them. Everything
 * is checked before anything is written: every stored name of the archive, that every name
 * selects something, and every path below `dest` (no link followed, no file where a folder must
 * go, no existing file replaced without ZEM_EXTRACT_REPLACE). Each file appears whole, with its
 * stored time, or not at all. `warning` may be NULL. */
ZEM_API int zem_extract(zem_archive *archive, const char *dest, const char *const *names,
                        size_t name_count, unsigned flags, zem_warning_fn warning, void *user);

/* How zem_create lists the folder and stores times; NULL options are the defaults. */
typedef struct zem_create_options zem_create_options;

/* New options with the defaults: the file system's order, each file's own time, local time, no
 * exclusions. NULL when out of memory. */
ZEM_API zem_create_options *zem_create_options_new(void);
ZEM_API void zem_create_options_free(zem_create_options *options);

/* Lists each folder's entries in byte order of their names (1) or in the file system's order
 * (0), which differs between machines. */
ZEM_API void zem_create_options_set_sort(zem_create_options *options, int by_name);

/* The time rule. */
enum {
    ZEM_TIME_KEEP = 0,    /* each file's own time */
    ZEM_TIME_REPLACE = 1, /* `seconds` for every file */
    ZEM_TIME_CLAMP = 2    /* `seconds` for each file newer than it (SOURCE_DATE_EPOCH's rule) */
};
/* Sets the time rule, `seconds` counted from 1970-01-01 00:00:00 UTC. ZEM_ERROR_ARGUMENT for an
 * unknown rule; zem_create refuses a time outside the years an archive can store. */
ZEM_API int zem_create_options_set_time(zem_create_options *options, int rule, int64_t seconds);

/* Stores UTC calendar times (1) instead of the local ones in force (0). */
ZEM_API void zem_create_options_set_utc(zem_create_options *options, int utc);

/* Leaves out entries whose name, or whose path below the folder, matches the pattern; a folder
 * left out is not listed. ZEM_ERROR_MEMORY when out of memory. */
ZEM_API int zem_create_options_add_exclude(zem_create_options *options, const char *pattern);

/* Told of a step that failed after the archive was put in place (zem_create only). */
ZEM_API void zem_create_options_set_warning(zem_create_options *options, zem_warning_fn warning,
                                            void *user);

/* Packs the folder into the archive at `path`, which is replaced whole or left untouched. An
 * archive inside the folder leaves out its own earlier version. */
ZEM_API int zem_create(const char *folder, const char *path, const zem_create_options *options,
                       zem_error *error);

/* The same, written in one forward pass to the open descriptor `fd` (a pipe will do), which stays
 * open. A failure part way leaves a partial archive behind. */
ZEM_API int zem_create_fd(const char *folder, int fd, const zem_create_options *options,
                          zem_error *error);

#ifdef __cplusplus
}
#endif

#endif /* ZEM_H */
