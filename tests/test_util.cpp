#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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
    Child child = startChild(args, inChild);
    signal(SIGPIPE, SIG_IGN);  // the program may end before reading all of its input
    if (!input.empty()) write(child.in, input.data(), input.size());
    return finishChild(child);
}

ChildResult runExecutable(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& input, const std::function<void()>& inChild) {
    Child child = startExecutable(exe, args, inChild);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) write(child.in, input.data(), input.size());
    return finishChild(child);
}

namespace {

#if defined(__x86_64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kNativeArch = 0;  // unknown here: the filter is refused as by the kernel
#endif

}  // namespace

void refuseUnnamedFilesInChild(int socket) {
    const uint32_t tmpfileBit = O_TMPFILE & ~O_DIRECTORY;
    const uint32_t heldCall = socket >= 0 ? __NR_write : UINT32_MAX;
    sock_filter filter[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 0, 7),
        /* 2 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 2),
        /* 4 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        /* 5 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfileBit, 4, 3),
        /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, heldCall, 0, 2),
        /* 7 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        /* 8 */ BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 3, 2, 0),
        /* 9 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        /* 10 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        /* 11 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (kNativeArch == 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(kFilterRefused);
    const unsigned flags = socket >= 0 ? SECCOMP_FILTER_FLAG_NEW_LISTENER : 0;
    const long listener = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &program);
    if (listener < 0) _exit(kFilterRefused);
    if (socket < 0) return;
    const int fd = static_cast<int>(listener);
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fd)] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fd);
    memcpy(CMSG_DATA(header), &fd, sizeof fd);
    if (sendmsg(socket, &message, 0) != 1) _exit(kFilterRefused);
    close(fd);
}

HeldWrites::~HeldWrites() {
    if (listener >= 0) close(listener);
}

bool waitForHeldWrite(int socket, const std::string& folder, HeldWrites& held) {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(socket, &message, 0) != 1) return false;  // the child exited without a filter
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (!header || header->cmsg_type != SCM_RIGHTS) return false;
    memcpy(&held.listener, CMSG_DATA(header), sizeof held.listener);
    // Writes elsewhere (a sanitizer's runtime writes to pipes of its own) go on.
    for (;;) {
        pollfd pfd{held.listener, POLLIN, 0};
        if (poll(&pfd, 1, 60000) <= 0) return false;
        seccomp_notif notification{};
        if (ioctl(held.listener, SECCOMP_IOCTL_NOTIF_RECV, &notification) != 0) return false;
        const std::string fdPath = "/proc/" + std::to_string(notification.pid) + "/fd/" +
                                   std::to_string(notification.data.args[0]);
        char target[4096];
        const ssize_t length = readlink(fdPath.c_str(), target, sizeof target - 1);
        const std::string written = length > 0 ? std::string(target, size_t(length)) : "";
        char* real = realpath(folder.c_str(), nullptr);  // the program may have made it just now
        const std::string inFolder = (real ? std::string(real) : folder) + "/";
        free(real);
        if (written.rfind(inFolder, 0) == 0) return true;
        seccomp_notif_resp response{};
        response.id = notification.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        if (ioctl(held.listener, SECCOMP_IOCTL_NOTIF_SEND, &response) != 0) return false;
    }
}
