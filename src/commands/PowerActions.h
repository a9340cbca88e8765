#pragma once

#include <QObject>
#include <QString>

namespace norva {

class PowerBackend;

// doRestart and doShutdown: the caption first, then the request to the operating system,
// which answers later. A refused request is announced (powerRequestFailed); the caption stays
// as it was and the program carries on.
class PowerActions : public QObject {
    Q_OBJECT
public:
    explicit PowerActions(PowerBackend& power) : power_(power) {}

    void doRestart();
    void doShutdown();

signals:
    // "DO restart" or "DO Shutdown", announced before the request goes out.
    void captionRequested(const QString& caption);
    // The system refused the request: `action` is "restart" or "shutdown", `error` the
    // system's reason in one line.
    void powerRequestFailed(const QString& action, const QString& error);

private:
    void request(const QString& action);

    PowerBackend& power_;
};

} // namespace norva
