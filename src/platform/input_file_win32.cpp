#include "platform/input_file.h"

#include <windows.h>

#include "common/wide_path_win32.h"

namespace {

HANDLE handleOf(const InputFile& file) { return reinterpret_cast<HANDLE>(file.native); }

}  // namespace

InputFile::~InputFile() {
    // Only read from: closing can lose nothing.
    if (handleOf(*this) != INVALID_HANDLE_VALUE) CloseHandle(handleOf(*this));
}

bool openInputFile(const std::string& path, InputFile& file) {
    const HANDLE handle = CreateFileW(longPath(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    file.native = reinterpret_cast<intptr_t>(handle);
    // A named pipe or a device is no file to read.
    return GetFileType(handle) == FILE_TYPE_DISK;
}

size_t readInputFile(InputFile& file, char* into, size_t length) {
    size_t done = 0;
    while (done < length) {
        const size_t left = length - done;
        const DWORD want = left < 0x40000000u ? static_cast<DWORD>(left) : 0x40000000u;
        DWORD got = 0;
        if (!ReadFile(handleOf(file), into + done, want, &got, nullptr) || got == 0) break;
        done += got;
    }
    return done;
}

bool closeInputFile(InputFile& file) {
    const HANDLE handle = handleOf(file);
    file.native = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
    return CloseHandle(handle) != 0;
}
