/* The C interface (include/zem.h) from C, as its users call it. One table per behaviour; each is
 * its own CTest entry: library_test TABLE. Archives are made byte by byte here, so that damaged
 * and hostile ones can be made too. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "zem.h"

static int failures;

#define CHECK(condition, ...)                                        \
    do {                                                             \
        if (!(condition)) {                                          \
            fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, what); \
            fprintf(stderr, __VA_ARGS__);                            \
            fputc('\n', stderr);                                     \
            ++failures;                                              \
        }                                                            \
    } while (0)

/* ---- archives in memory ---- */

struct entry {
    const char *name;
    const char *data; /* NULL: the name itself */
    int year, month, day, hour, minute, second; /* year 0: no time */
};

struct bytes {
    unsigned char data[1 << 16];
    size_t size;
};

static void put32(unsigned char *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = (unsigned char)(value >> (8 * i));
}

static const char *data_of(const struct entry *e) { return e->data ? e->data : e->name; }

/* The archive of `count` entries: header, data, index, records. */
static void build(struct bytes *out, const struct entry *entries, size_t count) {
    size_t at = 28;
    uint32_t offsets[64];
    for (size_t i = 0; i < count; ++i) {
        offsets[i] = (uint32_t)at;
        memcpy(out->data + at, data_of(&entries[i]), strlen(data_of(&entries[i])));
        at += strlen(data_of(&entries[i]));
    }
    const size_t index = at, records = index + 4 * count;
    at = records;
    for (size_t i = 0; i < count; ++i) {
        const struct entry *e = &entries[i];
        put32(out->data + index + 4 * i, (uint32_t)(at - records));
        const uint32_t length = (uint32_t)strlen(data_of(e));
        put32(out->data + at, offsets[i]);
        put32(out->data + at + 4, length);
        put32(out->data + at + 8, length);
        unsigned char *t = out->data + at + 12;
        t[0] = (unsigned char)e->year;
        t[1] = (unsigned char)(e->year >> 8);
        t[2] = (unsigned char)e->month;
        t[3] = (unsigned char)e->day;
        t[4] = (unsigned char)e->hour;
        t[5] = (unsigned char)e->minute;
        t[6] = (unsigned char)e->second;
        t[7] = 0;
        memcpy(out->data + at + 20, e->name, strlen(e->name) + 1);
        at += 20 + strlen(e->name) + 1;
    }
    memset(out->data, 0, 12);
    put32(out->data + 12, (uint32_t)count);
    put32(out->data + 16, (uint32_t)(at - records));
    put32(out->data + 20, (uint32_t)index);
    put32(out->data + 24, 8);
    out->size = at;
}

/* The bytes as a read callback sees them; reads from `fail_from` on fail. */
struct memory {
    const struct bytes *bytes;
    uint64_t fail_from;
};

static int read_memory(void *user, uint64_t offset, void *buffer, size_t length) {
    const struct memory *m = user;
    if (offset + length > m->fail_from || offset + length > m->bytes->size) return -1;
    memcpy(buffer, m->bytes->data + offset, length);
    return 0;
}

static zem_archive *open_memory(struct memory *m, zem_error *error) {
    return zem_open_reader(read_memory, m->bytes->size, m, error);
}

/* ---- folders ---- */

static char scratch[256];

static int remove_one(const char *path, const struct stat *st, int flag, struct FTW *ftw) {
    (void)st, (void)flag, (void)ftw;
    return remove(path);
}

