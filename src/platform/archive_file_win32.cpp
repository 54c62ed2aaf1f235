// An archive file read through one handle, by position.

#include <windows.h>

#include <vector>

#include "common/fatal_error.h"
#include "common/wide_path_win32.h"
#include "platform/archive_file.h"
#include "platform/atomic_file.h"

namespace {

// Each ReadFile asks for at most this much, well inside its DWORD count.
constexpr size_t kMaxReadSize = 1 << 30;

struct FileSource : ArchiveSource {
    UniqueHandle handle;
    uint64_t length = 0;

    // Only ever read: there is nothing a failing close could lose.

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
            if (!ReadFile(nativeHandle(handle), bytes, want, &got, &at) || got == 0) return false;
            bytes += got;
            count -= got;
            position += got;
        }
        return true;
    }
};

bool isFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

constexpr const char* kStandardInput = "standard input";

// A file in the temporary folder that the system deletes once its handle is closed, however the
// process ends.
HANDLE temporaryFile() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        failSystemCall("find the temporary folder for", kStandardInput);
    }
    wchar_t name[MAX_PATH + 1];
    if (GetTempFileNameW(folder, L"zem", 0, name) == 0) {
        failSystemCall("create a temporary file for", kStandardInput);
    }
    const HANDLE handle = CreateFileW(
        name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, TRUNCATE_EXISTING,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        DeleteFileW(name);
        failSystemCall("create a temporary file for", kStandardInput, static_cast<int>(code));
    }
    return handle;
}

}  // namespace

std::unique_ptr<ArchiveSource> openArchiveStream() {
    auto source = std::make_unique<FileSource>();
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        fatalError("cannot read standard input: the process has none");
    }
    if (GetFileType(input) == FILE_TYPE_DISK) {
        // Read in place through a handle of its own, by position from the start.
        HANDLE copy = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            failSystemCall("open", kStandardInput);
        }
        source->handle = ownHandle(copy);
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(nativeHandle(source->handle), &size))
            failSystemCall("look at", kStandardInput);
        source->length = static_cast<uint64_t>(size.QuadPart);
        return source;
    }
    source->handle = ownHandle(temporaryFile());
    std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_BROKEN_PIPE) break;  // the writer closed its end
            failSystemCall("read", kStandardInput, static_cast<int>(code));
        }
        if (got == 0) break;
        source->length += got;
        if (source->length > kLargestArchiveSize) {
            fatalError("cannot read standard input: it holds more than the " +
                       std::to_string(kLargestArchiveSize) +
                       " bytes of the largest archive, so it is not an archive");
        }
        if (!writeWhole(source->handle.get(), buffer.data(), got)) {
            failSystemCall("write the temporary copy of", kStandardInput);
        }
    }
    return source;
}

std::unique_ptr<ArchiveSource> openArchiveFile(const std::string& path) {
    auto source = std::make_unique<FileSource>();
    source->handle = ownHandle(CreateFileW(longPath(path).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source->handle.valid()) {
        const DWORD code = GetLastError();
        // A folder can't be opened as a file; say so rather than "Access is denied".
        if (code == ERROR_ACCESS_DENIED && isFolder(path)) {
            fatalError("cannot read \"" + path + "\": it is a folder, not a regular file");
        }
        failSystemCall("open", path, static_cast<int>(code));
    }
    // A named pipe or a device (a console, NUL, a serial port) is no archive, and reading one
    // could wait forever.
    SetLastError(NO_ERROR);  // tells an unknown type from a failure
    const DWORD type = GetFileType(nativeHandle(source->handle));
    if (type != FILE_TYPE_DISK) {
        const DWORD code = GetLastError();
        if (type == FILE_TYPE_UNKNOWN && code != NO_ERROR)
            failSystemCall("look at", path, static_cast<int>(code));
        fatalError("cannot read \"" + path + "\": " +
                   (type == FILE_TYPE_PIPE   ? "it is a named pipe, not a regular file"
                    : type == FILE_TYPE_CHAR ? "it is a character device, not a regular file"
                                             : "it is not a regular file"));
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(nativeHandle(source->handle), &size)) failSystemCall("look at", path);
    source->length = static_cast<uint64_t>(size.QuadPart);
    return source;
}
