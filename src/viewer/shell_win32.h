#pragma once
// The shell's services the viewer calls, kept apart from the program's own headers: the shell's
// headers declare names (FolderItem, Folder) that the program's use too.

#include <windows.h>

#include <string>

// The COM apartment of the window's thread, which the folder picker and the shell need.
struct ShellApartment {
    ShellApartment();
    ~ShellApartment();
    ShellApartment(const ShellApartment&) = delete;
    ShellApartment& operator=(const ShellApartment&) = delete;
    bool started;
};

// The folder the user picks in the system's folder picker, which starts in `start`; false when
// cancelled. A picker that can't be shown throws FatalError saying why.
bool pickFolder(HWND owner, const std::wstring& start, std::wstring& chosen);

// Whether opening the file would run it: a program, a script, a shortcut.
bool opensAsProgram(const std::wstring& path);

// Starts the program Windows associates with the file. A failure throws SystemFailure ("open").
void openWithAssociatedProgram(HWND owner, const std::string& path);
