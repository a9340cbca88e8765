#pragma once

#include <QObject>
#include <QString>

namespace norva::test {

// The two power methods of the login manager, answered by writing one line per call
// ("Reboot false", "PowerOff true", ...) to a log file instead of touching the machine; and
// the two questions whether this caller may use them, answered as the test chooses.
class FakeLogin1Manager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    explicit FakeLogin1Manager(QString logPath, QObject* parent = nullptr);

public Q_SLOTS:
    void Reboot(bool interactive);
    void PowerOff(bool interactive);
    // What the login manager would say to a request from this caller: "yes" unless the file
    // named by $FAKE_LOGIN1_CAN_ANSWERS has a line "CanReboot ANSWER" (or "CanPowerOff
    // ANSWER"); the test writes any answer there ("no", "challenge", "na", ...). Read at every
    // call, so a test changes the answer between calls.
    QString CanReboot();
    QString CanPowerOff();

private:
    void record(const char* method, bool interactive);
    static QString canAnswer(const QString& method);

    QString logPath_;
};

} // namespace norva::test
