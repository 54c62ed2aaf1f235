#pragma once
// How the run's messages reach the user: message boxes on Windows; elsewhere the terminal, or
// desktop dialogs when the program was started without one. Tests replace it with a scripted fake.

#include <memory>
#include <string>

#include "platform/progress.h"

// Title of every message.
inline constexpr const char* kCaption = "ZEM Builder (by the ZEM Builder developers)";

struct Dialog {
    virtual ~Dialog() = default;
    // An information message with an OK button.
    virtual void showInformation(const std::string& text) = 0;
    // A question with OK and Cancel; true only for OK.
    virtual bool askToContinue(const std::string& text) = 0;
    // The message of a failure that ends the run, or of one that came too late to change its
    // outcome.
    virtual void showError(const std::string& text) = 0;
    // A display for the writing of the archive, closed when destroyed; null when this dialog shows
    // no progress.
    virtual std::unique_ptr<ProgressDisplay> startProgress() { return nullptr; }
};

// The dialog suited to how this process was started.
std::unique_ptr<Dialog> makeSystemDialog();
