// Windows input: each file is read in pieces of 1 MiB and appended to the archive.

#include <windows.h>

#include "archive/fatal_error.h"
#include "archive/input_reader.h"

namespace {

constexpr DWORD kCopyBufferSize = 1 << 20;

// Owns a file handle.
struct Handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE h) : handle(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    bool valid() const { return handle != INVALID_HANDLE_VALUE; }
    // Hands the handle to the caller, who closes it and checks the result.
    HANDLE release() {
        const HANDLE h = handle;
        handle = INVALID_HANDLE_VALUE;
        return h;
    }
};

struct Win32InputReader : InputReader {
    explicit Win32InputReader(const FileList& list) : files(list) {}

    void appendNext(OutputFile& out, const FileCopied& copied) override {
        const FileEntry& entry = files[next++];
        Handle in(CreateFileA(entry.path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!in.valid()) fatalError(inputOpenError(entry.path));
        // A named pipe or a device put in the file's place since the scan is no file to store.
        if (GetFileType(in.handle) != FILE_TYPE_DISK) fatalError(inputOpenError(entry.path));

        if (!buffer) buffer.reset(new char[kCopyBufferSize]);
        uint64_t remaining = entry.size;
        while (remaining > 0) {
            const DWORD want =
                remaining < kCopyBufferSize ? static_cast<DWORD>(remaining) : kCopyBufferSize;
            DWORD got = 0;
            if (!ReadFile(in.handle, buffer.get(), want, &got, nullptr) || got == 0) {
                fatalError(inputReadError(entry.path));
            }
            writeOutput(out, buffer.get(), got);
            remaining -= got;
            if (copied) copied(entry.size - remaining);
        }
        if (!CloseHandle(in.release())) fatalError(inputReadError(entry.path));
    }

    const FileList& files;
    size_t next = 0;
    std::unique_ptr<char[]> buffer;
};

}  // namespace

std::unique_ptr<InputReader> openInputReader(const FileList& files) {
    return std::make_unique<Win32InputReader>(files);
}
