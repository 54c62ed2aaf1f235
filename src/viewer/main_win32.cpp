// The archive viewer on Windows: a window with a report-style list of an archive's files, opened
// from the command line or File > Open. It shows and calls: reading, checking and extracting are
// unpacking's own (builder/run.h, viewer/archive_view.h).

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cwchar>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "builder/dialog.h"
#include "builder/run.h"
#include "common/fatal_error.h"
#include "common/standard_streams.h"
#include "common/wide_path_win32.h"
#include "format/reader.h"
#include "platform/atomic_file.h"
#include "platform/messages.h"
#include "viewer/archive_view.h"
#include "viewer/messages.h"
#include "viewer/shell_win32.h"

namespace {

enum Command : WORD {
    kOpenArchive = 100,
    kExtractAll,
    kExtractSelected,
    kOpenFile,
    kExit,
    kSelectAll,
    kSortName,
    kSortSize,
    kSortTime,
};

constexpr int kListId = 1;
constexpr int kStatusId = 2;
const wchar_t* const kWindowClass = L"ZemViewerWindow";

// The program's text is the system code page's, as the archive's names are stored on Windows,
// with <U+XXXX> for a character the code page lacks (common/wide_path_win32.h).
std::wstring wideOf(const std::string& text) { return wideText(text); }

std::string narrowOf(const std::wstring& wide) { return narrowText(wide.data(), wide.size()); }

// Unpacking's messages, as boxes owned by the viewer's window.
struct WindowDialog : Dialog {
    HWND owner;
    explicit WindowDialog(HWND window) : owner(window) {}
    int box(const std::string& text, UINT type) {
        return MessageBoxW(owner, wideOf(text).c_str(), wideOf(kCaption).c_str(), type);
    }
    void showInformation(const std::string& text) override {
        box(text, MB_OK | MB_ICONINFORMATION);
    }
    bool askToContinue(const std::string& text) override {
        return box(text, MB_OKCANCEL) == IDOK;
    }
    void showError(const std::string& text) override { box(text, MB_OK | MB_ICONERROR); }
};

struct Viewer {
    HWND window = nullptr;
    HWND list = nullptr;
    HWND status = nullptr;
    HFONT font = nullptr;
    UINT dpi = USER_DEFAULT_SCREEN_DPI;
    bool loaded = false;
    LoadedArchive archive;
    std::vector<size_t> order;  // the record shown in each row
    ViewColumn column = ViewColumn::Name;
    bool ascending = true;
    TemporaryCopies copies;
    std::wstring cell;  // the text handed to the list, alive until it asks again
};

Viewer viewer;

int scaled(int value) { return MulDiv(value, static_cast<int>(viewer.dpi), USER_DEFAULT_SCREEN_DPI); }

// The message font of the window's monitor, for the list and the status line.
void applyFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                    viewer.dpi)) {
        return;  // the controls keep the font they have
    }
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    if (!font) return;
    SendMessageW(viewer.list, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(viewer.status, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (viewer.font) DeleteObject(viewer.font);
    viewer.font = font;
}

void layout() {
    RECT client{};
    GetClientRect(viewer.window, &client);
    SendMessageW(viewer.status, WM_SIZE, 0, 0);
    RECT bar{};
    GetWindowRect(viewer.status, &bar);
    MoveWindow(viewer.list, 0, 0, client.right, client.bottom - (bar.bottom - bar.top), TRUE);
}

std::vector<size_t> selectedRecords() {
    std::vector<size_t> records;
    for (int row = -1;;) {
        row = ListView_GetNextItem(viewer.list, row, LVNI_SELECTED);
        if (row < 0 || static_cast<size_t>(row) >= viewer.order.size()) break;
        records.push_back(viewer.order[static_cast<size_t>(row)]);
    }
    return records;
}

void showSortArrows() {
    HWND header = ListView_GetHeader(viewer.list);
    for (int i = 0; i < 3; ++i) {
        HDITEMW item{};
        item.mask = HDI_FORMAT;
        if (!SendMessageW(header, HDM_GETITEMW, i, reinterpret_cast<LPARAM>(&item))) continue;
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (i == static_cast<int>(viewer.column)) {
            item.fmt |= viewer.ascending ? HDF_SORTUP : HDF_SORTDOWN;
        }
        SendMessageW(header, HDM_SETITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
}

// Sorts the rows again, the same files staying selected and focused.
void sortRows(ViewColumn column, bool ascending) {
    const std::vector<size_t> selected = selectedRecords();
    const int focusedRow = ListView_GetNextItem(viewer.list, -1, LVNI_FOCUSED);
    const size_t focused = focusedRow >= 0 && static_cast<size_t>(focusedRow) < viewer.order.size()
                               ? viewer.order[static_cast<size_t>(focusedRow)]
                               : SIZE_MAX;
    viewer.column = column;
    viewer.ascending = ascending;
    viewer.order = sortedRecords(viewer.archive.records, column, ascending);
    ListView_SetItemState(viewer.list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    std::vector<int> rowOf(viewer.order.size());
    for (size_t row = 0; row < viewer.order.size(); ++row) {
        rowOf[viewer.order[row]] = static_cast<int>(row);
    }
    for (size_t record : selected) {
        ListView_SetItemState(viewer.list, rowOf[record], LVIS_SELECTED, LVIS_SELECTED);
    }
    if (focused != SIZE_MAX) {
        ListView_SetItemState(viewer.list, rowOf[focused], LVIS_FOCUSED, LVIS_FOCUSED);
        ListView_EnsureVisible(viewer.list, rowOf[focused], FALSE);
    }
    showSortArrows();
    InvalidateRect(viewer.list, nullptr, FALSE);
}

void showArchive(const std::string& path) {
    SetWindowTextW(viewer.window, wideOf(viewerTitle(path)).c_str());
    const std::string status = viewer.loaded ? viewerStatus(viewer.archive.records) : "";
    SendMessageW(viewer.status, SB_SETTEXTW, 0,
                 reinterpret_cast<LPARAM>(wideOf(status).c_str()));
    viewer.order = sortedRecords(viewer.archive.records, viewer.column, viewer.ascending);
    ListView_SetItemCountEx(viewer.list, static_cast<int>(viewer.order.size()), 0);
    ListView_SetItemState(viewer.list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    // The first row is selected, so that Enter opens it at once.
    if (!viewer.order.empty()) {
        ListView_SetItemState(viewer.list, 0, LVIS_FOCUSED | LVIS_SELECTED,
                              LVIS_FOCUSED | LVIS_SELECTED);
    }
    showSortArrows();
    InvalidateRect(viewer.list, nullptr, TRUE);
}

// Shows the archive once it has been read and checked as unpacking does; a damaged or hostile
// one is refused with the reader's reason, and what was shown before stays.
void openArchive(const std::string& path) {
    WindowDialog dialog(viewer.window);
    LoadedArchive fresh;
    if (!loadArchiveForUnpacking(path, fresh, dialog)) return;
    viewer.archive = std::move(fresh);
    viewer.loaded = true;
    showArchive(path);
}

void chooseArchive() {
    wchar_t file[32768] = L"";
    OPENFILENAMEW request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = viewer.window;
    request.lpstrFilter = L"ZEM archives (*.zem)\0*.zem\0All files (*.*)\0*.*\0";
    request.lpstrFile = file;
    request.nMaxFile = static_cast<DWORD>(std::size(file));
    request.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&request)) return;  // cancelled
    openArchive(narrowOf(file));
}

// The folder to extract into, from the system's folder picker, which starts in the archive's
// folder as Explorer's Extract all does; false when cancelled.
bool chooseFolder(std::string& folder) {
    const std::wstring archivePath = wideOf(viewer.archive.path);
    const size_t cut = archivePath.find_last_of(L"\\/");
    std::wstring chosen;
    try {
        if (!pickFolder(viewer.window,
                        cut == std::wstring::npos ? L"" : archivePath.substr(0, cut + 1), chosen)) {
            return false;
        }
    } catch (const FatalError& failure) {
        WindowDialog(viewer.window)
            .showError(extractionErrorText(viewer.archive.path, failure.what()));
        return false;
    }
    folder = narrowOf(chosen);
    return true;
}

void extract(bool all) {
    if (!viewer.loaded) return;
    std::vector<size_t> records;
    if (all) {
        for (size_t i = 0; i < viewer.archive.records.size(); ++i) records.push_back(i);
    } else {
        records = selectedRecords();
    }
    if (records.empty()) {
        MessageBeep(MB_OK);
        return;
    }
    std::string folder;
    if (!chooseFolder(folder)) return;
    WindowDialog dialog(viewer.window);
    extractRecords(viewer.archive, records, folder, dialog, systemFileSystem());
}

// Where this process keeps its copies of opened files: a folder of its own in the user's
// temporary folder.
bool temporaryRoot(std::string& root) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(static_cast<DWORD>(std::size(temp)), temp);
    if (length == 0 || length > MAX_PATH) return false;
    root = narrowOf(std::wstring(temp, length));
    if (!root.empty() && root.back() != '\\') root += '\\';
    root += "zem-viewer." + std::to_string(GetCurrentProcessId());
    return true;
}

// Opens the focused file as Explorer opens a file in a compressed folder: a copy goes to the
// temporary folder, and Windows starts the program it associates with the file.
void openFile() {
    const int row = ListView_GetNextItem(viewer.list, -1, LVNI_FOCUSED | LVNI_SELECTED);
    if (!viewer.loaded || row < 0 || static_cast<size_t>(row) >= viewer.order.size()) return;
    WindowDialog dialog(viewer.window);
    const std::string& archivePath = viewer.archive.path;
    if (viewer.copies.root.empty() && !temporaryRoot(viewer.copies.root)) {
        viewer.copies.root.clear();
        dialog.showError(extractionErrorText(archivePath, "no temporary folder to open it from"));
        return;
    }
    std::string path;
    std::vector<std::string> warnings;
    if (!unpackingStep(dialog, archivePath, extractionErrorText, [&] {
            path = extractTemporaryCopy(viewer.archive, viewer.order[static_cast<size_t>(row)],
                                        viewer.copies, warnings);
        })) {
        return;
    }
    for (const std::string& warning : warnings) dialog.showError(warningText(warning));
    const std::wstring wide = wideOf(path);
    // A program or script from an archive runs with the user's rights: only after a question
    // whose default is Cancel.
    if (opensAsProgram(wide) && dialog.box(dangerousFileQuestion(path),
                                           MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) != IDOK) {
        return;
    }
    try {
        openWithAssociatedProgram(viewer.window, path);
    } catch (const SystemFailure& failure) {
        dialog.showError(openErrorText(path, systemErrorText(failure.code)));
    }
}

void removeTemporaryCopies() {
    if (viewer.copies.root.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(wideOf(viewer.copies.root)), error);
    if (error) {
        WindowDialog(nullptr).showError(warningText("cannot remove the temporary copies in \"" +
                                                    viewer.copies.root + "\": " + error.message()));
    }
}

// The text of a cell, for the list that holds no text of its own.
void giveCell(NMLVDISPINFOW& info) {
    LVITEMW& item = info.item;
    if (!(item.mask & LVIF_TEXT) || item.iItem < 0 ||
        static_cast<size_t>(item.iItem) >= viewer.order.size()) {
        return;
    }
    const ArchiveRecord& r = viewer.archive.records[viewer.order[static_cast<size_t>(item.iItem)]];
    switch (item.iSubItem) {
        case 0:
            viewer.cell = wideOf(r.name);
            break;
        case 1:
            viewer.cell = std::to_wstring(r.length);
            break;
        default:
            viewer.cell = wideOf(formatStoredTime(r.time));
            break;
    }
    item.pszText = &viewer.cell[0];
}

// Typing a name's first letters moves to it.
LRESULT findRow(const NMLVFINDITEMW& find) {
    if (!(find.lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) || !find.lvfi.psz) return -1;
    const size_t typed = wcslen(find.lvfi.psz);
    const size_t rows = viewer.order.size();
    for (size_t step = 0; step < rows; ++step) {
        const size_t row = (static_cast<size_t>(find.iStart) + step) % rows;
        const std::wstring name = wideOf(viewer.archive.records[viewer.order[row]].name);
        if (name.size() >= typed && _wcsnicmp(name.c_str(), find.lvfi.psz, typed) == 0) {
            return static_cast<LRESULT>(row);
        }
    }
    return -1;
}

void sortBy(ViewColumn column) {
    // The column already sorted by turns round, as Explorer's headers do.
    sortRows(column, column == viewer.column ? !viewer.ascending : true);
}

void onCommand(WORD command) {
    switch (command) {
        case kOpenArchive:
            chooseArchive();
            break;
        case kExtractAll:
            extract(true);
            break;
        case kExtractSelected:
            extract(false);
            break;
        case kOpenFile:
            openFile();
            break;
        case kExit:
            DestroyWindow(viewer.window);
            break;
        case kSelectAll:
            ListView_SetItemState(viewer.list, -1, LVIS_SELECTED, LVIS_SELECTED);
            break;
        case kSortName:
            sortBy(ViewColumn::Name);
            break;
        case kSortSize:
            sortBy(ViewColumn::Size);
            break;
        case kSortTime:
            sortBy(ViewColumn::Time);
            break;
        default:
            break;
    }
}

void updateMenu(HMENU menu) {
    const bool any = viewer.loaded && !viewer.archive.records.empty();
    const bool selected = ListView_GetSelectedCount(viewer.list) > 0;
    EnableMenuItem(menu, kExtractAll, any ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(menu, kExtractSelected, selected ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(menu, kOpenFile, selected ? MF_ENABLED : MF_GRAYED);
    CheckMenuRadioItem(menu, kSortName, kSortTime,
                       viewer.column == ViewColumn::Name   ? kSortName
                       : viewer.column == ViewColumn::Size ? kSortSize
                                                           : kSortTime,
                       MF_BYCOMMAND);
}

HMENU makeMenu() {
    HMENU bar = CreateMenu();
    HMENU file = CreatePopupMenu();
    AppendMenuW(file, MF_STRING, kOpenArchive, L"&Open...\tCtrl+O");
    AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(file, MF_STRING, kOpenFile, L"Open &file\tEnter");
    AppendMenuW(file, MF_STRING, kExtractAll, L"Extract &all...\tCtrl+E");
    AppendMenuW(file, MF_STRING, kExtractSelected, L"Extract &selected...\tCtrl+Shift+E");
    AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(file, MF_STRING, kExit, L"E&xit\tAlt+F4");
    HMENU edit = CreatePopupMenu();
    AppendMenuW(edit, MF_STRING, kSelectAll, L"Select &all\tCtrl+A");
    HMENU view = CreatePopupMenu();
    AppendMenuW(view, MF_STRING, kSortName, L"Sort by &name\tCtrl+F3");
    AppendMenuW(view, MF_STRING, kSortTime, L"Sort by &modified\tCtrl+F5");
    AppendMenuW(view, MF_STRING, kSortSize, L"Sort by &size\tCtrl+F6");
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), L"&Edit");
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(view), L"&View");
    return bar;
}

bool makeControls(HWND window) {
    viewer.window = window;
    viewer.dpi = GetDpiForWindow(window);
    viewer.list = CreateWindowExW(
        0, WC_LISTVIEWW, L"Files",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_OWNERDATA, 0, 0,
        0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), nullptr, nullptr);
    viewer.status = CreateWindowExW(
        0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusId)), nullptr, nullptr);
    if (!viewer.list || !viewer.status) return false;
    ListView_SetExtendedListViewStyle(
        viewer.list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_LABELTIP);
    struct Column {
        const wchar_t* title;
        int format;
        int width;
    } columns[] = {{L"Name", LVCFMT_LEFT, 320}, {L"Size", LVCFMT_RIGHT, 90},
                   {L"Modified", LVCFMT_LEFT, 140}};
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(columns[i].title);
        column.fmt = columns[i].format;
        column.cx = scaled(columns[i].width);
        column.iSubItem = i;
        // The W message by name: without UNICODE the macros send the A ones.
        if (SendMessageW(viewer.list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column)) < 0) {
            return false;
        }
    }
    applyFont();
    showArchive("");
    return true;
}

