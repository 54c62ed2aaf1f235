#pragma once
// A failure that ends the run. fatalError unwinds to the run sequence, which shows the text in
// the error message and ends with exit code 1; unwinding (rather than exiting on the spot) lets
// every destructor run, so a half-written archive never outlives the failure.

#include <stdexcept>
#include <string>

struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fatalError(const std::string& text) { throw FatalError(text); }
