#include "platform/ErrorBox.h"

#include "platform/MessageBoxes.h"

#include <cstdio>
#include <exception>

namespace norva {

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

void MirrorToStderr(const std::string& text) {
    std::string line = "NorvaHB: ";
    line.reserve(line.size() + text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r')
            line += text[i];
        else if (i + 1 == text.size() || text[i + 1] != '\n')
            line += '\n'; // a CR LF pair is one break: its LF follows
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void RunGuarded(MessageBoxes& boxes, const std::function<void()>& entry) {
    try {
        entry();
    } catch (const std::exception& e) {
        boxes.showError(ErrorBoxText(e.what()));
    }
}

} // namespace norva
