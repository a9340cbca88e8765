// NorvaHB: tells a Norva power controller that this PC is alive, and restarts or shuts the
// PC down cleanly when the controller asks.
#include "agent/TerminationSignals.h"
#include "app/AppEnvironment.h"
#include "app/TForm1.h"
#include "bus/ServiceClient.h"
#include "commands/Login1PowerBackend.h"
#include "platform/ErrorBox.h"
#include "platform/InstanceLock.h"
#include "settings/SettingsFile.h"
#include "ui/QtMessageBoxes.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSystemTrayIcon>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

bool haveDisplay() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

// Whether this window is to be the front end of the service norvahbd: asked for with
// --front-end, or the service holds its name on the system bus, or it is enabled to start at
// boot (then it may be starting, and the window waits for it rather than take its ports).
bool FollowService(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--front-end") == 0)
            return true;
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected() && bus.interface() &&
        bus.interface()->isServiceRegistered(norva::bus::ServiceName).value())
        return true;
    std::error_code ignored;
    return std::filesystem::exists("/etc/systemd/system/multi-user.target.wants/norvahbd.service",
                                   ignored);
}

} // namespace

int main(int argc, char** argv) {
    using namespace norva;

    // Answered before anything else: help needs no desktop, no lock and no bus.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(
                "Usage: NorvaHB [--front-end]\n"
                "The NorvaHB tray utility: sends the heartbeat to a Norva power controller and\n"
                "restarts or shuts this PC down when the controller asks on TCP port 9100. While\n"
                "the service norvahbd runs or is enabled, it is that service's window instead.\n"
                "\n"
                "  --front-end   follow the service norvahbd even when it is not running\n"
                "  --help        show this help and end\n"
                "\n"
                "Settings: ~/.config/NorvaHB (or $XDG_CONFIG_HOME/NorvaHB).\n"
                "Exit status: 0 on a normal end, 1 without a graphical desktop or when TCP port\n"
                "9100 cannot be bound.\n",
                stdout);
            return 0;
        }

    // One copy per logon: a second one waits a second for the first to go, then ends quietly.
    InstanceLock instance;
    if (!instance.acquire(InstanceLock::defaultPath("VeltrasysNorvaHB.exe"),
                          std::chrono::milliseconds(1000)))
        return 0;

    if (!haveDisplay()) {
        std::fprintf(stderr, "NorvaHB needs a graphical desktop: neither DISPLAY nor "
                             "WAYLAND_DISPLAY is set.\n");
        return 1;
    }

    QApplication app(argc, argv);
    // With the service on this computer, the heartbeat and the command port are its: this
    // window becomes its front end and binds no port. Without it, the window runs them itself.
    std::unique_ptr<ServiceClient> service;
    if (FollowService(argc, argv)) {
        service = std::make_unique<ServiceClient>(QDBusConnection::systemBus());
        MirrorToStderr("The NorvaHB service (norvahbd) runs the heartbeat and the command port on "
                       "this computer: this window follows it.");
    }
    QApplication::setApplicationDisplayName(QString());
    // The program lives in the tray: closing its last visible window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    QtMessageBoxes boxes;
    Login1PowerBackend power;
    AppEnvironment env;
    env.settingsFolder = SettingsFile::DefaultFolder();
    env.service = service.get();
    const QDBusConnection systemBus = QDBusConnection::systemBus();
    if (!service)
        env.sleepBus = &systemBus;
    env.boxes = &boxes;
    env.power = &power;
    env.balloonsAvailable = TrayIcon::BalloonsAvailable();
    env.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();

    std::unique_ptr<TForm1> form;
    try {
        form = std::make_unique<TForm1>(env);
    } catch (const std::exception& e) {
        // Without the command port the device cannot reach this PC: say so and end, when
        // the user has read it or when the session asks the program to end. On an unattended
        // desktop the box can wait for days, so nothing may keep another copy from starting
        // meanwhile: the window's sockets went with it, and the single-instance lock goes now.
        instance.release();
        TerminationSignals termination([] { QApplication::exit(1); });
        boxes.showError(ErrorBoxText(e.what()));
        return 1;
    }
    boxes.setParent(form.get());
    // A signal is an ordinary close from here on, under a box of the start-up as well.
    TerminationSignals termination([&] { form->close(); });
    if (!form->StartUp())
        return 0; // closed before the event loop ran: the program ends as after any close
    form->ShowAtStart();
    return app.exec();
}
