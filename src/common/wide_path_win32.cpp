#include "common/wide_path_win32.h"

#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// ntdll's calls, looked up at run time: ntdll is in every process, and the programs import from
// nothing but the usual Win32 DLLs.
using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using StatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);
using UpcaseCall = WCHAR(NTAPI*)(WCHAR);
using NtQueryDirectoryFileCall = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK,
                                                  PVOID, ULONG, FILE_INFORMATION_CLASS, BOOLEAN,
                                                  PUNICODE_STRING, BOOLEAN);

using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                  FILE_INFORMATION_CLASS);

struct NtCalls {
    NtCreateFileCall createFile = nullptr;
    NtSetInformationFileCall setInformation = nullptr;
    NtQueryDirectoryFileCall queryDirectory = nullptr;
    StatusToErrorCall statusToError = nullptr;
    UpcaseCall upcase = nullptr;
};

template <typename Call>
Call lookUp(HMODULE module, const char* name) {
    // A function pointer from FARPROC goes through void* to keep the cast-function-type warning
    // quiet: the types are those the system documents.
    return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const NtCalls& ntCalls() {
    static const NtCalls calls = [] {
        NtCalls c;
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll) {
            c.createFile = lookUp<NtCreateFileCall>(ntdll, "NtCreateFile");
            c.queryDirectory = lookUp<NtQueryDirectoryFileCall>(ntdll, "NtQueryDirectoryFile");
            c.setInformation = lookUp<NtSetInformationFileCall>(ntdll, "NtSetInformationFile");
            c.statusToError = lookUp<StatusToErrorCall>(ntdll, "RtlNtStatusToDosError");
            c.upcase = lookUp<UpcaseCall>(ntdll, "RtlUpcaseUnicodeChar");
        }
        return c;
    }();
    return calls;
}

UNICODE_STRING unicodeString(const std::wstring& text) {
    UNICODE_STRING string;
    string.Buffer = const_cast<wchar_t*>(text.c_str());
    string.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    string.MaximumLength = string.Length;
    return string;
}

bool utf8CodePage() { return GetACP() == CP_UTF8; }

// The code page's bytes of UTF-16 text, false when a character isn't in the code page exactly.
bool toCodePage(const wchar_t* text, int length, std::string& out) {
    out.clear();
    if (length == 0) return true;
    // UTF-8 as the system code page takes neither the best-fit flag nor a default character: it
    // has every character, and refuses only a lone surrogate.
    const bool utf8 = utf8CodePage();
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* defaultFlag = utf8 ? nullptr : &usedDefault;
    const int size =
        WideCharToMultiByte(CP_ACP, flags, text, length, nullptr, 0, nullptr, defaultFlag);
    if (size <= 0 || usedDefault) return false;
    out.resize(static_cast<size_t>(size));
    const int written =
        WideCharToMultiByte(CP_ACP, flags, text, length, &out[0], size, nullptr, defaultFlag);
    return written == size && !usedDefault;
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The code point of a <U+XXXX> spelling at text[at] (4 to 6 hex digits, beyond ASCII, no
// surrogate), with its length; 0 when there is none.
size_t spelledCharacter(const std::string& text, size_t at, unsigned long& codePoint) {
    if (text.compare(at, 3, "<U+") != 0) return 0;
    size_t end = at + 3;
    while (end < text.size() && end - at - 3 < 6 && isHex(text[end])) ++end;
    const size_t digits = end - at - 3;
    if (digits < 4 || end >= text.size() || text[end] != '>') return 0;
    codePoint = std::strtoul(text.substr(at + 3, digits).c_str(), nullptr, 16);
    if (codePoint < 0x80 || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return end + 1 - at;
}

std::wstring fromCodePage(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int size =
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &wide[0], size);
    return wide;
}

std::wstring fullPathName(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The length of the part of a full path that ".." never climbs above: "C:\", or "\\server\share".
size_t rootLength(const std::wstring& full) {
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return 3;
    if (startsWith(full, L"\\\\")) {
        size_t end = full.find(L'\\', 2);                                // after the server
        if (end != std::wstring::npos) end = full.find(L'\\', end + 1);  // after the share
        return end == std::wstring::npos ? full.size() : end;
    }
    return 0;
}

}  // namespace

std::wstring wideText(const std::string& text) {
    std::wstring wide;
    size_t runStart = 0;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        unsigned long codePoint = 0;
        const size_t length = spelledCharacter(text, at, codePoint);
        if (length == 0) continue;
        wide += fromCodePage(text.substr(runStart, at - runStart));
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            wide.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
            wide.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            wide.push_back(static_cast<wchar_t>(codePoint));
        }
        runStart = at + length;
        at = runStart - 1;
    }
    return wide + fromCodePage(text.substr(runStart));
}

std::string narrowText(const wchar_t* text, size_t length, bool* faithful) {
    if (faithful) *faithful = true;
    std::string out;
    if (toCodePage(text, static_cast<int>(length), out)) return out;
    // One character at a time: those the code page has as its bytes, the others spelled out.
    out.clear();
    for (size_t i = 0; i < length;) {
        size_t units = 1;
        unsigned long codePoint = text[i];
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            units = 2;
        }
        std::string bytes;
        if (toCodePage(text + i, static_cast<int>(units), bytes)) {
            out += bytes;
        } else {
            char spelled[16];
            snprintf(spelled, sizeof spelled, "<U+%04lX>", codePoint);
            out += spelled;
            if (faithful) *faithful = false;
        }
        i += units;
    }
    return out;
}

