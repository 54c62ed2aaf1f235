// Windows archive file: a new file beside the archive, created exclusively and marked for
// deletion on close, so that it vanishes with the last handle however the process ends (even
// when it is killed). Commit: FlushFileBuffers, lift the deletion mark, close, then
// MoveFileExA over the archive path with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>

#include "archive/fatal_error.h"
#include "archive/output_file.h"

namespace {

constexpr DWORD kCopyBufferSize = 1 << 20;
constexpr DWORD kMaxWrite = 1u << 30;

// Owns a file handle.
struct Handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Handle() = default;
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

// Everything up to and including the last separator, or the drive of a drive-relative path
// ("C:pack.zem" gives "C:"): the temporary file must be on the archive's volume, in its folder.
std::string folderPrefixOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    if (slash != std::string::npos) return path.substr(0, slash + 1);
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return std::string();
}

// A fresh name beside the archive; uniqueness comes from CREATE_NEW at the caller.
std::string temporaryName(const std::string& archivePath) {
    static std::atomic<unsigned> counter{0};
    const std::string prefix = folderPrefixOf(archivePath);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%lu.%lx.%u.tmp", GetCurrentProcessId(),
                  static_cast<unsigned long>(GetTickCount()), counter++);
    return prefix + "." + archivePath.substr(prefix.size()) + suffix;
}

bool setDeleteOnClose(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

class Win32OutputFile : public OutputFile {
public:
    explicit Win32OutputFile(const std::string& archivePath) : archivePath_(archivePath) {
        const DWORD attributes = GetFileAttributesA(archivePath_.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            fatalError(archiveOpenError(archivePath_));
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = temporaryName(archivePath_);
            file_.handle = CreateFileA(candidate.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file_.valid()) {
                tempPath_ = candidate;
                // Without the mark the file is still removed by the destructor; the mark only
                // adds removal when the process dies without unwinding.
                markedForDeletion_ = setDeleteOnClose(file_.handle, true);
                return;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
        }
        fatalError(archiveOpenError(archivePath_));
    }

    ~Win32OutputFile() override {
        if (committed_) return;
        if (file_.valid()) CloseHandle(file_.release());  // failing anyway: nothing to report
        if (!tempPath_.empty()) DeleteFileA(tempPath_.c_str());
    }

    void write(const void* data, size_t size) override {
        writeAll(data, size);
        size_ += size;
    }

    void writeAt(uint64_t position, const void* data, size_t size) override {
        seekTo(position);
        writeAll(data, size);
        seekTo(size_);
    }

    void appendFile(const std::string& inputPath, uint64_t size) override {
        Handle in(CreateFileA(inputPath.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!in.valid()) fatalError(inputOpenError(inputPath));
        // A named pipe or a device put in the file's place since the scan is no file to store.
        if (GetFileType(in.handle) != FILE_TYPE_DISK) fatalError(inputOpenError(inputPath));

        if (!buffer_) buffer_.reset(new char[kCopyBufferSize]);
        uint64_t remaining = size;
        while (remaining > 0) {
            const DWORD want =
                remaining < kCopyBufferSize ? static_cast<DWORD>(remaining) : kCopyBufferSize;
            DWORD got = 0;
            if (!ReadFile(in.handle, buffer_.get(), want, &got, nullptr) || got == 0) {
                fatalError(inputReadError(inputPath));
            }
            write(buffer_.get(), got);
            remaining -= got;
            // Reports when this read ended a piece, except the file's last.
            const uint64_t copied = size - remaining;
            if (onPieceCopied && remaining > 0 &&
                copied / kProgressPiece != (copied - got) / kProgressPiece) {
                onPieceCopied(copied);
            }
        }
        if (!CloseHandle(in.release())) fatalError(inputReadError(inputPath));
    }

    uint64_t size() const override { return size_; }

    void commit() override {
        if (!FlushFileBuffers(file_.handle)) failWrite();
        if (markedForDeletion_) {
            if (!setDeleteOnClose(file_.handle, false)) failWrite();
            markedForDeletion_ = false;
        }
        if (!CloseHandle(file_.release())) failWrite();
        if (!MoveFileExA(tempPath_.c_str(), archivePath_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            failWrite();
        }
        committed_ = true;
    }

private:
    [[noreturn]] void failWrite() { fatalError(archiveWriteError(archivePath_)); }

    void writeAll(const void* data, size_t size) {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            const DWORD chunk = size < kMaxWrite ? static_cast<DWORD>(size) : kMaxWrite;
            DWORD written = 0;
            if (!WriteFile(file_.handle, p, chunk, &written, nullptr) || written == 0) failWrite();
            p += written;
            size -= written;
        }
    }

    void seekTo(uint64_t position) {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(position);
        if (!SetFilePointerEx(file_.handle, to, nullptr, FILE_BEGIN)) failWrite();
    }

    std::string archivePath_;
    std::string tempPath_;
    Handle file_;
    uint64_t size_ = 0;
    bool committed_ = false;
    bool markedForDeletion_ = false;
    std::unique_ptr<char[]> buffer_;
};

}  // namespace

std::unique_ptr<OutputFile> createOutputFile(const std::string& archivePath) {
    return std::make_unique<Win32OutputFile>(archivePath);
}

void installSignalHandling() {
    // A windowed program gets no console interrupt, and a process that is ended from outside
    // loses its temporary archive through the delete-on-close mark; nothing to install.
}
