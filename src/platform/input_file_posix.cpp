#include "platform/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/open_path.h"

bool openInputFile(const std::string& path, InputFile& file) {
    const int fd = openPath(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    file.native.reset(fd);
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

size_t readInputFile(InputFile& file, char* into, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = read(file.native.fd(), into + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}
