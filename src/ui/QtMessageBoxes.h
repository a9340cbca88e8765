#pragma once

#include "platform/MessageBoxes.h"

class QWidget;

namespace norva {

// The real message boxes: modal QMessageBox windows with the empty application title as
// caption, and the desktop's bell for the exclamation sound.
class QtMessageBoxes : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }

    void showError(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    void beep() override;

private:
    QWidget* parent_;
};

} // namespace norva
