#include "commands/PowerActions.h"

#include "platform/PowerBackend.h"

#include <QPointer>

namespace norva {

void PowerActions::doRestart() {
    emit captionRequested("DO restart");
    request(QStringLiteral("restart"));
}

void PowerActions::doShutdown() {
    emit captionRequested("DO Shutdown");
    request(QStringLiteral("shutdown"));
}

void PowerActions::request(const QString& action) {
    // The answer may come after this object is gone (the program ending meanwhile).
    QPointer<PowerActions> self(this);
    PowerBackend::Done done = [self, action](const std::string& error) {
        if (self && !error.empty())
            emit self->powerRequestFailed(action, QString::fromStdString(error));
    };
    if (action == QLatin1String("restart"))
        power_.reboot(std::move(done));
    else
        power_.powerOff(std::move(done));
}

} // namespace norva
