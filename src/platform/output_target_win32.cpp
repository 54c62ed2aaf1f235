// Windows: a device or a pipe that a named path opens (NUL, \\.\pipe\...) is written into as a
// stream. Links are left to the system's calls, which follow them when the file is opened and
// replace the link itself when the finished archive is moved into place.

#include <windows.h>

#include "common/fatal_error.h"
#include "common/wide_path_win32.h"
#include "platform/messages.h"
#include "platform/output_file.h"
#include "platform/output_target.h"

void findOutputTarget(const std::string& archivePath, bool named, OutputTarget& target) {
    target.path = archivePath;
    if (!named) return;
    UniqueHandle handle = ownHandle(CreateFileW(longPath(archivePath).c_str(), GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) return;  // missing, a folder: for the writer
    if (GetFileType(nativeHandle(handle)) == FILE_TYPE_DISK) return;
    target.stream = std::move(handle);
}

void closeOutputTarget(OutputTarget& target, const std::string& archivePath) {
    if (!target.stream.valid()) return;
    if (!target.stream.close()) fatalError(archiveWriteError(archivePath));
}
