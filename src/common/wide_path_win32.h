#pragma once
// The program's text and paths as the wide (W) Win32 calls take them. The program holds names in
// the system code page, byte for byte as the archive stores them; a character the code page lacks
// is spelled <U+XXXX> (Windows allows no < or > in a name), so that a name a listing gives leads
// back to the same file, and a message can show it. Every path goes to the system in the "\\?\"
// form, which knows no MAX_PATH and takes each name as it is spelled (a trailing dot or space
// included).

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/unique_handle.h"

// The UTF-16 text of the program's text: the code page's characters, and the <U+XXXX> spellings
// of characters beyond ASCII turned back into the characters.
std::wstring wideText(const std::string& text);

// The program's text for UTF-16 text. `faithful` (when given) is cleared when a character had to be
// spelled <U+XXXX>: the code page can't store it. No character is ever replaced by a look-alike
// ("best fit"): U+FF0E is no dot.
std::string narrowText(const wchar_t* text, size_t length, bool* faithful = nullptr);

// The full path in the "\\?\" form. A relative path is taken from the current folder, "C:" from
// that drive's current folder; "." and ".." components are resolved as the system would, every
// other component is kept as spelled. Device paths ("NUL", "\\.\pipe\x") stay as they are.
std::wstring longPath(const std::string& path);

// Opens or creates `name` inside the open folder, never through a path: a folder swapped for a
// link meanwhile doesn't redirect it. The arguments are NtCreateFile's; the name is compared
// without regard to letter case, as the Win32 calls do. Null on failure, with the Win32 error
// for GetLastError.
HANDLE openInFolder(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options);

// Renames the open file (opened with DELETE access) to `name` inside the open folder, replacing a
// file there only when asked to. False with the Win32 error.
bool renameInFolder(HANDLE file, HANDLE folder, const std::wstring& name, bool replace);

// The entry `name` of the open folder as the folder's listing shows it, without following it: its
// attributes and file id. False (with the Win32 error) when there is none.
bool folderEntry(HANDLE folder, const std::wstring& name, DWORD& attributes, uint64_t& id);

// One UTF-16 unit upper-cased by the system's table, the one its file systems compare names by.
wchar_t upperCaseUnit(wchar_t unit);

// The owner of a handle that a wide call gave, and the handle it holds.
inline UniqueHandle ownHandle(HANDLE handle) {
    return UniqueHandle(reinterpret_cast<intptr_t>(handle));
}
inline UniqueSearch ownSearch(HANDLE search) {
    return UniqueSearch(reinterpret_cast<intptr_t>(search));
}
template <typename Kind>
HANDLE nativeHandle(const Unique<Kind>& owner) {
    return reinterpret_cast<HANDLE>(owner.get());
}
