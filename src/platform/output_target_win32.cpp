// Windows: a device or a pipe that a named path opens (NUL, \\.\pipe\...) is written into as a
// stream. Links are left to the system's calls, which follow them when the file is opened and
// replace the link itself when the finished archive is moved into place.

#include <windows.h>

#include "common/fatal_error.h"
#include "common/wide_path_win32.h"
#include "platform/output_file.h"
#include "platform/output_target.h"

OutputTarget::~OutputTarget() {
    if (stream >= 0) CloseHandle(reinterpret_cast<HANDLE>(stream));
}

void findOutputTarget(const std::string& archivePath, bool named, OutputTarget& target) {
    target.path = archivePath;
    if (!named) return;
    const HANDLE handle =
        CreateFileW(longPath(archivePath).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;  // missing, a folder: for the writer
    if (GetFileType(handle) == FILE_TYPE_DISK) {
        CloseHandle(handle);
        return;
    }
    target.stream = reinterpret_cast<intptr_t>(handle);
}

void closeOutputTarget(OutputTarget& target, const std::string& archivePath) {
    if (target.stream < 0) return;
    const HANDLE handle = reinterpret_cast<HANDLE>(target.stream);
    target.stream = -1;
    if (!CloseHandle(handle)) fatalError(archiveWriteError(archivePath));
}
