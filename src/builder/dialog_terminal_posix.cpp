// Terminal dialog: each message box becomes a line of text. A question waits for one line on
// standard input, so scripts can answer it: printf '\n\n' | zem-builder DIR
// Every text is shown escaped: the names and paths in it come from the folder and the command
// line, and must not steer the terminal (nor break the one line into several).

#include <unistd.h>

#include <cstdio>
#include <string>

#include "builder/dialog_posix.h"
#include "builder/terminal_answer.h"
#include "format/stored_name.h"
#include "ops/progress_text.h"

namespace {

struct TerminalDialog : Dialog {
    void showInformation(const std::string& text) override {
        std::printf("%s\n", escapedText(text).c_str());
        std::fflush(stdout);
    }

    bool askToContinue(const std::string& text) override {
        std::printf("%s [OK/cancel] ", escapedText(text).c_str());
        std::fflush(stdout);
        const Answer answer = readAnswer(stdin);
        if (answer == Answer::EndOfInput) {
            // End of input is Cancel; finish the prompt's line.
            std::printf("\n");
            std::fflush(stdout);
        }
        return answer == Answer::Ok;
    }

    void showError(const std::string& text) override {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", escapedText(text).c_str());
        std::fflush(stderr);
    }

    // Only a person at a terminal sees a progress line; a script's log stays clean.
    std::unique_ptr<ProgressDisplay> startProgress() override {
        if (!isatty(STDERR_FILENO)) return nullptr;
        return startTerminalProgress();
    }
};

}  // namespace

std::unique_ptr<Dialog> makeTerminalDialog() { return std::make_unique<TerminalDialog>(); }
