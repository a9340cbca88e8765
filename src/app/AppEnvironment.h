#pragma once

#include <cstdint>
#include <filesystem>

class QDBusConnection;

namespace norva {

class MessageBoxes;
class PowerBackend;
class ServiceClient;

// What the application object is given from outside: where its settings file lives, the
// command port, and the services that tests replace. main() fills it for the real program.
struct AppEnvironment {
    std::filesystem::path settingsFolder;
    std::uint16_t commandPort = 9100; // 0: any free port (tests)
    MessageBoxes* boxes = nullptr;
    PowerBackend* power = nullptr;
    bool balloonsAvailable = false; // the desktop's tray can show messages
    bool trayAvailable = true;      // the desktop has a notification area at all
    // Set when the service norvahbd is to be followed: the window is its front end, binds no
    // port, sends no heartbeat and opens no settings file (the pages show the service's
    // values); `settingsFolder` then only says where serial port pins are looked for.
    ServiceClient* service = nullptr;
    // The bus on which the standalone window takes the login manager's sleep lock and hears of
    // sleep (the system bus; the user's session decides the rights). Null: the heartbeat
    // knows of sleep only what the clocks show (tests that play no login manager).
    const QDBusConnection* sleepBus = nullptr;
};

} // namespace norva
