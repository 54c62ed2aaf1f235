#pragma once
// How every call of the C interface (include/zem.h) runs its body: whatever the internal code
// throws becomes a status and a message, and nothing escapes into the caller's C code. Setting a
// status allocates nothing, so running out of memory can always be reported.

#include <new>
#include <string>
#include <utility>

#include "common/fatal_error.h"
#include "zem.h"

// A failure with its status, thrown within a call's body.
struct LibraryFailure {
    int code;
    std::string text;
};

[[noreturn]] inline void failCall(int code, std::string text) {
    throw LibraryFailure{code, std::move(text)};
}

// Sets the status and copies the text into it (`error` may be null), cut to fit at a character
// boundary.
void setError(zem_error* error, int code, const char* text);

// Runs a step of the internal code whose failures of the kind `Failure` (all FatalErrors
// unless told) mean `code`; others pass on.
template <typename Failure = FatalError, typename Step>
auto classified(int code, Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const Failure& failure) {
        failCall(code, failure.what());
    }
}

// Runs the body of a call and returns its status, which also goes to `error`.
template <typename Body>
int guardedCall(zem_error* error, Body&& body) {
    try {
        body();
        setError(error, ZEM_OK, "");
        return ZEM_OK;
    } catch (const LibraryFailure& failure) {
        setError(error, failure.code, failure.text.c_str());
        return failure.code;
    } catch (const std::bad_alloc&) {
        setError(error, ZEM_ERROR_MEMORY, "out of memory");
        return ZEM_ERROR_MEMORY;
    } catch (const FatalError& failure) {
        setError(error, ZEM_ERROR_IO, failure.what());
        return ZEM_ERROR_IO;
    } catch (...) {
        setError(error, ZEM_ERROR_IO, "unexpected failure");
        return ZEM_ERROR_IO;
    }
}
