// norvactl: ask and control the NorvaHB service (norvahbd) from a shell, over the system bus.
// See man/norvactl.1.
#include "agent/TerminationSignals.h"
#include "bus/ServiceClient.h"
#include "ctl/CtlCommandLine.h"
#include "ctl/CtlSession.h"
#include "ctl/StatusReport.h"
#include "ctl/TextAuthAgent.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDateTime>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Each line goes out at once: watch runs into pipes and files that a reader follows.
void Print(std::FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', to);
    std::fflush(to);
}

// Carries out `command` on `bus` and gives the exit status.
int run(const norva::CtlCommand& command, const QDBusConnection& bus) {
    using namespace norva;
    ServiceClient client(bus);

    // polkit asks for a password through an agent: in a terminal, this program brings its
    // own, as pkexec does; elsewhere (a script, a desktop with its own agent) it starts none.
    TextAuthAgent agent;
    auto beforePrompt = [&agent, &bus] {
        if (!isatty(STDIN_FILENO))
            return;
        std::string error;
        if (!agent.start(bus.baseService().toStdString(), std::chrono::seconds(10), &error))
            std::fprintf(stderr, "norvactl: no password prompt in this terminal: %s\n",
                         error.c_str());
    };
    CtlSession session(
        client, command, [](const QString& line) { Print(stdout, line); },
        [](const QString& line) { Print(stderr, line); }, beforePrompt,
        [] { return QDateTime::currentDateTime(); });
    TerminationSignals termination([&session] { session.interrupt(); });
    QObject::connect(&session, &CtlSession::finished, QCoreApplication::instance(),
                     [](int status) { QCoreApplication::exit(status); });
    QTimer::singleShot(0, &session, &CtlSession::run);
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    using namespace norva;
    const CtlCommandLine::Result parsed =
        CtlCommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s\n", parsed.error.c_str());
        return CtlCommandLine::BadUsage;
    }
    if (parsed.command.verb == CtlCommand::Verb::Help) {
        std::fputs(CtlCommandLine::helpText().c_str(), stdout);
        return 0;
    }

    QCoreApplication app(argc, argv);
    // A connection of this program's own rather than the shared system-bus one, so it can be
    // closed before the program ends: a signal of the service arriving while the process
    // takes Qt's types down would otherwise be read by the bus thread after they are gone.
    const QString connection = QStringLiteral("norvactl");
    int status = 0;
    {
        const QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, connection);
        if (!bus.isConnected()) {
            std::fprintf(stderr, "norvactl: There is no connection to the system bus (%s).\n",
                         qPrintable(bus.lastError().message()));
            status = parsed.command.verb == CtlCommand::Verb::Status ? StatusReport::Inactive : 1;
        } else {
            status = run(parsed.command, bus);
        }
    }
    QDBusConnection::disconnectFromBus(connection);
    return status;
}
