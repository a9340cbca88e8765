#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace norva {

// The notification-area icon: one of four pictures, a hint, and the fields of the next
// balloon. Keeps its own copy of what it shows, so tests can read it on a desktop
// without a tray.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    enum class BalloonIcon { None, Information, Warning, Error };

    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    // False on a desktop without a notification area that can show messages.
    static bool BalloonsAvailable();

    void setVisible(bool visible);
    bool isVisible() const { return visible_; }

    void setIconIndex(int index); // 0 responding, 1 not responding, 2 plain, 3 not running
    int iconIndex() const { return index_; }

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
    void rightButtonPressed();
    void doubleClicked();

private:
    QSystemTrayIcon* icon_;
    bool visible_ = false;
    int index_ = 0;
    QString hint_;
    QString balloonText_;
    QString balloonTitle_;
    BalloonIcon balloonIcon_ = BalloonIcon::None;
    int balloonTimeout_ = 10000;
    int balloonsShown_ = 0;
};

} // namespace norva