std::wstring longPath(const std::string& path) {
    std::wstring wide = wideText(path);
    if (startsWith(wide, L"\\\\?\\")) return wide;
    // A device: "\\.\pipe\x", or a bare device name ("NUL", "CON"), which the system's own full
    // path tells ("\\.\NUL"). That full path is not kept otherwise: it drops a trailing dot or
    // space of the last name, making "x." the path of "x", and on older systems it makes a file
    // "nul.txt" in any folder the device.
    if (startsWith(wide, L"\\\\.\\")) return wide;
    if (wide.find_first_of(L"\\/:") == std::wstring::npos) {
        const std::wstring systemFull = fullPathName(wide);
        if (startsWith(systemFull, L"\\\\.\\")) return systemFull;
    }
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    std::wstring full;
    size_t rest = 0;
    if (startsWith(wide, L"\\\\")) {
        rest = rootLength(wide);
        full = wide.substr(0, rest);
    } else if (wide.size() >= 2 && wide[1] == L':') {
        const bool absolute = wide.size() >= 3 && wide[2] == L'\\';
        full = absolute ? wide.substr(0, 3) : fullPathName(wide.substr(0, 2));
        rest = absolute ? 3 : 2;
    } else if (!wide.empty() && wide[0] == L'\\') {
        full = fullPathName(L"\\");
        rest = 1;
    } else {
        full = fullPathName(L".");
    }
    const size_t root = rootLength(full);
    while (rest <= wide.size()) {
        size_t end = wide.find(L'\\', rest);
        if (end == std::wstring::npos) end = wide.size();
        const std::wstring part = wide.substr(rest, end - rest);
        rest = end + 1;
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            const size_t last = full.find_last_of(L'\\');
            if (full.size() > root && last != std::wstring::npos) {
                full.resize(last >= root ? last : root);
            }
            continue;
        }
        if (!full.empty() && full.back() != L'\\') full.push_back(L'\\');
        full += part;
    }
    if (full.size() == 2 && full[1] == L':') full.push_back(L'\\');
    if (startsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

HANDLE openInFolder(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options) {
    const NtCalls& nt = ntCalls();
    if (!nt.createFile || !nt.statusToError) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // A name longer than a UNICODE_STRING can count is no name of one folder's entry.
    if (name.size() > 32767) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    UNICODE_STRING ntName = unicodeString(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &ntName, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = nt.createFile(&handle, access | SYNCHRONIZE, &attributes, &status,
                                          nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                                          options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(result)) {
        SetLastError(nt.statusToError(result));
        return nullptr;
    }
    return handle;
}

wchar_t upperCaseUnit(wchar_t unit) {
    const NtCalls& nt = ntCalls();
    return nt.upcase ? nt.upcase(unit) : static_cast<wchar_t>(std::towupper(unit));
}

bool folderEntry(HANDLE folder, const std::wstring& name, DWORD& attributes, uint64_t& id) {
    const NtCalls& nt = ntCalls();
    if (!nt.queryDirectory || name.size() > 255) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    // A handle of its own: a listing's name filter holds only for a handle's first query.
    const UniqueHandle listing = ownHandle(openInFolder(
        folder, L"", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        FILE_OPEN, FILE_DIRECTORY_FILE));
    if (!listing.valid()) return false;
    // Room for the entry and a name of 255 units.
    std::vector<char> buffer(sizeof(FILE_ID_BOTH_DIR_INFO) + 256 * sizeof(wchar_t));
    UNICODE_STRING filter = unicodeString(name);
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = nt.queryDirectory(
        nativeHandle(listing), nullptr, nullptr, nullptr, &status, buffer.data(),
        static_cast<ULONG>(buffer.size()), FileIdBothDirectoryInformation, TRUE, &filter, TRUE);
    if (!NT_SUCCESS(result)) {
        SetLastError(ntCalls().statusToError(result));
        return false;
    }
    const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data());
    attributes = entry->FileAttributes;
    id = static_cast<uint64_t>(entry->FileId.QuadPart);
    return true;
}

bool renameInFolder(HANDLE file, HANDLE folder, const std::wstring& name, bool replace) {
    const NtCalls& nt = ntCalls();
    if (!nt.setInformation || !nt.statusToError) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    // FILE_RENAME_INFO has the layout of the native FILE_RENAME_INFORMATION. The native call
    // takes the name relative to the root folder as it is; SetFileInformationByHandle would turn
    // it into a full path first (Wine does), which no root folder goes with.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    wmemcpy(rename->FileName, name.data(), name.size());
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = nt.setInformation(
        file, &status, buffer.data(), static_cast<ULONG>(buffer.size()), FileRenameInformation);
    if (!NT_SUCCESS(result)) {
        SetLastError(nt.statusToError(result));
        return false;
    }
    return true;
}
