// Desktop dialogs through zenity or kdialog, for a program started without a terminal. Each
// message runs the helper with an argument vector (never a shell) and waits for it; only its exit
// status counts, and only 0 is OK. The progress window is a zenity --progress fed through a
// socket on its standard input.

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "builder/dialog_posix.h"
#include "ops/progress_text.h"
#include "platform/process.h"

namespace {

int runHelper(const std::string& path, const std::vector<std::string>& args) {
    const pid_t pid = spawnProgram(path, args, -1);
    if (pid < 0) return kNotStarted;
    const int status = waitForExit(pid);
    return status == kNotWaited ? kKilled : status;
}

// The zenity progress window. Cancel there (the button, Escape, closing the window) ends zenity
// with status 1, seen at the next update, which then stops the run. A window that goes away in
// any other way (the display closed, zenity crashed) only takes the progress with it.
struct ZenityProgress : ProgressDisplay {
    pid_t pid = -1;
    int feed = -1;  // our end of the socket that is zenity's standard input
    bool exited = false;
    bool cancelled = false;
    UpdateThrottle throttle;

    ZenityProgress(pid_t p, int f) : pid(p), feed(f) {}
    ZenityProgress(const ZenityProgress&) = delete;
    ZenityProgress& operator=(const ZenityProgress&) = delete;

    void update(const WriteProgress& progress) override {
        checkExit();
        if (cancelled) throw Cancelled();
        if (exited || !throttle.due(progress, std::chrono::steady_clock::now())) return;
        // 100 would close the window (--auto-close) while the archive is still being finished;
        // the window closes when the display does.
        const int percent = progressPercent(progress);
        const std::string lines = "#Writing: " + progressText(progress) + "\n" +
                                  std::to_string(percent < 99 ? percent : 99) + "\n";
        // Never blocks, never raises SIGPIPE: a window that doesn't keep up misses an update, one
        // that is gone misses all of them, and the next checkExit() says why.
        (void)send(feed, lines.data(), lines.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    void checkExit() {
        if (exited) return;
        int status = 0;
        pid_t done;
        while ((done = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (done == 0) return;
        exited = true;
        cancelled = done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 1;
    }

    ~ZenityProgress() override {
        close(feed);
        if (exited) return;
        // The run is over, whatever the window shows: close it now rather than wait for zenity
        // to read the end of its input.
        kill(pid, SIGTERM);
        waitForExit(pid);
    }
};

struct DesktopDialog : Dialog {
    DialogChoice choice;
    // For a message whose helper can't even be started (removed since it was found): the
    // terminal's words on standard output or error, and Cancel for a question, since standard
    // input holds no answer.
    std::unique_ptr<Dialog> fallback = makeTerminalDialog();

    explicit DesktopDialog(const DialogChoice& c) : choice(c) {}

    int show(MessageKind kind, const std::string& text) {
        return runHelper(choice.helperPath, helperArguments(choice.kind, kind, kCaption, text));
    }

    void showInformation(const std::string& text) override {
        if (show(MessageKind::Information, text) == kNotStarted) fallback->showInformation(text);
    }

    bool askToContinue(const std::string& text) override {
        const int status = show(MessageKind::Question, text);
        if (status == kNotStarted) return fallback->askToContinue(text);
        return status == 0;
    }

    void showError(const std::string& text) override {
        if (show(MessageKind::Error, text) == kNotStarted) fallback->showError(text);
    }

    // kdialog's progress bar lives on D-Bus; only zenity's is shown.
    std::unique_ptr<ProgressDisplay> startProgress() override {
        if (choice.kind != DialogKind::Zenity) return nullptr;
        return startZenityProgress(choice.helperPath);
    }
};

}  // namespace

std::string kdialogText(const std::string& text) {
    std::string out = "<qt>";
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '\n': out += "<br>"; break;
            default: out += c;
        }
    }
    return out + "</qt>";
}

std::vector<std::string> helperArguments(DialogKind helper, MessageKind kind,
                                         const std::string& caption, const std::string& text) {
    if (helper == DialogKind::KDialog) {
        std::vector<std::string> args = {"kdialog", "--title", caption};
        if (kind == MessageKind::Question) {
            args.insert(args.end(), {"--yes-label", "OK", "--no-label", "Cancel", "--yesno"});
        } else {
            args.push_back(kind == MessageKind::Error ? "--error" : "--msgbox");
        }
        args.push_back(kdialogText(text));
        return args;
    }
    // One argument per option (--text=...), so a text that begins with '-' can't pass for one.
    std::vector<std::string> args = {"zenity"};
    switch (kind) {
        case MessageKind::Information: args.push_back("--info"); break;
        case MessageKind::Question: args.push_back("--question"); break;
        case MessageKind::Error: args.push_back("--error"); break;
    }
    args.push_back("--title=" + caption);
    args.push_back("--text=" + text);
    args.push_back("--no-markup");
    if (kind == MessageKind::Question) {
        args.push_back("--ok-label=OK");
        args.push_back("--cancel-label=Cancel");
    }
    return args;
}

std::vector<std::string> zenityProgressArguments(const std::string& caption) {
    return {"zenity",         "--progress",   "--title=" + caption, "--text=Writing the archive",
            "--percentage=0", "--auto-close", "--width=420"};
}

std::unique_ptr<ProgressDisplay> startZenityProgress(const std::string& zenityPath) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
    const pid_t pid = spawnProgram(zenityPath, zenityProgressArguments(kCaption), ends[1]);
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return nullptr;
    }
    return std::make_unique<ZenityProgress>(pid, ends[0]);
}

std::unique_ptr<Dialog> makeDesktopDialog(const DialogChoice& choice) {
    return std::make_unique<DesktopDialog>(choice);
}
