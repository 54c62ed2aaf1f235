#pragma once
// How the run's messages reach the user: message boxes on Windows, the terminal elsewhere.
// Tests replace it with a scripted fake.

#include <memory>
#include <string>

// Title of every message.
extern const char* const kCaption;

struct Dialog {
    virtual ~Dialog() = default;
    // An information message with an OK button.
    virtual void showInformation(const std::string& text) = 0;
    // A question with OK and Cancel; true only for OK.
    virtual bool askToContinue(const std::string& text) = 0;
    // The message of a failure that ends the run.
    virtual void showError(const std::string& text) = 0;
};

// The dialog suited to how this process was started.
std::unique_ptr<Dialog> makeSystemDialog();
