#pragma once
// zem mount: an archive's files as a read-only file system (FUSE on Linux; mount_linux.cpp), served
// from the tree of ops/mount_tree.h.

#include <ostream>
#include <string>

// `zem mount ARCHIVE MOUNTPOINT`: checks the archive in full (structure and names, as extraction
// does), mounts it read-only and, unless `foreground`, returns once the mount is ready while a
// background process serves it. In the foreground it serves until unmounted, an interrupt or
// SIGTERM, and unmounts before returning. Failures end in FatalError; returns the exit code.
int mountCommand(const std::string& archivePath, const std::string& mountPoint, bool foreground,
                 std::ostream& err);

// `zem unmount MOUNTPOINT`: unmounts an archive mounted there by zem mount.
int unmountCommand(const std::string& mountPoint, std::ostream& err);
