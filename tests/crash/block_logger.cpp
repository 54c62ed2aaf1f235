// A file system of one disk image, for the crash tests: it serves the image file as "disk" and
// logs every write to it (offset and bytes) and every sync, in the order they arrive, so that a
// loop device on "disk" yields the block log of whatever a file system on it did. Writing a text
// to "mark" puts a mark with that text into the log at that point. One thread serves every
// request, so the log's order is the order the requests were answered in.
//
// Usage: zem-block-logger IMAGE LOG MOUNTPOINT   (stays in the foreground until unmounted)
//
// Log records: a kind byte, then 'W': offset (u64) and length (u32) and the bytes; 'F': nothing;
// 'M': length (u32) and the text. Numbers in the machine's byte order.

#define FUSE_USE_VERSION 312
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int image = -1;
FILE* logFile = nullptr;

bool logRecord(char kind, const void* head, size_t headSize, const void* data, size_t size) {
    return fwrite(&kind, 1, 1, logFile) == 1 &&
           (headSize == 0 || fwrite(head, headSize, 1, logFile) == 1) &&
           (size == 0 || fwrite(data, size, 1, logFile) == 1);
}

int getattrOf(const char* path, struct stat* st, fuse_file_info*) {
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/disk") == 0) {
        if (fstat(image, st) != 0) return -errno;
        st->st_ino = 2;
        return 0;
    }
    if (strcmp(path, "/mark") == 0) {
        st->st_mode = S_IFREG | 0200;
        st->st_nlink = 1;
        return 0;
    }
    return -ENOENT;
}

int openFile(const char* path, fuse_file_info* fi) {
    if (strcmp(path, "/disk") != 0 && strcmp(path, "/mark") != 0) return -ENOENT;
    fi->direct_io = 1;  // the loop device's O_DIRECT reaches us unbuffered
    return 0;
}

int truncateFile(const char* path, off_t, fuse_file_info*) {
    return strcmp(path, "/mark") == 0 ? 0 : -EPERM;
}

int readFile(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
    if (strcmp(path, "/disk") != 0) return -EACCES;
    const ssize_t n = pread(image, buf, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int writeFile(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info*) {
    if (strcmp(path, "/mark") == 0) {
        const uint32_t length = static_cast<uint32_t>(size);
        if (!logRecord('M', &length, sizeof length, buf, size)) return -EIO;
        return fflush(logFile) == 0 ? static_cast<int>(size) : -EIO;
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(image, buf + done, size - done, offset + done);
        if (n < 0) return -errno;
        done += static_cast<size_t>(n);
    }
    struct __attribute__((packed)) {
        uint64_t offset;
        uint32_t length;
    } head{static_cast<uint64_t>(offset), static_cast<uint32_t>(size)};
    return logRecord('W', &head, sizeof head, buf, size) ? static_cast<int>(size) : -EIO;
}

int syncFile(const char* path, int, fuse_file_info*) {
    if (strcmp(path, "/disk") != 0) return 0;
    return logRecord('F', nullptr, 0, nullptr, 0) && fflush(logFile) == 0 ? 0 : -EIO;
}

int listRoot(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
             fuse_readdir_flags) {
    if (strcmp(path, "/") != 0) return -ENOTDIR;
    for (const char* name : {".", "..", "disk", "mark"}) {
        fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: zem-block-logger IMAGE LOG MOUNTPOINT\n");
        return 2;
    }
    image = open(argv[1], O_RDWR | O_CLOEXEC);
    if (image < 0) {
        fprintf(stderr, "zem-block-logger: cannot open \"%s\": %s\n", argv[1], strerror(errno));
        return 1;
    }
    logFile = fopen(argv[2], "wbe");
    if (!logFile) {
        fprintf(stderr, "zem-block-logger: cannot create \"%s\": %s\n", argv[2], strerror(errno));
        return 1;
    }
    static char buffer[1 << 20];
    setvbuf(logFile, buffer, _IOFBF, sizeof buffer);
    fuse_operations ops{};
    ops.getattr = getattrOf;
    ops.open = openFile;
    ops.truncate = truncateFile;
    ops.read = readFile;
    ops.write = writeFile;
    ops.fsync = syncFile;
    ops.readdir = listRoot;
    std::string self = argv[0];
    char* args[] = {self.data(), const_cast<char*>("-f"), const_cast<char*>("-s"), argv[3],
                    nullptr};
    const int code = fuse_main(4, args, &ops, nullptr);
    if (fclose(logFile) != 0) {
        fprintf(stderr, "zem-block-logger: cannot write \"%s\": %s\n", argv[2], strerror(errno));
        return 1;
    }
    return code;
}
