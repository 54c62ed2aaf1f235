#pragma once
// The viewer's own message box texts, each in one place; the unpacking texts it shares with
// zem-builder (extraction errors, warnings) are platform/messages.h's.

#include <string>

inline std::string dangerousFileQuestion(const std::string& path) {
    return "\"" + path + "\" is a program or a script: opening it runs it. Open it anyway?";
}

inline std::string openErrorText(const std::string& path, const std::string& reason) {
    return "Error opening \"" + path + "\": " + reason;
}

inline std::string windowClassErrorText(const std::string& reason) {
    return "Error registering the viewer's window class: " + reason;
}

inline std::string windowErrorText(const std::string& reason) {
    return "Error creating the viewer's window: " + reason;
}

// A fixed text: building a message could run out again.
inline constexpr const wchar_t* kOutOfMemoryText = L"Out of memory";