static void new_scratch(void) {
    if (scratch[0]) nftw(scratch, remove_one, 16, FTW_DEPTH | FTW_PHYS);
    snprintf(scratch, sizeof scratch, "%s/zem-library-XXXXXX",
             getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (!mkdtemp(scratch)) {
        perror("mkdtemp");
        exit(1);
    }
}

static const char *in_scratch(const char *path) {
    static char full[4][1024];
    static int next;
    char *p = full[next++ % 4];
    snprintf(p, sizeof full[0], "%s/%s", scratch, path);
    return p;
}

static void write_file(const char *path, const char *text) {
    FILE *f = fopen(in_scratch(path), "wb");
    if (!f || fputs(text, f) < 0 || fclose(f) != 0) {
        perror(path);
        exit(1);
    }
}

/* The file's text, or "(none)" when it can't be read. */
static const char *file_text(const char *path) {
    static char text[256];
    FILE *f = fopen(in_scratch(path), "rb");
    if (!f) return "(none)";
    const size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    return text;
}

static int exists(const char *path) {
    struct stat st;
    return lstat(in_scratch(path), &st) == 0;
}

/* ---- the tables ---- */

/* Damaged bytes are refused when the archive is opened, as damage, never read later (the reader's
 * own tests go through every check). */
static void open_table(void) {
    const char *what = "sound";
    const struct entry entries[] = {{"a", "alpha", 0}, {"dir\\b", "beta", 2020, 5, 6, 7, 8, 9}};
    struct bytes sound;
    build(&sound, entries, 2);
    static const struct {
        const char *what;
        size_t at;      /* a byte to change, or (size_t)-1 */
        unsigned char value;
        long cut;       /* bytes taken off the end */
        long fail_from; /* reads from here fail; -1 never */
        int code;
    } cases[] = {
        {"sound", (size_t)-1, 0, 0, -1, ZEM_OK},
        {"one byte short", (size_t)-1, 0, 1, -1, ZEM_ERROR_DAMAGED},
        {"a byte too many", (size_t)-1, 0, -1, -1, ZEM_ERROR_DAMAGED},
        {"header's fixed value", 24, 9, 0, -1, ZEM_ERROR_DAMAGED},
        {"file count past the index", 12, 200, 0, -1, ZEM_ERROR_DAMAGED},
        {"data offset past the data", 37 + 8, 0xF0, 0, -1, ZEM_ERROR_DAMAGED},
        {"the callback fails", (size_t)-1, 0, 0, 30, ZEM_ERROR_DAMAGED},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        what = cases[i].what;
        struct bytes b = sound;
        if (cases[i].at != (size_t)-1) b.data[cases[i].at] = cases[i].value;
        b.size = (size_t)((long)b.size - cases[i].cut);
        struct memory m = {&b, cases[i].fail_from < 0 ? UINT64_MAX : (uint64_t)cases[i].fail_from};
        zem_error error;
        zem_archive *archive = open_memory(&m, &error);
        CHECK(error.code == cases[i].code, "code %d, expected %d (%s)", error.code, cases[i].code,
              error.message);
        CHECK((archive != NULL) == (cases[i].code == ZEM_OK), "handle %p", (void *)archive);
        CHECK((cases[i].code == ZEM_OK) == (error.message[0] == '\0'), "message \"%s\"",
              error.message);
        zem_close(archive);
    }

    what = "missing file";
    new_scratch();
    zem_error error;
    CHECK(!zem_open(in_scratch("missing.zem"), &error) && error.code == ZEM_ERROR_IO &&
              strstr(error.message, "missing.zem"),
          "code %d \"%s\"", error.code, error.message);
    what = "a folder";
    CHECK(!zem_open(scratch, &error) && error.code == ZEM_ERROR_IO, "code %d", error.code);
    what = "no path, no callback";
    CHECK(!zem_open(NULL, &error) && error.code == ZEM_ERROR_ARGUMENT, "code %d", error.code);
    CHECK(!zem_open_reader(NULL, 0, NULL, NULL), "opened without a callback");
    what = "on disk";
    FILE *f = fopen(in_scratch("a.zem"), "wb");
    fwrite(sound.data, 1, sound.size, f);
    fclose(f);
    zem_archive *archive = zem_open(in_scratch("a.zem"), &error);
    CHECK(archive && zem_count(archive) == 2, "code %d \"%s\"", error.code, error.message);
    zem_close(archive);
    what = "version";
    char major[16];
    snprintf(major, sizeof major, "%d.", ZEM_VERSION_MAJOR);
    CHECK(strncmp(zem_version(), major, strlen(major)) == 0, "version %s", zem_version());
}

/* Each entry's name, size and time, and zem_find over names in no order of their own. */
static void lookup_table(void) {
    const char *what = "entries";
    static struct entry entries[40] = {
        {"zeta", "12345", 2026, 12, 7, 23, 9, 18},
        {"a\\b\\c", "", 0},
        {"a\\b", "xy", 1970, 1, 1, 0, 0, 0},
        {"A", "q", 2038, 12, 31, 23, 59, 59},
    };
    static char names[40][8];
    for (int i = 4; i < 40; ++i) {
        snprintf(names[i], sizeof names[i], "n%02d", (i * 17) % 40);
        entries[i].name = names[i];
    }
    struct bytes b;
    build(&b, entries, 40);
    struct memory m = {&b, UINT64_MAX};
    zem_archive *archive = open_memory(&m, NULL);
    CHECK(archive && zem_count(archive) == 40, "count %zu", zem_count(archive));
    if (!archive) return;
    static const struct {
        size_t index;
        const char *name;
        uint64_t size;
        int has_time;
        zem_time time;
        int64_t seconds; /* with TZ=UTC */
    } cases[] = {
        {0, "zeta", 5, 1, {2026, 12, 7, 23, 9, 18}, 1796684958},
        {1, "a\\b\\c", 0, 0, {0, 0, 0, 0, 0, 0}, 0},
        {2, "a\\b", 2, 1, {1970, 1, 1, 0, 0, 0}, 0},
        {3, "A", 1, 1, {2038, 12, 31, 23, 59, 59}, 2177452799},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        what = cases[i].name;
        const size_t at = cases[i].index;
        CHECK(strcmp(zem_entry_name(archive, at), cases[i].name) == 0, "name %s",
              zem_entry_name(archive, at));
        CHECK(zem_entry_size(archive, at) == cases[i].size, "size");
        zem_time t = {9, 9, 9, 9, 9, 9};
        CHECK(zem_entry_time(archive, at, &t) == cases[i].has_time &&
                  memcmp(&t, &cases[i].time, sizeof t) == 0,
              "time %d-%d-%d %d:%d:%d", t.year, t.month, t.day, t.hour, t.minute, t.second);
        int64_t seconds = -1;
        CHECK(zem_entry_seconds(archive, at, &seconds) == cases[i].has_time &&
                  (!cases[i].has_time || seconds == cases[i].seconds),
              "seconds %lld", (long long)seconds);
        zem_entry e[2];
        memset(e, 9, sizeof e);
        CHECK(zem_entries(archive, at, e, 1) == 1 && strcmp(e[0].name, cases[i].name) == 0 &&
                  e[0].size == cases[i].size && e[0].has_time == cases[i].has_time &&
                  memcmp(&e[0].time, &cases[i].time, sizeof t) == 0 && e[1].size != 0,
              "zem_entries");
    }
    what = "zem_entries";
    zem_entry all[41];
    CHECK(zem_entries(archive, 0, all, 41) == 40 && zem_entries(archive, 38, all, 5) == 2 &&
              zem_entries(archive, 40, all, 1) == 0 && zem_entries(archive, SIZE_MAX, all, 1) == 0,
          "counts");
    /* The entries' bytes lie back to back after the 28-byte header, in archive order. */
    zem_entries(archive, 0, all, 40);
    uint64_t offset = 28;
    for (size_t i = 0; i < 40; ++i) {
        CHECK(all[i].offset == offset && all[i].name == zem_entry_name(archive, i), "entry %zu",
              i);
        offset += all[i].size;
    }
    what = "past the last entry";
    zem_time t;
    CHECK(!zem_entry_name(archive, 40) && zem_entry_size(archive, 40) == 0 &&
              !zem_entry_time(archive, 40, &t) && !zem_entry_seconds(archive, 40, NULL),
          "an entry 40");

    for (size_t i = 0; i < 40; ++i) {
        what = entries[i].name;
        size_t index = 99;
        CHECK(zem_find(archive, entries[i].name, &index) && index == i, "found at %zu", index);
    }
    static const char *absent[] = {"", "a", "a\\", "a\\b\\c\\", "zet", "zetaa", "Zeta", "n40", "~"};
    for (size_t i = 0; i < sizeof absent / sizeof absent[0]; ++i) {
        what = absent[i];
        size_t index = 99;
        CHECK(!zem_find(archive, absent[i], &index) && index == 99, "found at %zu", index);
    }
    zem_close(archive);

    what = "a name stored twice";
    const struct entry twice[] = {{"b", "1", 0}, {"a", "2", 0}, {"b", "3", 0}};
    build(&b, twice, 3);
    archive = open_memory(&m, NULL);
    size_t index = 99;
    CHECK(archive && zem_find(archive, "b", &index) && index == 0, "found at %zu", index);
    zem_close(archive);
}

/* Ranges of an entry: short only at its end, failures as statuses. */
static void read_table(void) {
    const char *what = "";
    const struct entry entries[] = {{"first", "0123456789", 0}, {"second", "abc", 0}};
    struct bytes b;
    build(&b, entries, 2);
    struct memory m = {&b, UINT64_MAX};
    zem_archive *archive = open_memory(&m, NULL);
    if (!archive) {
        ++failures;
        return;
    }
    static const struct {
        const char *what;
        size_t index;
        uint64_t offset;
        size_t length;
        int64_t result;
        const char *bytes;
        int code;
    } cases[] = {
        {"whole", 0, 0, 10, 10, "0123456789", ZEM_OK},
        {"middle", 0, 3, 4, 4, "3456", ZEM_OK},
        {"past its end", 0, 7, 100, 3, "789", ZEM_OK},
        {"from its end", 0, 10, 5, 0, "", ZEM_OK},
        {"far past its end", 0, UINT64_MAX, 5, 0, "", ZEM_OK},
        {"nothing", 1, 1, 0, 0, "", ZEM_OK},
        {"the next entry stays out", 1, 0, 100, 3, "abc", ZEM_OK},
        {"no such entry", 2, 0, 1, -1, "", ZEM_ERROR_ARGUMENT},
        {"the callback fails", 1, 0, 3, -1, "", ZEM_ERROR_IO},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        what = cases[i].what;
        m.fail_from = cases[i].code == ZEM_ERROR_IO ? 28 : UINT64_MAX;
        char buffer[128];
        memset(buffer, '#', sizeof buffer);
        const int64_t n =
            zem_read(archive, cases[i].index, cases[i].offset, buffer, cases[i].length);
        CHECK(n == cases[i].result, "read %lld", (long long)n);
        CHECK(n < 0 || (memcmp(buffer, cases[i].bytes, (size_t)n) == 0 && buffer[n] == '#'),
              "bytes %.*s", (int)(n < 0 ? 0 : n), buffer);
        CHECK(zem_archive_error(archive)->code == cases[i].code, "code %d \"%s\"",
              zem_archive_error(archive)->code, zem_archive_error(archive)->message);
    }
    zem_close(archive);
}

/* Extraction writes all or the selected files, and refuses, before writing anything, what `zem
 * extract` refuses. */
static void warned(void *user, const char *message) {
    (void)message;
    ++*(int *)user;
}

static void extract_table(void) {
    enum setup { NONE, OLD_FILE, LINK_OUT, FOLDER_AT, DEST_FILE, DEST_LINK };
    static const struct {
        const char *what;
        const char *names[4];
        enum setup setup;
        const char *setup_at; /* below dest */
        unsigned flags;
        const char *select[3];
        int code;
        const char *check; /* below the scratch folder */
        const char *text;  /* what it holds then, or "(none)" */
    } cases[] = {
        {"every file", {"a", "sub\\b", NULL}, NONE, "", 0, {NULL}, ZEM_OK, "dest/sub/b", "sub\\b"},
        {"a \"..\" component", {"a", "..\\evil", NULL}, NONE, "", 0, {NULL}, ZEM_ERROR_NAME,
         "dest/a", "(none)"},
        {"an empty component", {"\\a", NULL}, NONE, "", 0, {NULL}, ZEM_ERROR_NAME, "dest/a",
         "(none)"},
        {"stored twice", {"a", "a", NULL}, NONE, "", 0, {NULL}, ZEM_ERROR_NAME, "dest/a", "(none)"},
        {"a file that is a folder too", {"a", "a\\b", NULL}, NONE, "", 0, {NULL}, ZEM_ERROR_NAME,
         "dest/a", "(none)"},
        {"unselected names are checked too", {"a", "..\\evil", NULL}, NONE, "", 0, {"a", NULL},
         ZEM_ERROR_NAME, "dest/a", "(none)"},
        {"an existing file", {"b", "a", NULL}, OLD_FILE, "a", 0, {NULL}, ZEM_ERROR_REFUSED, "dest/a",
         "old"},
        {"an existing file replaced", {"b", "a", NULL}, OLD_FILE, "a", ZEM_EXTRACT_REPLACE, {NULL},
         ZEM_OK, "dest/a", "a"},
        {"a link on the way", {"a", "sub\\b", NULL}, LINK_OUT, "sub", ZEM_EXTRACT_REPLACE, {NULL},
         ZEM_ERROR_REFUSED, "outside/b", "(none)"},
        {"a folder where a file goes", {"b", "a", NULL}, FOLDER_AT, "a", ZEM_EXTRACT_REPLACE, {NULL},
         ZEM_ERROR_REFUSED, "dest/b", "(none)"},
        {"a file where a folder goes", {"b", "a\\c", NULL}, OLD_FILE, "a", ZEM_EXTRACT_REPLACE,
         {NULL}, ZEM_ERROR_REFUSED, "dest/b", "(none)"},
        {"the destination is a file", {"a", NULL}, DEST_FILE, "", 0, {NULL}, ZEM_ERROR_REFUSED,
         "dest", "old"},
        {"a selection", {"a", "sub\\b", "sub\\c"}, NONE, "", 0, {"sub", NULL}, ZEM_OK, "dest/a",
         "(none)"},
        {"a selection's files", {"a", "sub\\b", "sub\\c"}, NONE, "", 0, {"a", "*\\c", NULL}, ZEM_OK,
         "dest/sub/c", "sub\\c"},
        {"a name that selects nothing", {"a", "b", NULL}, NONE, "", 0, {"a", "zzz", NULL},
         ZEM_ERROR_NOT_FOUND, "dest/a", "(none)"},
        {"the destination a link, followed", {"a", NULL}, DEST_LINK, "", 0, {NULL}, ZEM_OK,
         "outside/a", "a"},
        {"the destination a link, refused", {"a", NULL}, DEST_LINK, "", ZEM_EXTRACT_NO_LINK, {NULL},
         ZEM_ERROR_REFUSED, "outside/a", "(none)"},
        {"unknown flags", {"a", NULL}, NONE, "", 4, {NULL}, ZEM_ERROR_ARGUMENT, "dest/a", "(none)"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const char *what = cases[i].what;
        new_scratch();
        struct entry entries[4];
        size_t count = 0;
        for (; count < 4 && cases[i].names[count]; ++count) {
            entries[count] = (struct entry){cases[i].names[count], NULL, 2020, 1, 2, 3, 4, 5};
        }
        static struct bytes b;
        build(&b, entries, count);
        struct memory m = {&b, UINT64_MAX};
        zem_archive *archive = open_memory(&m, NULL);
        if (!archive) {
            CHECK(0, "not opened");
            continue;
        }
        char path[64];
        snprintf(path, sizeof path, "dest/%s", cases[i].setup_at);
        if (cases[i].setup != DEST_FILE && cases[i].setup != DEST_LINK) {
            mkdir(in_scratch("dest"), 0755);
        }
        mkdir(in_scratch("outside"), 0755);
        switch (cases[i].setup) {
            case NONE: break;
            case OLD_FILE: write_file(path, "old"); break;
            case LINK_OUT: symlink(in_scratch("outside"), in_scratch(path)); break;
            case FOLDER_AT: mkdir(in_scratch(path), 0755); break;
            case DEST_FILE: write_file("dest", "old"); break;
            case DEST_LINK: symlink(in_scratch("outside"), in_scratch("dest")); break;
        }
        size_t selected = 0;
        while (cases[i].select[selected]) ++selected;
        CHECK(zem_check(archive) == (cases[i].code == ZEM_ERROR_NAME ? ZEM_ERROR_NAME : ZEM_OK),
              "zem_check gave %d", zem_archive_error(archive)->code);
        int warnings = 0;
        const int code = zem_extract(archive, in_scratch("dest"), cases[i].select, selected,
                                     cases[i].flags, warned, &warnings);
        CHECK(code == cases[i].code && zem_archive_error(archive)->code == code,
              "code %d, expected %d (%s)", code, cases[i].code, zem_archive_error(archive)->message);
        CHECK(strcmp(file_text(cases[i].check), cases[i].text) == 0, "%s holds \"%s\"",
              cases[i].check, file_text(cases[i].check));
        CHECK(!exists("evil") && !exists("outside/b") && warnings == 0, "written outside");
        if (code == ZEM_OK) {
            struct stat st;
            CHECK(stat(in_scratch(cases[i].check), &st) != 0 || st.st_mtime == 1577934245,
                  "time %lld", (long long)st.st_mtime);
        }
        zem_close(archive);
    }
}

/* zem_create with the options of zem create, read back through zem_open. */
static void create_table(void) {
    enum target { PATH, DESCRIPTOR, INSIDE, MISSING_FOLDER };
    static const struct {
        const char *what;
        int sort, rule;
        int64_t seconds;
        int utc;
        const char *exclude;
        enum target target;
        int code;
        const char *names; /* in archive order, joined by spaces (with sort) */
        int year;          /* of every entry, or 0: not checked */
    } cases[] = {
        {"sorted", 1, ZEM_TIME_KEEP, 0, 0, NULL, PATH, ZEM_OK, "b.tmp d\\c.txt e", 0},
        {"excluded", 1, ZEM_TIME_KEEP, 0, 0, "*.tmp", PATH, ZEM_OK, "d\\c.txt e", 0},
        {"a folder excluded", 1, ZEM_TIME_KEEP, 0, 0, "d", PATH, ZEM_OK, "b.tmp e", 0},
        {"one time for all", 1, ZEM_TIME_REPLACE, 946684800, 1, NULL, PATH, ZEM_OK,
         "b.tmp d\\c.txt e", 2000},
        {"a cap in the past", 1, ZEM_TIME_CLAMP, 946684800, 1, NULL, PATH, ZEM_OK,
         "b.tmp d\\c.txt e", 2000},
        {"to a descriptor", 1, ZEM_TIME_REPLACE, 946684800, 1, NULL, DESCRIPTOR, ZEM_OK,
         "b.tmp d\\c.txt e", 2000},
        {"its own earlier version", 1, ZEM_TIME_KEEP, 0, 0, NULL, INSIDE, ZEM_OK,
         "b.tmp d\\c.txt e", 0},
        {"a time past 2038", 1, ZEM_TIME_REPLACE, 2240524800, 1, NULL, PATH, ZEM_ERROR_ARGUMENT, "",
         0},
        {"before 1970", 1, ZEM_TIME_REPLACE, -1, 1, NULL, PATH, ZEM_ERROR_ARGUMENT, "", 0},
        {"no folder", 1, ZEM_TIME_KEEP, 0, 0, NULL, MISSING_FOLDER, ZEM_ERROR_IO, "", 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const char *what = cases[i].what;
        new_scratch();
        mkdir(in_scratch("in"), 0755);
        mkdir(in_scratch("in/d"), 0755);
        write_file("in/e", "e");
        write_file("in/b.tmp", "b");
        write_file("in/d/c.txt", "c");
        zem_create_options *options = zem_create_options_new();
        zem_create_options_set_sort(options, cases[i].sort);
        CHECK(zem_create_options_set_time(options, cases[i].rule, cases[i].seconds) == ZEM_OK,
              "time rule");
        zem_create_options_set_utc(options, cases[i].utc);
        if (cases[i].exclude) zem_create_options_add_exclude(options, cases[i].exclude);
        const char *folder = in_scratch(cases[i].target == MISSING_FOLDER ? "none" : "in");
        const char *archive_path = in_scratch(cases[i].target == INSIDE ? "in/x.zem" : "x.zem");
        zem_error error;
        int code;
        if (cases[i].target == DESCRIPTOR) {
            const int fd = open(archive_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            code = zem_create_fd(folder, fd, options, &error);
            close(fd);
        } else {
            code = zem_create(folder, archive_path, options, &error);
            if (cases[i].target == INSIDE && code == ZEM_OK) {
                code = zem_create(folder, archive_path, options, &error);
            }
        }
        zem_create_options_free(options);
        CHECK(code == cases[i].code && error.code == code, "code %d, expected %d (%s)", code,
              cases[i].code, error.message);
        if (code != ZEM_OK) {
            CHECK(!exists(cases[i].target == INSIDE ? "in/x.zem" : "x.zem"), "an archive written");
            continue;
        }
        zem_archive *archive = zem_open(archive_path, &error);
        CHECK(archive != NULL, "not opened: %s", error.message);
        if (!archive) continue;
        char names[256] = "";
        for (size_t e = 0; e < zem_count(archive); ++e) {
            if (e) strcat(names, " ");
            strncat(names, zem_entry_name(archive, e), 64);
            zem_time t;
            CHECK(!cases[i].year ||
                      (zem_entry_time(archive, e, &t) && t.year == cases[i].year && t.month == 1),
                  "time of %s", zem_entry_name(archive, e));
        }
        CHECK(strcmp(names, cases[i].names) == 0, "names \"%s\"", names);
        zem_close(archive);
    }

    const char *what = "an unknown time rule";
    zem_create_options *options = zem_create_options_new();
    CHECK(zem_create_options_set_time(options, 3, 0) == ZEM_ERROR_ARGUMENT, "accepted");
    zem_create_options_free(options);
    what = "no folder given";
    zem_error error;
    CHECK(zem_create(NULL, "x.zem", NULL, &error) == ZEM_ERROR_ARGUMENT &&
              zem_create_fd("", 1, NULL, NULL) == ZEM_ERROR_ARGUMENT,
          "code %d", error.code);
}

/* Running out of memory is a status like any other, never an abort. Each case runs in a child
 * whose address space is capped a little above what it has, and asks for far more. The
 * sanitizers reserve terabytes of address space, so a cap can't work under them: skipped. */
enum { SKIPPED = 77 };
static int table_result;

static void memory_table(void) {
#ifdef __SANITIZE_ADDRESS__
    table_result = SKIPPED;
#else
    const struct entry entries[] = {{"a", "alpha", 0}};
    static struct bytes b;
    build(&b, entries, 1);
    static const char *const cases[] = {"an exclusion", "a name to extract"};
    for (int i = 0; i < 2; ++i) {
        const char *what = cases[i];
        const pid_t child = fork();
        if (child == 0) {
            struct memory m = {&b, UINT64_MAX};
            zem_archive *archive = open_memory(&m, NULL);
            zem_create_options *options = zem_create_options_new();
            const size_t huge = (size_t)64 << 20;
            char *text = malloc(huge + 1);
            if (!archive || !options || !text) _exit(100);
            memset(text, 'x', huge);
            text[huge] = '\0';
            long pages = 0;
            FILE *statm = fopen("/proc/self/statm", "r");
            if (!statm || fscanf(statm, "%ld", &pages) != 1) _exit(101);
            fclose(statm);
            const rlim_t cap = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + ((rlim_t)16 << 20);
            const struct rlimit limit = {cap, cap};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(102);
            const char *names[] = {text};
            const int code = i == 0 ? zem_create_options_add_exclude(options, text)
                                    : zem_extract(archive, "/nonexistent", names, 1, 0, NULL, NULL);
            if (i == 1 && strcmp(zem_archive_error(archive)->message, "out of memory") != 0) {
                _exit(103);
            }
            _exit(code);
        }
        int status = 0;
        CHECK(child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                  WEXITSTATUS(status) == ZEM_ERROR_MEMORY,
              "child ended with status 0x%x", status);
    }
#endif
}

int main(int argc, char **argv) {
    static const struct {
        const char *name;
        void (*run)(void);
    } tables[] = {{"open", open_table},
                  {"lookup", lookup_table},
                  {"read", read_table},
                  {"extract", extract_table},
                  {"create", create_table},
                  {"memory", memory_table}};
    /* The stored local times read as UTC: zem_entry_seconds and the extracted files' times are
     * then the calendar fields' own seconds. */
    setenv("TZ", "UTC", 1);
    tzset();
    int ran = 0;
    for (size_t i = 0; i < sizeof tables / sizeof tables[0]; ++i) {
        if (argc > 1 && strcmp(argv[1], tables[i].name) != 0) continue;
        tables[i].run();
        ++ran;
    }
    if (scratch[0]) nftw(scratch, remove_one, 16, FTW_DEPTH | FTW_PHYS);
    if (!ran) fprintf(stderr, "no table named %s\n", argv[1]);
    if (!ran) return 1;
    return failures ? 1 : table_result;
}
