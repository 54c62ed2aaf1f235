// Entry of zem-builder: the folder dropped on the program's icon arrives as the one argument.

#include <string>
#include <vector>

#include "app/dialog.h"
#include "app/run.h"
#include "archive/atomic_file.h"
#include "scan/file_system.h"

int main(int argc, char** argv) {
    installSignalHandling();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::unique_ptr<Dialog> dialog = makeSystemDialog();
    return runZemBuilder(args, *dialog, systemFileSystem());
}
