#pragma once
// zem's commands with their exit code and output, for the zem program's tests. On POSIX the built
// program, which the tests also end with signals; on Windows its commands called in-process,
// since every program start under Wine costs (zem.exe itself has its own tests).

#ifdef _WIN32
#include <sstream>
#endif
#include <string>
#include <vector>

#include "test_util.h"
#include "zem/commands.h"

inline ChildResult zem(const std::vector<std::string>& args) {
#ifdef _WIN32
    std::ostringstream out, err;
    ChildResult r;
    r.exitCode = runZem(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
#else
    return runExecutable(ZEM_EXE, args, "");
#endif
}
