// Entry of zem-builder: the folder dropped on the program's icon arrives as the one argument.

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "builder/dialog.h"
#include "builder/run.h"
#include "common/standard_streams.h"
#include "platform/atomic_file.h"
#include "platform/file_system.h"

#ifndef ZEM_VERSION
#error "ZEM_VERSION must be defined by the build"
#endif

// A Windows program has no console to print them to: there --help and --version stay folder names.
#ifndef _WIN32
namespace {

const char* const kHelpText =
    "Usage: zem-builder FOLDER\n"
    "       zem-builder ARCHIVE.zem\n"
    "\n"
    "Packs FOLDER into the archive FOLDER.zem beside it, after asking whether to go on\n"
    "(at a terminal each question reads one line: Enter or ok goes on, anything else\n"
    "cancels). A .zem file given instead is unpacked into the folder of its name\n"
    "beside it. Scripts that need no questions and their own archive path use\n"
    "\"zem create\" (see zem --help).\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "A folder named --help or --version is packed when given as ./--help.\n";

// The two answers every command-line program gives, for the exact single argument only. Returns
// the exit code.
int printInformation(const std::string& argument) {
    if (argument == "--help") {
        std::fputs(kHelpText, stdout);
    } else {
        std::printf("zem-builder %s\n", ZEM_VERSION);
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace
#endif

int main(int argc, char** argv) {
    installSignalHandling();
#ifndef _WIN32
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "--version")) {
        return printInformation(argv[1]);
    }
#endif
    try {
        const std::vector<std::string> args = programArguments(argc, argv);
        std::unique_ptr<Dialog> dialog = makeSystemDialog();
        return runZemBuilder(args, *dialog, systemFileSystem());
    } catch (const std::bad_alloc&) {
        // The run shows its own message for this; only when not even that could be made does it
        // come here, where a fixed text costs no memory.
        std::fputs("zem-builder: out of memory\n", stderr);
        return 1;
    }
}
