#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

// posix_spawn's file actions and attributes, released however the spawn ends.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool ready = false;
    int error = 0;

    SpawnSetup() {
        error = posix_spawn_file_actions_init(&actions);
        if (error != 0) return;
        error = posix_spawnattr_init(&attributes);
        if (error != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        ready = true;
    }
    ~SpawnSetup() {
        if (!ready) return;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

pid_t spawnProgram(const std::string& path, const std::vector<std::string>& args, int input) {
    SpawnSetup setup;
    if (!setup.ready) {
        errno = setup.error;
        return -1;
    }
    const int actionsDone =
        (input >= 0 ? posix_spawn_file_actions_adddup2(&setup.actions, input, STDIN_FILENO)
                    : posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null",
                                                       O_RDONLY, 0)) |
        posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (actionsDone != 0) {
        errno = ENOMEM;  // the only failure of both on Linux
        return -1;
    }
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGXFSZ, SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
    if (posix_spawnattr_setsigdefault(&setup.attributes, &defaults) != 0 ||
        posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF) != 0) {
        errno = EINVAL;
        return -1;
    }
    std::vector<std::string> copies(args);
    std::vector<char*> argv;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    if (spawned != 0) {
        errno = spawned;
        return -1;
    }
    return pid;
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kNotWaited;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : kKilled;
}
