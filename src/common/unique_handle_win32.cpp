#include "common/unique_handle.h"

#include <windows.h>

namespace {

HANDLE handleOf(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

bool validHandle(intptr_t native) { return native != SystemHandle::kNone && native != 0; }

// Closes without disturbing the last Win32 error, which tells the caller why a call failed.
void closeKeepingError(BOOL(WINAPI* close)(HANDLE), intptr_t native) {
    const DWORD saved = GetLastError();
    close(handleOf(native));
    SetLastError(saved);
}

}  // namespace

bool SystemHandle::valid(intptr_t native) { return validHandle(native); }
bool SystemHandle::close(intptr_t native) { return CloseHandle(handleOf(native)) != 0; }
void SystemHandle::discard(intptr_t native) { closeKeepingError(CloseHandle, native); }

bool SearchHandle::valid(intptr_t native) { return validHandle(native); }
bool SearchHandle::close(intptr_t native) { return FindClose(handleOf(native)) != 0; }
void SearchHandle::discard(intptr_t native) { closeKeepingError(FindClose, native); }
