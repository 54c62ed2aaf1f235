// Message boxes: the program has no window of its own, so every box has no owner.

#include <windows.h>

#include "builder/dialog.h"

namespace {

struct MessageBoxDialog : Dialog {
    void showInformation(const std::string& text) override {
        MessageBoxA(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONINFORMATION);
    }

    // A box that could not be shown (MessageBoxA returns 0) is no OK either.
    bool askToContinue(const std::string& text) override {
        return MessageBoxA(nullptr, text.c_str(), kCaption, MB_OKCANCEL) == IDOK;
    }

    void showError(const std::string& text) override {
        MessageBoxA(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONERROR);
    }
};

}  // namespace

std::unique_ptr<Dialog> makeSystemDialog() { return std::make_unique<MessageBoxDialog>(); }
