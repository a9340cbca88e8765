#pragma once

#include <QObject>
#include <QString>

namespace norva::test {

// The two power methods of the login manager, answered by writing one line per call
// ("Reboot false", "PowerOff true", ...) to a log file instead of touching the machine.
class FakeLogin1Manager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    explicit FakeLogin1Manager(QString logPath, QObject* parent = nullptr);

public Q_SLOTS:
    void Reboot(bool interactive);
    void PowerOff(bool interactive);

private:
    void record(const char* method, bool interactive);

    QString logPath_;
};

} // namespace norva::test
