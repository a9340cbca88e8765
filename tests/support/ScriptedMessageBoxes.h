#pragma once

#include "platform/MessageBoxes.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace norva::test {

// Message boxes for tests: every box is recorded and answered at once, without a window.
// Yes/No questions take their answers from `answers` (No when it runs dry). `onShow`, when
// set, runs while a box is "open", standing in for the box's own event loop.
class ScriptedMessageBoxes : public MessageBoxes {
public:
    void showError(const std::string& text) override {
        errors.push_back(text);
        if (onShow)
            onShow(text);
    }
    bool askYesNo(const std::string& text) override {
        questions.push_back(text);
        if (answers.empty())
            return false;
        const bool yes = answers.front();
        answers.pop_front();
        return yes;
    }
    void beep() override { ++beeps; }

    std::vector<std::string> errors;
    std::vector<std::string> questions;
    std::deque<bool> answers;
    int beeps = 0;
    std::function<void(const std::string&)> onShow;
};

} // namespace norva::test
