#include "platform/kernel_views.h"

#include <linux/magic.h>
#include <sys/vfs.h>

bool isKernelView(int folderFd) {
    struct statfs fs {};
    // A folder whose file system can't be told is listed as any other.
    if (fstatfs(folderFd, &fs) != 0) return false;
    return fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC;
}
