/* Prints the bytes of one file stored in a .zem archive, as `zem cat` does.
 * Usage: print_entry ARCHIVE NAME   (NAME as stored, folders joined by backslashes) */
#include <stdio.h>
#include <zem.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ARCHIVE NAME\n", argv[0]);
        return 2;
    }
    zem_error error;
    zem_archive *archive = zem_open(argv[1], &error);
    if (!archive) {
        fprintf(stderr, "print_entry: %s\n", error.message);
        return 1;
    }
    size_t index;
    if (!zem_find(archive, argv[2], &index)) {
        fprintf(stderr, "print_entry: %s holds no \"%s\"\n", argv[1], argv[2]);
        zem_close(archive);
        return 1;
    }
    char buffer[65536];
    uint64_t offset = 0;
    int64_t n;
    while ((n = zem_read(archive, index, offset, buffer, sizeof buffer)) > 0) {
        if (fwrite(buffer, 1, (size_t)n, stdout) != (size_t)n) {
            perror("print_entry: stdout");
            zem_close(archive);
            return 1;
        }
        offset += (uint64_t)n;
    }
    if (n < 0) fprintf(stderr, "print_entry: %s\n", zem_archive_error(archive)->message);
    zem_close(archive);
    return n < 0 || fflush(stdout) != 0 ? 1 : 0;
}
