#pragma once
// How the layers' code ends a run early: a failure throws FatalError with the text the user is
// shown, and a stop the user asked for throws Cancelled. fatalError unwinds to the run sequence,
// which shows the text in the error message and ends with exit code 1; unwinding (rather than
// exiting on the spot) lets every destructor run, so a half-written archive never outlives the
// failure. What checks untrusted input (the reader, the name rules) gives its finding as text
// instead, empty when there is none: a finding is an answer, and the caller decides whether it
// ends the run.

#include <stdexcept>
#include <string>

struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fatalError(const std::string& text) { throw FatalError(text); }

// The user stopped the run (from the progress display): a refusal, not a failure. Unwinding
// through the writer or extraction removes the unfinished file, as for a failure.
struct Cancelled {};

// The system's error code of the last failed call (errno, or GetLastError() on Windows), and its
// text. Each platform defines them in its own file (fatal_error_posix.cpp, fatal_error_win32.cpp).
int lastSystemError();
std::string systemErrorText(int code);

// How a failed system call is told: cannot OPERATION "PATH": the system's reason.
inline std::string cannotText(const std::string& operation, const std::string& path, int code) {
    return "cannot " + operation + " \"" + path + "\": " + systemErrorText(code);
}
[[noreturn]] inline void failSystemCall(const std::string& operation, const std::string& path,
                                        int code) {
    fatalError(cannotText(operation, path, code));
}
[[noreturn]] inline void failSystemCall(const std::string& operation, const std::string& path) {
    failSystemCall(operation, path, lastSystemError());
}
