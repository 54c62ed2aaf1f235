#include "platform/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/open_path.h"

InputFile openInputFile(const std::string& path) {
    InputFile file;
    file.native.reset(openPath(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file.native.valid()) failSystemCall("open", path);
    struct stat st {};
    if (fstat(file.native.fd(), &st) != 0) failSystemCall("look at", path);
    if (!S_ISREG(st.st_mode)) {
        throw SystemFailure("\"" + path + "\" is no regular file", "open", path, EINVAL);
    }
    file.path = path;
    return file;
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
