// Entry of zem: lists, verifies and extracts .zem archives.

#include <iostream>
#include <string>
#include <vector>

#include "common/standard_streams.h"
#include "platform/atomic_file.h"
#include "zem/commands.h"

int main(int argc, char** argv) {
    installSignalHandling();
    const std::vector<std::string> args = programArguments(argc, argv);
    const int code = runZem(args, std::cout, std::cerr);
    std::cout.flush();
    // A listing cut short by a full disk or a closed pipe is a failure, not a success.
    if (!std::cout) {
        std::cerr << "zem: cannot write to standard output\n";
        return code == 0 ? 1 : code;
    }
    return code;
}
