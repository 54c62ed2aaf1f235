#pragma once
// Where an archive written to a path goes, decided before anything is written: a file replaced
// atomically (output_file.h), or a device or named pipe written into as a stream, since replacing
// one with a regular file would take it away from everything else that uses it. Each platform
// fills this in its own file.

#include <string>

#include "common/unique_handle.h"

struct OutputTarget {
    std::string path;     // the file to replace atomically, when there is no `stream`
    UniqueHandle stream;  // the open device or named pipe to write into instead
};

// A path the user named (`named`, zem create -o) is followed through symbolic links: the file
// they end at is replaced, or, when it is a device or a named pipe, written into. A path the
// program chose (FOLDER.zem) is never followed: a link there is replaced itself, as any file,
// and a device, named pipe or socket there is left alone. What can't take an archive (a socket,
// a loop of links, a special file at a chosen path) is the archive's open error.
void findOutputTarget(const std::string& archivePath, bool named, OutputTarget& target);

// Closes the stream, if any; a failure is the archive's write error.
void closeOutputTarget(OutputTarget& target, const std::string& archivePath);
