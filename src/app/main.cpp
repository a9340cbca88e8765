// NorvaHB: tells a Norva power controller that this PC is alive, and restarts or shuts the
// PC down cleanly when the controller asks.
#include "agent/TerminationSignals.h"
#include "app/AppEnvironment.h"
#include "app/TForm1.h"
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
#include <memory>

namespace {

bool haveDisplay() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

// Whether norvahbd holds its name on the system bus. No system bus means no service.
bool ServiceIsRunning() {
    const QDBusConnection bus = QDBusConnection::systemBus();
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered("com.norva.NorvaHB1").value();
}

} // namespace

int main(int argc, char** argv) {
    using namespace norva;

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
    // With the service running, the heartbeat and the command port are its: a second heartbeat
    // would double the device's counts and the command port is taken. Say so once and end.
    if (ServiceIsRunning()) {
        const std::string said =
            "The NorvaHB service (norvahbd) is running on this computer: it sends the heartbeat "
            "and serves the command port, so this copy ends.";
        MirrorToStderr(said);
        instance.release();
        TerminationSignals termination([] { QApplication::exit(0); });
        QtMessageBoxes boxes;
        boxes.showError(said);
        return 0;
    }
    QApplication::setApplicationDisplayName(QString());
    // The program lives in the tray: closing its last visible window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    QtMessageBoxes boxes;
    Login1PowerBackend power;
    AppEnvironment env;
    env.settingsFolder = SettingsFile::DefaultFolder();
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
