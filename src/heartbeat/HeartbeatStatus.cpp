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

void HeartbeatStatus::showTray(const TrayLook& look) {
    emit trayShown(look);
}

void HeartbeatStatus::showTrayResponding() {
    showTray(TrayFor(TrayState::Responding, pages_.statusInTray(), true));
}

void HeartbeatStatus::showTrayNotResponding() {
    showTray(TrayFor(TrayState::NotResponding, pages_.statusInTray(), true));
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
    showTray(TrayFor(TrayState::Stopped, statusInTray));
}

void HeartbeatStatus::showSleeping() {
    setStatusText("sleeping");
}

void HeartbeatStatus::showWoken() {
    setStatusText(failed ? "Fail" : "OK");
}

void HeartbeatStatus::showAnswered() {
    failed = false;
    showIcon(goodIcon);
    showTrayResponding();
    setStatusText("OK");
}

} // namespace norva
