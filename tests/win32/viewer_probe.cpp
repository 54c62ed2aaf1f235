// Reads back what another process's archive viewer shows, as a screen reader would: its rows
// through LVM_GETITEMTEXTW and its status line through SB_GETTEXTW (both with a buffer placed in
// the viewer's memory, since these messages carry pointers), or the text of a message box.
// Writes UTF-8 lines to standard output.
// Usage: zem-viewer-probe rows WINDOW_TITLE   one "name<TAB>size<TAB>time" line per row, then
//                                             "status: TEXT"
//        zem-viewer-probe box CAPTION        the text of the message box with that caption
// Exit code 1 when the window isn't there or a step fails, with the reason on standard error.

#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

namespace {

int failed(const char* what) {
    std::fprintf(stderr, "zem-viewer-probe: %s (error %lu)\n", what, GetLastError());
    return 1;
}

void put(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
                            length, nullptr, nullptr);
    }
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

std::wstring wideArgument(const char* text) {
    wchar_t buffer[1024];
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, 1024);
    return length > 0 ? std::wstring(buffer) : std::wstring();
}

// Memory in the viewer's process, freed when done.
struct RemoteBuffer {
    HANDLE process = nullptr;
    char* at = nullptr;
    ~RemoteBuffer() {
        if (at) VirtualFreeEx(process, at, 0, MEM_RELEASE);
        if (process) CloseHandle(process);
    }
};

constexpr size_t kTextUnits = 4096;

// Sends `message` with a structure (or nothing) followed by room for text in the viewer's
// memory, and reads the text back.
bool askForText(RemoteBuffer& remote, HWND control, UINT message, WPARAM wParam, LVITEMW* item,
                std::wstring& text) {
    const size_t head = item ? sizeof(LVITEMW) : 0;
    wchar_t* remoteText = reinterpret_cast<wchar_t*>(remote.at + head);
    if (item) {
        item->pszText = remoteText;
        item->cchTextMax = static_cast<int>(kTextUnits);
        if (!WriteProcessMemory(remote.process, remote.at, item, sizeof *item, nullptr)) {
            return false;
        }
    }
    const wchar_t empty = 0;
    if (!WriteProcessMemory(remote.process, remoteText, &empty, sizeof empty, nullptr)) {
        return false;
    }
    SendMessageW(control, message, wParam,
                 reinterpret_cast<LPARAM>(item ? static_cast<void*>(remote.at) : remoteText));
    wchar_t buffer[kTextUnits + 1] = {};
    if (!ReadProcessMemory(remote.process, remoteText, buffer, kTextUnits * sizeof(wchar_t),
                           nullptr)) {
        return false;
    }
    text = buffer;
    return true;
}

int rows(const std::wstring& title) {
    HWND window = FindWindowW(L"ZemViewerWindow", title.c_str());
    if (!window) return failed("no viewer window of that title");
    HWND list = FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr);
    HWND status = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
    if (!list || !status) return failed("the viewer has no list or no status line");
    DWORD pid = 0;
    GetWindowThreadProcessId(list, &pid);
    RemoteBuffer remote;
    remote.process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE,
                                 FALSE, pid);
    if (!remote.process) return failed("cannot open the viewer's process");
    remote.at = static_cast<char*>(VirtualAllocEx(remote.process, nullptr,
                                                  sizeof(LVITEMW) + (kTextUnits + 1) * 2,
                                                  MEM_COMMIT, PAGE_READWRITE));
    if (!remote.at) return failed("cannot place a buffer in the viewer's memory");
    const LRESULT count = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    for (LRESULT row = 0; row < count; ++row) {
        for (int column = 0; column < 3; ++column) {
            LVITEMW item{};
            item.iSubItem = column;
            std::wstring text;
            if (!askForText(remote, list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), &item,
                            text)) {
                return failed("cannot read a cell");
            }
            put(text + (column < 2 ? L"\t" : L"\n"));
        }
    }
    std::wstring text;
    if (!askForText(remote, status, SB_GETTEXTW, 0, nullptr, text)) {
        return failed("cannot read the status line");
    }
    put(L"status: " + text + L"\n");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// WM_GETTEXT is carried between processes by the system itself.
int box(const std::wstring& caption) {
    HWND window = FindWindowW(L"#32770", caption.c_str());
    if (!window) return failed("no message box of that caption");
    HWND text = GetDlgItem(window, 0xFFFF);
    if (!text) return failed("the box has no text");
    wchar_t buffer[kTextUnits + 1] = {};
    GetWindowTextW(text, buffer, static_cast<int>(kTextUnits));
    put(std::wstring(buffer) + L"\n");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc != 3) {
        std::fputs("usage: zem-viewer-probe rows TITLE | box CAPTION\n", stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "rows") return rows(wideArgument(argv[2]));
    if (command == "box") return box(wideArgument(argv[2]));
    std::fputs("usage: zem-viewer-probe rows TITLE | box CAPTION\n", stderr);
    return 2;
}
