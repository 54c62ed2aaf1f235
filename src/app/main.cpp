// Entry of zem-builder: the folder dropped on the program's icon arrives as the one argument.

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "app/run.h"
#include "archive/atomic_file.h"
#include "scan/file_system.h"

int main(int argc, char** argv) {
    installSignalHandling();
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        std::unique_ptr<Dialog> dialog = makeSystemDialog();
        return runZemBuilder(args, *dialog, systemFileSystem());
    } catch (const std::bad_alloc&) {
        // The run shows its own message for this; only when not even that could be made does it
        // come here, where a fixed text costs no memory.
        std::fputs("zem-builder: out of memory\n", stderr);
        return 1;
    }
}
