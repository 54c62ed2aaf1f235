#include "common/unique_handle.h"

#include <unistd.h>

#include <cerrno>

bool SystemHandle::valid(intptr_t native) { return native >= 0; }

bool SystemHandle::close(intptr_t native) { return ::close(static_cast<int>(native)) == 0; }

void SystemHandle::discard(intptr_t native) {
    const int saved = errno;
    ::close(static_cast<int>(native));
    errno = saved;
}
