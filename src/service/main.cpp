// norvahbd: the NorvaHB heartbeat and command port as a system service, from boot, with
// nobody logged in. Run by the service manager (see packaging/systemd/norvahbd.service.in).
#include "agent/TerminationSignals.h"
#include "commands/Login1PowerBackend.h"
#include "platform/InstanceLock.h"
#include "service/JournalLog.h"
#include "service/PassedSockets.h"
#include "service/ServiceCheck.h"
#include "service/ServiceDaemon.h"
#include "service/ServiceOptions.h"
#include "service/SystemCheckProbes.h"
#include "service/SystemdNotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace norva;
    const ServiceOptions options = ServiceOptions::parse(argc, argv);
    if (!options.error.empty()) {
        // The line names the program already.
        std::fprintf(stderr, "%s\n", options.error.c_str());
        return ServiceOptions::BadUsage;
    }
    switch (options.action) {
    case ServiceOptions::Action::Help:
        std::fputs(ServiceOptions::helpText().c_str(), stdout);
        return 0;
    case ServiceOptions::Action::Version:
        std::fputs(ServiceOptions::versionText().c_str(), stdout);
        return 0;
    case ServiceOptions::Action::Check: {
        QCoreApplication app(argc, argv); // for the bus connection
        ServiceCheck check(options);
        check.checkSettings();
        SystemCheckProbes probes(QDBusConnection::systemBus());
        check.checkSystem(probes);
        std::fputs(check.report().c_str(), stdout);
        return check.exitCode();
    }
    case ServiceOptions::Action::Run:
        break;
    }

    JournalLog log;
    // One copy: a second would fight the first over the ports and the settings file.
    InstanceLock instance;
    if (!instance.acquire(options.lockFile, std::chrono::milliseconds(0))) {
        log.error("norvahbd is already running (it holds " + options.lockFile.string() + ")");
        return 1;
    }

    // The command port as the service manager holds it, when it does; otherwise the listener
    // binds the port itself. Taken before anything else can start a child.
    const PassedSockets::Result passed = PassedSockets::take(options.commandPort);
    if (!passed.error.empty()) {
        log.error("The sockets passed by the service manager cannot be used: " + passed.error);
        return 1;
    }

    QCoreApplication app(argc, argv);
    SystemdNotifier notifier(SystemdNotifier::processEnvironment());
    const QDBusConnection bus = QDBusConnection::systemBus();
    Login1PowerBackend power(bus);
    ServiceDaemon daemon(options, log, power, notifier, bus);
    TerminationSignals termination([&] {
        log.info("Stopping");
        daemon.stop();
        QCoreApplication::quit();
    });
    if (!passed.descriptors.empty()) {
        log.info("The service manager holds the command port: taking its " +
                 std::to_string(passed.descriptors.size()) + " socket(s)");
        daemon.agent().theServer.adopt(passed.descriptors);
    }
    if (!daemon.start())
        return 1;
    return app.exec();
}
