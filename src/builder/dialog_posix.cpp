// Picks the dialog for how this process was started: a program started from a launcher or a file
// manager has no terminal, and talks through desktop dialogs when it can.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "builder/dialog_posix.h"

namespace {

InputKind standardInputKind() {
    struct stat st {};
    // A closed standard input (EBADF) has nobody behind it either.
    if (fstat(STDIN_FILENO, &st) != 0) return InputKind::Other;
    if (S_ISFIFO(st.st_mode)) return InputKind::Pipe;
    if (S_ISREG(st.st_mode)) return InputKind::File;
    if (isatty(STDIN_FILENO)) return InputKind::Terminal;
    return InputKind::Other;
}

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

DialogChoice chooseDialog(const DialogEnvironment& environment) {
    DialogChoice choice;
    if (environment.input != InputKind::Other || !environment.hasDisplay) return choice;
    if (!environment.zenityPath.empty()) {
        choice.kind = DialogKind::Zenity;
        choice.helperPath = environment.zenityPath;
    } else if (!environment.kdialogPath.empty()) {
        choice.kind = DialogKind::KDialog;
        choice.helperPath = environment.kdialogPath;
    }
    return choice;
}

std::string findOnPath(const std::string& name, const std::string& searchPath) {
    size_t begin = 0;
    while (begin <= searchPath.size()) {
        size_t end = searchPath.find(':', begin);
        if (end == std::string::npos) end = searchPath.size();
        const std::string folder = searchPath.substr(begin, end - begin);
        begin = end + 1;
        if (folder.empty() || folder[0] != '/') continue;
        const std::string candidate = folder + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

DialogEnvironment probeDialogEnvironment() {
    DialogEnvironment environment;
    environment.input = standardInputKind();
    environment.hasDisplay = isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
    // Without PATH, the search list the C library's exec functions use.
    const char* path = std::getenv("PATH");
    const std::string searchPath = path ? path : "/bin:/usr/bin";
    // Looked up only when they can matter.
    if (environment.input == InputKind::Other && environment.hasDisplay) {
        environment.zenityPath = findOnPath("zenity", searchPath);
        if (environment.zenityPath.empty()) {
            environment.kdialogPath = findOnPath("kdialog", searchPath);
        }
    }
    return environment;
}

std::unique_ptr<Dialog> makeSystemDialog() {
    const DialogChoice choice = chooseDialog(probeDialogEnvironment());
    if (choice.kind == DialogKind::Terminal) return makeTerminalDialog();
    return makeDesktopDialog(choice);
}
