// The helpers of test_util.h on POSIX systems: files and folders, the time zone, child processes.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "test_util.h"

namespace {

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Relative to the open parent folder, so that trees whose paths pass PATH_MAX go too.
void removeTreeAt(int parent, const std::string& name) {
    struct stat st {};
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlinkat(parent, name.c_str(), 0);
        return;
    }
    fchmodat(parent, name.c_str(), 0700, 0);
    const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        std::vector<std::string> names;
        if (DIR* dir = fdopendir(dup(fd))) {
            while (const dirent* ent = readdir(dir)) {
                const std::string entry = ent->d_name;
                if (entry != "." && entry != "..") names.push_back(entry);
            }
            closedir(dir);
        }
        for (const std::string& entry : names) removeTreeAt(fd, entry);
        close(fd);
    }
    unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

void removeTree(const std::string& path) { removeTreeAt(AT_FDCWD, path); }

std::string drain(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zem-test-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path = pattern;
}

TempDir::~TempDir() { removeTree(path); }

void makeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) check(false, "mkdir " + part);
        if (slash == std::string::npos) break;
    }
}

void setModifiedTime(const std::string& path, int64_t utcSeconds) {
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(utcSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    check(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat " + path);
}

int64_t modifiedTime(const std::string& path) {
    struct stat st {};
    check(stat(path.c_str(), &st) == 0, "stat " + path);
    return st.st_mtim.tv_sec;
}

void setFileSize(const std::string& path, uint64_t size) {
    check(truncate(path.c_str(), static_cast<off_t>(size)) == 0, "truncate " + path);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> listNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* ent = readdir(dir)) {
        const std::string name = ent->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void makeLinkFanOut(const std::string& folder) {
    const std::string longName(200, 'l');
    for (int d = 0; d <= 11; ++d) {
        const std::string level = folder + "/d" + std::to_string(d);
        makeDirs(level);
        writeFile(level + "/f", "f");
        if (d == 11) break;
        for (int k = 0; k < 4; ++k) {
            const std::string link = level + "/" + std::to_string(k) + longName;
            check(symlink(("../d" + std::to_string(d + 1)).c_str(), link.c_str()) == 0,
                  "symlink " + link);
        }
    }
}

int64_t currentUtcOffset() {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

ScopedVariable::ScopedVariable(const char* variable, const char* value) : name(variable) {
    if (const char* current = std::getenv(variable)) {
        hadOld = true;
        old = current;
    }
    check(value ? setenv(variable, value, 1) == 0 : unsetenv(variable) == 0, "setenv");
}

ScopedVariable::~ScopedVariable() {
    if (hadOld) {
        setenv(name.c_str(), old.c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

ScopedTimeZone::ScopedTimeZone(const char* zone) {
    if (const char* value = std::getenv("TZ")) {
        hadOld = true;
        old = value;
    }
    setenv("TZ", zone, 1);
    tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (hadOld) {
        setenv("TZ", old.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

Child startExecutable(const std::string& exePath, const std::vector<std::string>& args,
                      const std::function<void()>& inChild) {
    int in[2], out[2], err[2];
    check(pipe(in) == 0 && pipe(out) == 0 && pipe(err) == 0, "pipe");
    Child child;
    child.pid = fork();
    check(child.pid >= 0, "fork");
    if (child.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        if (inChild) inChild();
        std::vector<char*> argv;
        std::string exe = exePath;
        argv.push_back(exe.data());
        std::vector<std::string> copies(args);
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    child.in = in[1];
    child.out = out[0];
    child.err = err[0];
    return child;
}

std::string builderExecutable() { return ZEM_BUILDER_EXE; }

Child startChild(const std::vector<std::string>& args, const std::function<void()>& inChild) {
    return startExecutable(ZEM_BUILDER_EXE, args, inChild);
}

bool waitForOutput(Child& child, const std::string& marker, int count) {
    const auto seen = [&] {
        int found = 0;
        for (size_t at = child.stdoutText.find(marker); at != std::string::npos;
             at = child.stdoutText.find(marker, at + marker.size())) {
            ++found;
        }
        return found >= count;
    };
    while (!seen()) {
        pollfd pfd{child.out, POLLIN, 0};
        if (poll(&pfd, 1, 20000) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(child.out, buf, sizeof buf);
        if (n <= 0) return false;
        child.stdoutText.append(buf, static_cast<size_t>(n));
    }
    return true;
}

void sendInput(Child& child, const std::string& text) {
    check(write(child.in, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write");
}

ChildResult finishChild(Child& child) {
    close(child.in);
    ChildResult result;
    result.out = child.stdoutText + drain(child.out);
    result.err = drain(child.err);
    close(child.out);
    close(child.err);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ChildResult runProgram(const std::vector<std::string>& args, const std::string& input,
                       const std::function<void()>& inChild) {
    return runExecutable(ZEM_BUILDER_EXE, args, input, inChild);
}

ChildResult runExecutable(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& input) {
    return runExecutable(exe, args, input, {});
}

ChildResult runExecutable(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& input, const std::function<void()>& inChild) {
    Child child = startExecutable(exe, args, inChild);
    signal(SIGPIPE, SIG_IGN);  // the program may end before reading all of its input
    if (!input.empty()) write(child.in, input.data(), input.size());
    return finishChild(child);
}