void onDpiChanged(UINT dpi, const RECT& suggested) {
    const UINT old = viewer.dpi;
    viewer.dpi = dpi;
    for (int i = 0; i < 3; ++i) {
        const int width = ListView_GetColumnWidth(viewer.list, i);
        ListView_SetColumnWidth(viewer.list, i,
                                MulDiv(width, static_cast<int>(dpi), static_cast<int>(old)));
    }
    applyFont();
    SetWindowPos(viewer.window, nullptr, suggested.left, suggested.top,
                 suggested.right - suggested.left, suggested.bottom - suggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return makeControls(window) ? 0 : -1;
        case WM_SIZE:
            layout();
            return 0;
        case WM_SETFOCUS:
            SetFocus(viewer.list);
            return 0;
        case WM_DPICHANGED:
            onDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_INITMENUPOPUP:
            updateMenu(reinterpret_cast<HMENU>(wParam));
            return 0;
        case WM_COMMAND:
            onCommand(LOWORD(wParam));
            return 0;
        case WM_NOTIFY: {
            const NMHDR& header = *reinterpret_cast<const NMHDR*>(lParam);
            if (header.hwndFrom != viewer.list) break;
            switch (header.code) {
                case LVN_GETDISPINFOW:
                    giveCell(*reinterpret_cast<NMLVDISPINFOW*>(lParam));
                    return 0;
                case LVN_ODFINDITEMW:
                    return findRow(*reinterpret_cast<const NMLVFINDITEMW*>(lParam));
                case LVN_COLUMNCLICK:
                    sortBy(static_cast<ViewColumn>(
                        reinterpret_cast<const NMLISTVIEW*>(lParam)->iSubItem));
                    return 0;
                case LVN_ITEMACTIVATE:  // a double-click, or Enter
                    openFile();
                    return 0;
                default:
                    break;
            }
            break;
        }
        case WM_DESTROY:
            removeTemporaryCopies();
            if (viewer.font) DeleteObject(viewer.font);
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Owns the accelerator table.
struct Accelerators {
    HACCEL table;
    ~Accelerators() {
        if (table) DestroyAcceleratorTable(table);
    }
};

int runViewer(HINSTANCE instance) {
    const ShellApartment apartment;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&windowClass)) {
        WindowDialog(nullptr).showError(
            windowClassErrorText(systemErrorText(static_cast<int>(GetLastError()))));
        return 1;
    }
    HWND window = CreateWindowExW(0, kWindowClass, wideOf(kViewerName).c_str(), WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, makeMenu(), instance, nullptr);
    if (!window) {
        WindowDialog(nullptr).showError(
            windowErrorText(systemErrorText(static_cast<int>(GetLastError()))));
        return 1;
    }
    SetWindowPos(window, nullptr, 0, 0, scaled(640), scaled(480), SWP_NOMOVE | SWP_NOZORDER);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    // Explorer's verb and a drop give the archive as the one argument.
    const std::vector<std::string> arguments = programArguments(__argc, __argv);
    if (!arguments.empty()) openArchive(arguments.front());

    ACCEL keys[] = {
        {FCONTROL | FVIRTKEY, 'O', kOpenArchive},
        {FCONTROL | FVIRTKEY, 'E', kExtractAll},
        {FCONTROL | FSHIFT | FVIRTKEY, 'E', kExtractSelected},
        {FCONTROL | FVIRTKEY, 'A', kSelectAll},
        {FCONTROL | FVIRTKEY, VK_F3, kSortName},
        {FCONTROL | FVIRTKEY, VK_F5, kSortTime},
        {FCONTROL | FVIRTKEY, VK_F6, kSortSize},
    };
    const Accelerators accelerators{
        CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)))};
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (accelerators.table && TranslateAcceleratorW(window, accelerators.table, &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    try {
        return runViewer(instance);
    } catch (const std::bad_alloc&) {
        MessageBoxW(nullptr, kOutOfMemoryText, L"ZEM Viewer", MB_OK | MB_ICONERROR);
        return 1;
    }
}
