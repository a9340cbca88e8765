#pragma once

#include <QObject>
#include <QString>

namespace norva {

class PowerBackend;

// doRestart and doShutdown: the caption first, then the request to the operating system.
// The request's outcome is not examined: without the right to restart, the caption stays
// and the program carries on.
class PowerActions : public QObject {
    Q_OBJECT
public:
    explicit PowerActions(PowerBackend& power) : power_(power) {}

    void doRestart();
    void doShutdown();

signals:
    // "DO restart" or "DO Shutdown", announced before the request goes out.
    void captionRequested(const QString& caption);

private:
    PowerBackend& power_;
};

} // namespace norva
