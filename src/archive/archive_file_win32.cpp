// An archive file read through one handle, by position.

#include <windows.h>

#include "archive/archive_file.h"
#include "archive/atomic_file.h"
#include "archive/fatal_error.h"
#include "common/wide_path_win32.h"

namespace {

// Each ReadFile asks for at most this much, well inside its DWORD count.
constexpr size_t kMaxReadSize = 1 << 30;

struct FileSource : ArchiveSource {
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint64_t length = 0;

    FileSource() = default;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    // Only ever read: there is nothing a failing close could lose.
    ~FileSource() override {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }

    uint64_t size() const override { return length; }

    bool readAt(uint64_t position, void* data, size_t count) override {
        auto* bytes = static_cast<char*>(data);
        while (count > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(position);
            at.OffsetHigh = static_cast<DWORD>(position >> 32);
            const DWORD want = static_cast<DWORD>(count < kMaxReadSize ? count : kMaxReadSize);
            DWORD got = 0;
            // Nothing read is an error too: the file was cut short meanwhile.
            if (!ReadFile(handle, bytes, want, &got, &at) || got == 0) return false;
            bytes += got;
            count -= got;
            position += got;
        }
        return true;
    }
};

[[noreturn]] void fail(const char* operation, const std::string& path, DWORD code) {
    fatalError(std::string("cannot ") + operation + " \"" + path +
               "\": " + systemErrorText(static_cast<int>(code)));
}

bool isFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::unique_ptr<ArchiveSource> openArchiveFile(const std::string& path) {
    auto source = std::make_unique<FileSource>();
    source->handle = CreateFileW(longPath(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source->handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A folder can't be opened as a file; say so rather than "Access is denied".
        if (code == ERROR_ACCESS_DENIED && isFolder(path)) {
            fatalError("cannot read \"" + path + "\": it is a folder, not a regular file");
        }
        fail("open", path, code);
    }
    // A named pipe or a device (a console, NUL, a serial port) is no archive, and reading one
    // could wait forever.
    SetLastError(NO_ERROR);  // tells an unknown type from a failure
    const DWORD type = GetFileType(source->handle);
    if (type != FILE_TYPE_DISK) {
        const DWORD code = GetLastError();
        if (type == FILE_TYPE_UNKNOWN && code != NO_ERROR) fail("look at", path, code);
        fatalError("cannot read \"" + path + "\": " +
                   (type == FILE_TYPE_PIPE   ? "it is a named pipe, not a regular file"
                    : type == FILE_TYPE_CHAR ? "it is a character device, not a regular file"
                                             : "it is not a regular file"));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(source->handle, &size)) fail("look at", path, GetLastError());
    source->length = static_cast<uint64_t>(size.QuadPart);
    return source;
}
