#include "platform/input_file.h"

#include <windows.h>

#include "common/wide_path_win32.h"

InputFile openInputFile(const std::string& path) {
    const HANDLE handle = CreateFileW(longPath(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) failSystemCall("open", path);
    InputFile file;
    file.native = ownHandle(handle);
    // A named pipe or a device is no file to read.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        throw SystemFailure("\"" + path + "\" is no regular file", "open", path,
                            ERROR_INVALID_FUNCTION);
    }
    file.path = path;
    return file;
}

size_t readInputFile(InputFile& file, char* into, size_t length) {
    size_t done = 0;
    while (done < length) {
        const size_t left = length - done;
        const DWORD want = left < 0x40000000u ? static_cast<DWORD>(left) : 0x40000000u;
        DWORD got = 0;
        if (!ReadFile(nativeHandle(file.native), into + done, want, &got, nullptr) || got == 0)
            break;
        done += got;
    }
    return done;
}
