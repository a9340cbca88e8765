#include "ui/ErrorBox.h"

#include "platform/MessageBoxes.h"

#include <exception>

namespace norva {

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

void RunGuarded(MessageBoxes& boxes, const std::function<void()>& entry) {
    try {
        entry();
    } catch (const std::exception& e) {
        boxes.showError(ErrorBoxText(e.what()));
    }
}

} // namespace norva
