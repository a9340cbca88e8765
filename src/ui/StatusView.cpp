#include "ui/StatusView.h"

#include "platform/ErrorBox.h"
#include "platform/MessageBoxes.h"
#include "ui/TForm1Ui.h"
#include "ui/TrayIcon.h"

#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>

namespace norva {

StatusView::StatusView(QMainWindow& window, TForm1Ui& ui, TrayIcon& tray, MessageBoxes& boxes)
    : window_(window), ui_(ui), tray_(tray), boxes_(boxes) {}

void StatusView::showIcon(tAppIcons theIcon) {
    ui_.Image1->hide();
    ui_.Image2->hide();
    ui_.Image3->hide();
    switch (theIcon) {
    case badIcon:
        ui_.Image1->show();
        break;
    case goodIcon:
        ui_.Image2->show();
        break;
    case stoppedIcon:
        ui_.Image3->show();
        break;
    }
}

void StatusView::setStatusText(const QString& text) {
    ui_.Label1->setText(text);
}

void StatusView::setCounter(QLabel* label, std::uint32_t value) {
    label->setText(QString::number(value));
}

void StatusView::showNetworkCounters(std::uint32_t sent, std::uint32_t rcvd, std::uint32_t bad,
                                     std::uint32_t missed) {
    setCounter(ui_.Sent, sent);
    setCounter(ui_.Received, rcvd);
    setCounter(ui_.NAK, bad);
    setCounter(ui_.Missed, missed);
}

void StatusView::showSerialCounters(std::uint32_t sent, std::uint32_t rcvd, std::uint32_t missed) {
    setCounter(ui_.comSent, sent);
    setCounter(ui_.comRcvd, rcvd);
    setCounter(ui_.comMissed, missed);
}

void StatusView::setCaption(const QString& caption) {
    window_.setWindowTitle(caption);
}

void StatusView::setLabel4(const QString& text) {
    ui_.Label4->setText(text);
    MirrorToStderr(text.toStdString());
}

void StatusView::appendMemo(const QString& line) {
    ui_.Memo1->appendPlainText(line);
    MirrorToStderr(line.toStdString());
}

void StatusView::showTray(const TrayLook& look) {
    tray_.setIconIndex(static_cast<int>(look.picture));
    if (look.hint)
        tray_.setHint(look.text);
    else
        tray_.setBalloonText(look.text);
}

void StatusView::noResponseAlert(const QString& balloonText) {
    if (useBalloon && showBalloon) {
        tray_.setBalloonText(balloonText);
        tray_.setBalloonTimeout(10000);
        tray_.setBalloonIcon(TrayIcon::BalloonIcon::Warning);
        tray_.setBalloonTitle("No Response");
        tray_.ShowBalloonHint();
        return;
    }
    boxes_.beep();
    boxes_.showError("Your Norva is not responding to the Heartbeat");
}

void StatusView::powerRequestRefused(const QString& action, const QString& error) {
    // The device has its acknowledgement and will cut the power: whoever is at the machine has
    // to learn that it did not shut down in order.
    appendMemo("The login manager refused the " + action + ": " + error);
    boxes_.showError(("The " + action + " was refused: " + error).toStdString());
}

} // namespace norva
