#include "ui/TrayIcon.h"

#include "ui/Icons.h"

#include <QSystemTrayIcon>

namespace norva {

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), icon_(new QSystemTrayIcon(this)) {
    icon_->setIcon(Icons::TrayPicture(index_));
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Context)
            emit rightButtonPressed();
        else if (r == QSystemTrayIcon::DoubleClick)
            emit doubleClicked();
    });
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::BalloonsAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages();
}

void TrayIcon::setVisible(bool visible) {
    visible_ = visible;
    icon_->setVisible(visible);
}

void TrayIcon::setIconIndex(int index) {
    index_ = index;
    icon_->setIcon(Icons::TrayPicture(index));
}

void TrayIcon::setHint(const QString& hint) {
    hint_ = hint.left(127);
    icon_->setToolTip(hint_);
}

void TrayIcon::setBalloonText(const QString& text) {
    balloonText_ = text.left(255);
}

void TrayIcon::setBalloonTitle(const QString& title) {
    balloonTitle_ = title.left(63);
}

void TrayIcon::ShowBalloonHint() {
    ++balloonsShown_;
    QSystemTrayIcon::MessageIcon kind = QSystemTrayIcon::NoIcon;
    switch (balloonIcon_) {
    case BalloonIcon::Information:
        kind = QSystemTrayIcon::Information;
        break;
    case BalloonIcon::Warning:
        kind = QSystemTrayIcon::Warning;
        break;
    case BalloonIcon::Error:
        kind = QSystemTrayIcon::Critical;
        break;
    case BalloonIcon::None:
        break;
    }
    icon_->showMessage(balloonTitle_, balloonText_, kind, balloonTimeout_);
}

} // namespace norva
