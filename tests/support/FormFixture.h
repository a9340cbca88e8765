#pragma once

#include "agent/Agent.h"
#include "app/TForm1.h"
#include "platform/ErrorBox.h"
#include "settings/SettingsFile.h"
#include "support/FreePort.h"
#include "support/RecordingPowerBackend.h"
#include "support/ScriptedMessageBoxes.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QWidget>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace norva::test {

// Whether a control is shown, whatever the visibility of its window.
inline bool visible(const QWidget* w) {
    return !w->isHidden();
}

// A token or answer as the bytes that travel on the wire.
inline std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

// The application object on a settings folder of the test's own, with scripted message
// boxes, a recording power backend and the command port on any free port. Nothing in it
// can reach the user's files or the real power controls.
class FormFixture {
public:
    explicit FormFixture(const std::string& settings = "", bool balloons = false,
                         bool tray = true) {
        if (!settings.empty())
            dir.write("NorvaHB", settings);
        env.settingsFolder = dir.path();
        env.commandPort = 0;
        env.boxes = &boxes;
        env.power = &power;
        env.balloonsAvailable = balloons;
        env.trayAvailable = tray;
        form = std::make_unique<TForm1>(env);
    }

    // Program start after the window is built: the start-up sequence, then the dialogs.
    // False when the window was closed meanwhile.
    bool start() { return form->StartUp(); }

    std::string setting(const std::string& section, const std::string& key,
                        const std::string& fallback = "<missing>") const {
        return SettingsFile(dir.path()).ReadString(section, key, fallback);
    }

    // Serves calls from worker threads until `done` or the deadline.
    bool serveUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool ok = false;
        form->agent().queue.serveAllUntil([&] {
            QApplication::processEvents();
            ok = done();
            return ok || std::chrono::steady_clock::now() > deadline;
        });
        return ok;
    }

    TempDir dir;
    ScriptedMessageBoxes boxes;
    RecordingPowerBackend power;
    AppEnvironment env;
    std::unique_ptr<TForm1> form;
};

} // namespace norva::test
