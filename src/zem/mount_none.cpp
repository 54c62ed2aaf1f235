// zem mount where the system offers no user-space file systems to mount an archive with.

#include "zem/commands.h"
#include "zem/messages.h"
#include "zem/mount.h"

int mountCommand(const std::string&, const std::string&, bool, std::ostream& err) {
    printMessage(err, unavailableText("mount"));
    return kExitUsage;
}

int unmountCommand(const std::string&, std::ostream& err) {
    printMessage(err, unavailableText("unmount"));
    return kExitUsage;
}
