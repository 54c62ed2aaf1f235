#pragma once
// How the layers' code reports a failure: one way, by throwing FatalError with the text the user
// is shown; a stop the user asked for throws Cancelled. FatalError unwinds to the run sequence,
// which shows the text and ends with exit code 1; unwinding (rather than exiting on the spot) lets
// every destructor run, so a half-written archive never outlives the failure. A caller that
// treats some failure as an answer catches its subtype where it calls: InputFault for what the
// checks of the input (the reader, the name rules) find, SystemFailure for a failed system call
// with its error code. Running out of memory becomes a FatalError where the message must say
// what ran out (failWhenOutOfMemory); anywhere else it reaches each program's top level, or the C
// library's boundary, which tell it with a fixed text.

#include <new>
#include <stdexcept>
#include <string>

struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fatalError(const std::string& text) { throw FatalError(text); }

// What a check of the input found wrong with it: an archive's structure or its stored names (the
// untrusted input), a listed file's name that an archive can't hold, an archive's name that gives
// no folder to extract into. `finding` is the check's own words ("record 3: name ..."); the text
// shown puts `where` (the archive's path) before it when there is one.
struct InputFault : FatalError {
    InputFault(const std::string& where, const std::string& found)
        : FatalError(where.empty() ? found : where + ": " + found), finding(found) {}
    explicit InputFault(const std::string& found) : InputFault("", found) {}
    std::string finding;
};

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

// A failed system call: what was done to which path, and the system's error code, for a caller
// that tolerates some codes or tells the failure in its own words. The text is cannotText's unless
// the thrower gives its own.
struct SystemFailure : FatalError {
    SystemFailure(const std::string& failedOperation, const std::string& failedPath, int errorCode)
        : SystemFailure(cannotText(failedOperation, failedPath, errorCode), failedOperation,
                        failedPath, errorCode) {}
    SystemFailure(const std::string& text, const std::string& failedOperation,
                  const std::string& failedPath, int errorCode)
        : FatalError(text), operation(failedOperation), path(failedPath), code(errorCode) {}
    std::string operation;
    std::string path;
    int code;
};

[[noreturn]] inline void failSystemCall(const std::string& operation, const std::string& path,
                                        int code) {
    throw SystemFailure(operation, path, code);
}
[[noreturn]] inline void failSystemCall(const std::string& operation, const std::string& path) {
    failSystemCall(operation, path, lastSystemError());
}

// Runs `step`; running out of memory in it becomes a FatalError with `text`, for the messages
// that say what ran out. The error is made before the step, so that throwing it takes no memory.
template <typename Step>
auto failWhenOutOfMemory(const std::string& text, Step&& step) -> decltype(step()) {
    const FatalError outOfMemory(text);
    try {
        return step();
    } catch (const std::bad_alloc&) {
        throw outOfMemory;
    }
}
