#pragma once
// Other programs run as children (POSIX): the desktop's dialog helpers, fusermount3.

#include <sys/types.h>

#include <string>
#include <vector>

// Exit status of a program that could not be started, that did not exit on its own, or that
// could not be waited for (errno tells why).
constexpr int kNotStarted = -2;
constexpr int kKilled = -1;
constexpr int kNotWaited = -3;

// Starts the program at `path` (looked up in PATH when it holds no slash) with the arguments,
// args[0] its name, and `input` as its standard input (/dev/null when -1); its standard output is
// discarded and its standard error stays ours. Signals this program ignores (SIGXFSZ) or handles
// are back to their defaults there. Returns the process id, or -1 with errno set.
pid_t spawnProgram(const std::string& path, const std::vector<std::string>& args, int input);

// Waits for the process: its exit status, kKilled when a signal ended it, or kNotWaited.
int waitForExit(pid_t pid);
