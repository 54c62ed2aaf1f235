#include <unistd.h>

#include "common/standard_streams.h"

intptr_t standardOutputFile() { return STDOUT_FILENO; }

bool standardInputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

bool standardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::vector<std::string> programArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}
