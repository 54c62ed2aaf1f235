// The seccomp filter of test_util.h, which holds a child's writes for the test: Linux only.

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "test_util.h"

namespace {

#if defined(__x86_64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kNativeArch = 0;  // unknown here: the filter is refused as by the kernel
#endif

}  // namespace

void refuseUnnamedFilesInChild(int socket, HeldCall held) {
    const uint32_t tmpfileBit = O_TMPFILE & ~O_DIRECTORY;
    const uint32_t heldCall = socket < 0                ? UINT32_MAX
                              : held == HeldCall::Write ? __NR_write
                              : held == HeldCall::Sync  ? __NR_fsync
                                                        : __NR_syncfs;
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

void refuseSystemCallsInChild(std::initializer_list<long> numbers, int error) {
    // Built in place: this runs between fork and exec, where nothing may allocate.
    constexpr size_t kMaxCalls = 4;
    sock_filter filter[4 + kMaxCalls];
    size_t n = 0;
    const uint32_t calls = static_cast<uint32_t>(numbers.size());
    if (calls > kMaxCalls) _exit(kFilterRefused);
    filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
    // Another architecture's calls skip to the allow at the end.
    filter[n++] =
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 0, static_cast<uint8_t>(calls + 1));
    filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
    uint32_t left = calls;
    for (const long number : numbers) {
        --left;
        // A match jumps over the remaining tests and the allow, to the refusal.
        filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(number),
                               static_cast<uint8_t>(left + 1), 0);
    }
    filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    filter[n++] =
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & 0xffff));
    sock_fprog program{static_cast<unsigned short>(n), filter};
    if (kNativeArch == 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
        _exit(kFilterRefused);
    }
}

void refuseKernelCopiesInChild() {
    refuseSystemCallsInChild({__NR_copy_file_range, __NR_sendfile}, ENOSYS);
}

long procValue(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
    }
    return -1;
}

HeldWrites::~HeldWrites() {
    if (listener >= 0) close(listener);
}

bool waitForHeldCall(int socket, const std::function<bool(const std::string& path)>& isHeld,
                     HeldWrites& held) {
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
    // Calls on other files (a sanitizer's runtime writes to pipes of its own) go on.
    for (;;) {
        pollfd pfd{held.listener, POLLIN, 0};
        if (poll(&pfd, 1, 60000) <= 0) return false;
        seccomp_notif notification{};
        if (ioctl(held.listener, SECCOMP_IOCTL_NOTIF_RECV, &notification) != 0) return false;
        const std::string fdPath = "/proc/" + std::to_string(notification.pid) + "/fd/" +
                                   std::to_string(notification.data.args[0]);
        char target[4096];
        const ssize_t length = readlink(fdPath.c_str(), target, sizeof target - 1);
        if (isHeld(length > 0 ? std::string(target, size_t(length)) : "")) {
            held.call = notification.id;
            return true;
        }
        seccomp_notif_resp response{};
        response.id = notification.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        if (ioctl(held.listener, SECCOMP_IOCTL_NOTIF_SEND, &response) != 0) return false;
    }
}

bool waitForHeldWrite(int socket, const std::string& folder, HeldWrites& held) {
    return waitForHeldCall(
        socket,
        [&](const std::string& written) {
            char* real = realpath(folder.c_str(), nullptr);  // the program may have made it now
            const std::string inFolder = (real ? std::string(real) : folder) + "/";
            free(real);
            return written.rfind(inFolder, 0) == 0;
        },
        held);
}

bool failHeldCall(HeldWrites& held, int error) {
    seccomp_notif_resp response{};
    response.id = held.call;
    response.error = -error;
    return ioctl(held.listener, SECCOMP_IOCTL_NOTIF_SEND, &response) == 0;
}
