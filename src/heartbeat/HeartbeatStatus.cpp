#include "heartbeat/HeartbeatStatus.h"

#include "heartbeat/PageValues.h"

namespace norva {

HeartbeatStatus::HeartbeatStatus(PageValues& pages, QObject* parent)
    : QObject(parent), pages_(pages) {}

void HeartbeatStatus::showIcon(tAppIcons theIcon) {
    state_ = theIcon;
    emit iconShown(theIcon);
}

void HeartbeatStatus::setStatusText(const QString& text) {
    emit statusTextShown(text);
}

void HeartbeatStatus::setTray(int index, const QString& balloonText) {
    emit trayBalloonTextShown(index, balloonText);
}

void HeartbeatStatus::showTrayResponding() {
    if (pages_.statusInTray())
        emit trayHintShown(0, "Norva is responding");
    else
        emit trayHintShown(2, "Norva utility");
}

void HeartbeatStatus::showTrayNotResponding() {
    if (pages_.statusInTray())
        emit trayHintShown(1, "Norva is not responding");
    else
        emit trayHintShown(2, "Norva utility");
}

void HeartbeatStatus::showFailure(const std::string& balloonText) {
    showFailureState();
    emit noResponse(QString::fromStdString(balloonText));
}

void HeartbeatStatus::showFailureState() {
    showIcon(badIcon);
    setStatusText("Fail");
    showTrayNotResponding();
    failed = true;
}

void HeartbeatStatus::showStopped(bool statusInTray) {
    showIcon(stoppedIcon);
    setStatusText("Stopped");
    if (statusInTray)
        setTray(3, "Heartbeat is not running");
    else
        setTray(2, "Norva utility");
}

void HeartbeatStatus::showAnswered() {
    failed = false;
    showIcon(goodIcon);
    showTrayResponding();
    setStatusText("OK");
}

} // namespace norva
