#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <array>
#include <functional>

class QMenu;
class QSystemTrayIcon;

namespace norva {

// The notification-area icon: one of four pictures, a hint, and the fields of the next
// balloon. Keeps its own copy of what it shows, so tests can read it on a desktop
// without a tray.
//
// The desktop is given a picture or a hint only when it differs from the one it has: the
// heartbeat sets the same state again with every answer, and each new icon costs the desktop
// a redraw (and, on a D-Bus tray, a signal and a file) while the X11 tray keeps pixmaps of
// every icon it was given.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    enum class BalloonIcon { None, Information, Warning, Error };

    // The kind of notification area the icon lives in, which decides what a click is:
    // - XEmbed: the X11 system tray. Qt reports a press of the left button as a single click
    //   and a double click as such; a single click does nothing here.
    // - StatusNotifier: a StatusNotifierItem host (KDE Plasma, GNOME with the AppIndicator
    //   extension, most current panels). Qt puts the icon on D-Bus and the host's activation
    //   (its click) arrives as a single click; there is no double click, so the activation
    //   does what the double click does.
    enum class Host { XEmbed, StatusNotifier };

    // Draws tray picture `index` (0 to 3); asked once per picture.
    using PictureSource = std::function<QIcon(int index)>;

    // The host as DetectHost() finds it now, the program's own pictures.
    explicit TrayIcon(QObject* parent = nullptr);
    TrayIcon(Host host, PictureSource pictures, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Which host a tray icon made now goes to: StatusNotifier when Qt's tray goes through
    // D-Bus, that is when the session bus has a StatusNotifierWatcher with a host registered
    // (Qt decides the same way, once, when the first icon is made); otherwise XEmbed, also
    // when there is no notification area at all.
    static Host DetectHost();
    Host host() const { return host_; }

    // The icon's menu. A StatusNotifier host gets it over D-Bus (com.canonical.dbusmenu) and
    // draws it itself, since a program cannot place a pop-up next to a Wayland panel; the
    // entry the user chooses there triggers its action. On the X11 tray Qt is not given it:
    // Qt would then open it by itself on a right click, and there the menu is the owner's to
    // open, on the right button's press (rightButtonPressed). The menu must outlive this icon.
    void setContextMenu(QMenu* menu);

    // False on a desktop without a notification area that can show messages.
    static bool BalloonsAvailable();

    void setVisible(bool visible);
    bool isVisible() const { return visible_; }

    void setIconIndex(int index); // 0 responding, 1 not responding, 2 plain, 3 not running
    int iconIndex() const { return index_; }
    // How many times the desktop was given a picture, the first one included.
    int iconChanges() const { return iconChanges_; }

    void setHint(const QString& hint); // cut to 127 characters
    const QString& hint() const { return hint_; }

    void setBalloonText(const QString& text); // cut to 255
    const QString& balloonText() const { return balloonText_; }
    void setBalloonTitle(const QString& title); // cut to 63
    const QString& balloonTitle() const { return balloonTitle_; }
    void setBalloonIcon(BalloonIcon icon) { balloonIcon_ = icon; }
    BalloonIcon balloonIcon() const { return balloonIcon_; }
    void setBalloonTimeout(int ms) { balloonTimeout_ = ms; }
    int balloonTimeout() const { return balloonTimeout_; }

    // Shows a balloon with the stored text, title and icon for the stored time.
    void ShowBalloonHint();
    int balloonsShown() const { return balloonsShown_; }

signals:
    // The right button's press on the X11 tray; on a StatusNotifier host, its ContextMenu
    // request, which only a host that cannot draw the exported menu makes.
    void rightButtonPressed();
    void doubleClicked(); // or, on a StatusNotifier host, its activation

private:
    const QIcon& picture(int index);

    Host host_;
    PictureSource pictures_;
    std::array<QIcon, 4> drawn_; // null until first needed
    QSystemTrayIcon* icon_;
    bool visible_ = false;
    int index_ = 0;
    int iconChanges_ = 0;
    QString hint_;
    QString balloonText_;
    QString balloonTitle_;
    BalloonIcon balloonIcon_ = BalloonIcon::None;
    int balloonTimeout_ = 10000;
    int balloonsShown_ = 0;
};

} // namespace norva
