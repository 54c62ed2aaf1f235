#include "viewer/shell_win32.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include "common/fatal_error.h"
#include "common/wide_path_win32.h"

namespace {

// Releases a COM interface.
template <typename T>
struct Com {
    T* p = nullptr;
    Com() = default;
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    ~Com() {
        if (p) p->Release();
    }
};

std::string hresultText(const char* operation, HRESULT result) {
    char code[16];
    wsprintfA(code, "0x%08lX", static_cast<unsigned long>(result));
    return std::string(operation) + " failed (" + code + ")";
}

}  // namespace

ShellApartment::ShellApartment()
    : started(SUCCEEDED(
          CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}

ShellApartment::~ShellApartment() {
    if (started) CoUninitialize();
}

bool pickFolder(HWND owner, const std::wstring& start, std::wstring& chosen) {
    Com<IFileOpenDialog> picker;
    HRESULT result = CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IFileOpenDialog, reinterpret_cast<void**>(&picker.p));
    if (FAILED(result)) fatalError(hresultText("opening the folder picker", result));
    FILEOPENDIALOGOPTIONS options = 0;
    if (FAILED(result = picker.p->GetOptions(&options)) ||
        FAILED(result = picker.p->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM |
                                             FOS_PATHMUSTEXIST))) {
        fatalError(hresultText("setting up the folder picker", result));
    }
    picker.p->SetTitle(L"Extract to");
    picker.p->SetOkButtonLabel(L"Extract");
    Com<IShellItem> startItem;
    if (!start.empty() &&
        SUCCEEDED(SHCreateItemFromParsingName(start.c_str(), nullptr, IID_IShellItem,
                                              reinterpret_cast<void**>(&startItem.p)))) {
        picker.p->SetFolder(startItem.p);  // a folder that is gone leaves the picker's own
    }
    result = picker.p->Show(owner);
    if (result == HRESULT_FROM_WIN32(ERROR_CANCELLED)) return false;
    Com<IShellItem> item;
    wchar_t* path = nullptr;
    if (FAILED(result) || FAILED(result = picker.p->GetResult(&item.p)) ||
        FAILED(result = item.p->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
        fatalError(hresultText("picking a folder", result));
    }
    chosen = path;
    CoTaskMemFree(path);
    return true;
}

bool opensAsProgram(const std::wstring& path) { return AssocIsDangerous(path.c_str()) != FALSE; }

void openWithAssociatedProgram(HWND owner, const std::string& path) {
    const std::wstring wide = wideText(path);
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof request;
    request.fMask = SEE_MASK_FLAG_NO_UI;  // the viewer says itself what failed
    request.hwnd = owner;
    request.lpFile = wide.c_str();
    request.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&request)) return;
    if (GetLastError() == ERROR_NO_ASSOCIATION) {
        // A type no program is associated with: Windows asks which program to open it with.
        request.lpVerb = L"openas";
        if (ShellExecuteExW(&request)) return;
    }
    failSystemCall("open", path);
}
