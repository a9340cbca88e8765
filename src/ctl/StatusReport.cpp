#include "ctl/StatusReport.h"

#include "bus/BusContract.h"
#include "bus/ServiceClient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <utility>
#include <vector>

namespace norva {

StatusReport StatusReport::of(const ServiceClient& client) {
    StatusReport r;
    r.running = client.serviceRunning();
    r.state = client.state();
    r.mode = client.mode();
    r.deviceAddress = client.deviceAddress();
    r.networkSent = client.networkSent();
    r.networkReceived = client.networkReceived();
    r.networkNak = client.networkNak();
    r.networkMissed = client.networkMissed();
    r.usbSent = client.usbSent();
    r.usbReceived = client.usbReceived();
    r.usbMissed = client.usbMissed();
    r.warningOnScreen = client.warningOnScreen();
    r.warningMode = client.warningMode();
    r.warningCountdown = client.warningCountdown();
    r.sleepInhibited = client.sleepInhibited();
    r.allowSleep = client.allowSleep();
    return r;
}

QString StatusReport::actionName(uchar mode) {
    return mode == 1 ? QStringLiteral("shutdown") : QStringLiteral("restart");
}

int StatusReport::exitStatusFor(const QString& state) {
    if (state == QLatin1String(bus::state::Responding))
        return Responding;
    if (state == QLatin1String(bus::state::Stopped) || state == QLatin1String(bus::state::Sleeping))
        return Inactive;
    return NotResponding;
}

int StatusReport::exitStatus() const {
    return running ? exitStatusFor(state) : Inactive;
}

QString StatusReport::text() const {
    if (!running)
        return QStringLiteral("Service:  not running\n");
    std::vector<std::pair<QString, QString>> lines = {
        {QStringLiteral("State"), state},
        {QStringLiteral("Mode"), mode},
        {QStringLiteral("Device"), deviceAddress.isEmpty() ? QStringLiteral("-") : deviceAddress},
        {QStringLiteral("Network"), QStringLiteral("sent %1, received %2, NAK %3, missed %4")
                                        .arg(networkSent)
                                        .arg(networkReceived)
                                        .arg(networkNak)
                                        .arg(networkMissed)},
        {QStringLiteral("USB"), QStringLiteral("sent %1, received %2, missed %3")
                                    .arg(usbSent)
                                    .arg(usbReceived)
                                    .arg(usbMissed)},
    };
    if (warningOnScreen)
        lines.emplace_back(
            QStringLiteral("Warning"),
            QStringLiteral("%1 in %2 s").arg(actionName(warningMode)).arg(warningCountdown));
    // The lock is a block unless sleep is allowed, then a delay the heartbeat pauses for.
    QString sleep;
    if (!sleepInhibited)
        sleep = QStringLiteral("not held off");
    else if (allowSleep)
        sleep = QStringLiteral("allowed, the heartbeat pauses for it");
    else
        sleep = QStringLiteral("held off while the heartbeat runs");
    lines.emplace_back(QStringLiteral("Sleep"), sleep);

    qsizetype width = 0;
    for (const auto& line : lines)
        width = std::max(width, line.first.size() + 1);
    QString out;
    for (const auto& [label, value] : lines)
        out += (label + QLatin1Char(':')).leftJustified(width + 2) + value + QLatin1Char('\n');
    return out;
}

QByteArray StatusReport::json() const {
    QJsonObject o;
    o[QStringLiteral("running")] = running;
    if (running) {
        o[QStringLiteral("state")] = state;
        o[QStringLiteral("mode")] = mode;
        o[QStringLiteral("deviceAddress")] = deviceAddress;
        o[QStringLiteral("network")] =
            QJsonObject{{QStringLiteral("sent"), qint64(networkSent)},
                        {QStringLiteral("received"), qint64(networkReceived)},
                        {QStringLiteral("nak"), qint64(networkNak)},
                        {QStringLiteral("missed"), qint64(networkMissed)}};
        o[QStringLiteral("usb")] = QJsonObject{{QStringLiteral("sent"), qint64(usbSent)},
                                               {QStringLiteral("received"), qint64(usbReceived)},
                                               {QStringLiteral("missed"), qint64(usbMissed)}};
        o[QStringLiteral("warning")] =
            warningOnScreen
                ? QJsonValue(QJsonObject{{QStringLiteral("action"), actionName(warningMode)},
                                         {QStringLiteral("countdown"), warningCountdown}})
                : QJsonValue(QJsonValue::Null);
        o[QStringLiteral("sleepInhibited")] = sleepInhibited;
        o[QStringLiteral("allowSleep")] = allowSleep;
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace norva
