// zem mount where the system offers no user-space file systems to mount an archive with.

#include "zem/commands.h"
#include "zem/mount.h"

int mountCommand(const std::string&, const std::string&, bool, std::ostream& err) {
    err << "zem: mount is not available on this system: it needs FUSE, which Linux has\n";
    return kExitUsage;
}

int unmountCommand(const std::string&, std::ostream& err) {
    err << "zem: unmount is not available on this system: it needs FUSE, which Linux has\n";
    return kExitUsage;
}
