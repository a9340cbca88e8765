#pragma once

#include <string>

namespace norva {

// The modal messages and the exclamation sound. The program uses the Qt implementation
// (ui/QtMessageBoxes); tests answer with a scripted one and never open a window.
// Every box is modal: its own event loop keeps timers and receive events running.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;

    // An error message with one OK button; returns when the user has closed it.
    virtual void showError(const std::string& text) = 0;

    // A warning with Yes and No, Yes being the default. True only for Yes.
    virtual bool askYesNo(const std::string& text) = 0;

    // The platform's exclamation sound.
    virtual void beep() = 0;
};

} // namespace norva
