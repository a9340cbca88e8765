#include "ui/TrayIcon.h"

#include "ui/Icons.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QSystemTrayIcon>
#include <cstddef>
#include <utility>

namespace norva {

TrayIcon::TrayIcon(QObject* parent) : TrayIcon(DetectHost(), Icons::TrayPicture, parent) {}

TrayIcon::TrayIcon(Host host, PictureSource pictures, QObject* parent)
    : QObject(parent), host_(host), pictures_(std::move(pictures)),
      icon_(new QSystemTrayIcon(this)) {
    icon_->setIcon(picture(index_));
    ++iconChanges_;
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Context)
            emit rightButtonPressed();
        else if (r == QSystemTrayIcon::DoubleClick ||
                 (r == QSystemTrayIcon::Trigger && host_ == Host::StatusNotifier))
            emit doubleClicked();
    });
}

TrayIcon::~TrayIcon() = default;

TrayIcon::Host TrayIcon::DetectHost() {
    // With no notification area now, an icon waits for an X11 tray to appear; and on the
    // platforms without any (offscreen) there is no bus worth asking.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return Host::XEmbed;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Host::XEmbed;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierWatcher")
        << QStringLiteral("IsStatusNotifierHostRegistered");
    // Without a watcher the bus answers at once; a watcher that hangs must not hold up the
    // start for long.
    const QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return Host::XEmbed;
    const bool hostRegistered =
        reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
    return hostRegistered ? Host::StatusNotifier : Host::XEmbed;
}

const QIcon& TrayIcon::picture(int index) {
    QIcon& slot = drawn_[static_cast<std::size_t>(index >= 0 && index < 4 ? index : 2)];
    if (slot.isNull())
        slot = pictures_(index);
    return slot;
}

bool TrayIcon::BalloonsAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages();
}

void TrayIcon::setContextMenu(QMenu* menu) {
    if (host_ == Host::StatusNotifier)
        icon_->setContextMenu(menu);
}

void TrayIcon::setVisible(bool visible) {
    visible_ = visible;
    icon_->setVisible(visible);
}

void TrayIcon::setIconIndex(int index) {
    if (index == index_)
        return;
    index_ = index;
    icon_->setIcon(picture(index));
    ++iconChanges_;
}

void TrayIcon::setHint(const QString& hint) {
    const QString cut = hint.left(127);
    if (cut == hint_)
        return;
    hint_ = cut;
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
