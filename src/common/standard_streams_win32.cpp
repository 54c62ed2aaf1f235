#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "common/standard_streams.h"
#include "common/wide_path_win32.h"

namespace {

// A console answers GetConsoleMode; a file, a pipe or the NUL device does not.
bool isConsole(DWORD which) {
    DWORD mode = 0;
    const HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

}  // namespace

intptr_t standardOutputFile() {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
    return reinterpret_cast<intptr_t>(handle);
}

bool standardInputIsTerminal() { return isConsole(STD_INPUT_HANDLE); }

bool standardOutputIsTerminal() { return isConsole(STD_OUTPUT_HANDLE); }

bool standardErrorIsTerminal() { return isConsole(STD_ERROR_HANDLE); }

std::vector<std::string> programArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(narrowText(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return args;
}
