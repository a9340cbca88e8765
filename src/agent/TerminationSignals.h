#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace norva {

// SIGTERM, SIGINT and SIGHUP (the session ending, a service manager, Ctrl-C) become an
// ordinary close of the main window on the user-interface thread, so the transports stop
// and the settings file is released as on any other close.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(std::function<void()> onSignal);
    ~TerminationSignals() override;

private:
    static void handler(int signal);
    static int writeEnd_;
    int readEnd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> onSignal_;
};

} // namespace norva
