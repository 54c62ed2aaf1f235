// Terminal dialog: each message box becomes a line of text. A question waits for one line on
// standard input, so scripts can answer it: printf '\n\n' | zem-builder DIR

#include <cctype>
#include <cstdio>
#include <string>

#include "app/dialog.h"
#include "app/terminal_answer.h"

namespace {

struct TerminalDialog : Dialog {
    void showInformation(const std::string& text) override {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }

    bool askToContinue(const std::string& text) override {
        std::printf("%s [OK/cancel] ", text.c_str());
        std::fflush(stdout);
        std::string line;
        for (int c; (c = std::fgetc(stdin)) != '\n';) {
            if (c == EOF) {
                // End of input is Cancel; finish the prompt's line.
                std::printf("\n");
                std::fflush(stdout);
                return false;
            }
            line.push_back(static_cast<char>(c));
        }
        return isOkAnswer(line);
    }

    void showError(const std::string& text) override {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }
};

}  // namespace

std::unique_ptr<Dialog> makeSystemDialog() { return std::make_unique<TerminalDialog>(); }
