#include <cerrno>
#include <cstring>

#include "common/fatal_error.h"

int lastSystemError() { return errno; }

std::string systemErrorText(int code) { return strerror(code); }
