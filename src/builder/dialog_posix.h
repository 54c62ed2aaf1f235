#pragma once
// The POSIX dialogs: the terminal, and desktop dialogs through zenity or kdialog for a program
// started without a terminal (from a launcher or a file manager). makeSystemDialog() picks one
// from the facts below; the choice and the helpers' argument vectors are plain functions so
// tests can check them without a display.

#include <memory>
#include <string>
#include <vector>

#include "builder/dialog.h"

// What standard input is connected to. Scripts pipe answers in or redirect a file; a launcher
// gives /dev/null (a character device that is no terminal), a socket, or nothing at all.
enum class InputKind { Terminal, Pipe, File, Other };

enum class DialogKind { Terminal, Zenity, KDialog };

// The facts the choice depends on.
struct DialogEnvironment {
    InputKind input = InputKind::Terminal;
    // DISPLAY or WAYLAND_DISPLAY is set and not empty.
    bool hasDisplay = false;
    // Full paths of the helpers found on PATH; empty when absent.
    std::string zenityPath;
    std::string kdialogPath;
};

struct DialogChoice {
    DialogKind kind = DialogKind::Terminal;
    std::string helperPath;  // the program to run for a desktop dialog
};

// Desktop dialogs only without a terminal, pipe or file on standard input and with a display;
// zenity before kdialog; else the terminal.
DialogChoice chooseDialog(const DialogEnvironment& environment);

// Reads the facts from this process: fstat on standard input, the environment, PATH.
DialogEnvironment probeDialogEnvironment();

// The first executable regular file called `name` in the absolute folders of `searchPath` (a
// PATH value); empty when there is none. Empty and relative entries are skipped, so a helper is
// never taken from whatever folder the program happens to run in.
std::string findOnPath(const std::string& name, const std::string& searchPath);

enum class MessageKind { Information, Question, Error };

// The helper's argument vector (argv[0] first) for one message: the caption as the window title,
// the text shown literally, OK and Cancel on a question, the icon that suits the kind.
std::vector<std::string> helperArguments(DialogKind helper, MessageKind kind,
                                         const std::string& caption, const std::string& text);

// kdialog shows rich text: the text with <, > and & escaped (and line breaks kept) inside <qt>,
// so that it appears exactly as given.
std::string kdialogText(const std::string& text);

// The argument vector of the zenity progress window, which reads percentages and "#text" lines
// on its standard input.
std::vector<std::string> zenityProgressArguments(const std::string& caption);

// The progress window: zenity --progress at zenityPath, or null when it can't be started.
std::unique_ptr<ProgressDisplay> startZenityProgress(const std::string& zenityPath);

std::unique_ptr<Dialog> makeTerminalDialog();
std::unique_ptr<Dialog> makeDesktopDialog(const DialogChoice& choice);
