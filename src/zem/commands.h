#pragma once
// The zem program: list, verify and extract .zem archives.

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// Exit codes: success, a problem found (damaged archive, a difference, a refusal, a failure),
// and a command line that makes no sense.
constexpr int kExitOk = 0;
constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;

// One run. args holds the arguments after the program's name; results go to `out`, messages
// ("zem: ...") to `err`. Returns the exit code.
int runZem(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A command line that makes no sense: exit code 2, and the text after "zem: ".
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A message on `err` as every command gives it: "zem: " and the text, escaped (names and paths
// from a hostile archive or folder can't steer the terminal, whichever part they are in).
void printMessage(std::ostream& err, const std::string& text);
