#include "common/unique_handle.h"

#include <windows.h>

namespace {

HANDLE handleOf(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace

bool SystemHandle::valid(intptr_t native) { return native != SystemHandle::kNone && native != 0; }

bool SystemHandle::close(intptr_t native) { return CloseHandle(handleOf(native)) != 0; }

void SystemHandle::discard(intptr_t native) {
    const DWORD saved = GetLastError();
    CloseHandle(handleOf(native));
    SetLastError(saved);
}

bool SearchHandle::valid(intptr_t native) { return native != SearchHandle::kNone && native != 0; }

bool SearchHandle::close(intptr_t native) { return FindClose(handleOf(native)) != 0; }

void SearchHandle::discard(intptr_t native) {
    const DWORD saved = GetLastError();
    FindClose(handleOf(native));
    SetLastError(saved);
}
