#pragma once

#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QSocketNotifier;

namespace norva::test {

// One entry of ListInhibitors, (ssssuu) on the bus.
struct Inhibitor {
    QString what, who, why, mode;
    uint uid = 0, pid = 0;
};
QDBusArgument& operator<<(QDBusArgument& arg, const Inhibitor& i);
const QDBusArgument& operator>>(const QDBusArgument& arg, Inhibitor& i);

// The power methods of the login manager, answered by writing one line per call to a log file
// instead of touching the machine: "Reboot false", "PowerOff true" for the plain methods (the
// argument is `interactive`), "RebootWithFlags 16", "PowerOffWithFlags 0" for the ones that
// take flags.
//
// How it answers is the behaviour named in the file "<LOGFILE>.behaviour", read again at every
// call, so a test changes it between calls by rewriting it (one word; a missing or empty file
// is "old"):
//   modern     a logind of 257 or later, no inhibitor active: every call is accepted
//   debian12   a logind of 252: the WithFlags methods refuse any flag but the first two with
//              org.freedesktop.DBus.Error.InvalidArgs "Invalid flags parameter" (after logging
//              the call); the plain methods are accepted
//   old        a logind from before the WithFlags methods: calling one fails with
//              org.freedesktop.DBus.Error.UnknownMethod and is not logged, as it never reached
//              a method; the plain methods are accepted. The default, so a test that does not
//              choose sees only the plain "Reboot false" it always saw
//   refuse     every power call is logged and fails with
//              org.freedesktop.DBus.Error.AccessDenied "Permission denied"
//   inhibited  a logind of 257 or later with a block inhibitor held: a call without the flag
//              SD_LOGIND_SKIP_INHIBITORS (16) fails with
//              org.freedesktop.login1.BlockedByInhibitorLock, one with it is accepted
// An unknown word fails every call with org.freedesktop.DBus.Error.Failed naming it.
//
// Inhibitor locks: Inhibit(what, who, why, mode) hands out one end of a pipe and keeps the
// other; the lock is listed by ListInhibitors (what, who, why, mode, uid, pid) until every copy
// of the handed-out end is closed. While the file "<LOGFILE>.inhibit-refused" exists, Inhibit
// fails with org.freedesktop.DBus.Error.AccessDenied, as logind does for a caller without the
// right. The test-only EmitPrepareForSleep(b) sends the manager's PrepareForSleep(b) signal,
// as logind does before a sleep (true) and after the wake (false).
//
// It also answers the two questions whether this caller may use them (CanReboot, CanPowerOff),
// as the test chooses.
class FakeLogin1Manager : public QObject, protected QDBusContext {
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
    void RebootWithFlags(qulonglong flags);
    void PowerOffWithFlags(qulonglong flags);
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode);
    QList<Inhibitor> ListInhibitors();
    void EmitPrepareForSleep(bool start);

private:
    static QString canAnswer(const QString& method);
    void record(const char* method, bool interactive);
    // The plain and the WithFlags calls: logged (unless the method is "missing") and answered
    // as the behaviour says.
    void answerPlain(const char* method, bool interactive);
    void answerWithFlags(const char* method, qulonglong flags);
    void recordLine(const QByteArray& line);
    QString behaviour() const;

    QString logPath_;
    struct Held {
        QString what, who, why, mode;
        uint uid = 0, pid = 0;
        int fd = -1; // our end of the pipe: readable (end of file) once the lock is released
        QSocketNotifier* notifier = nullptr;
    };
    std::vector<std::unique_ptr<Held>> held_;
};

} // namespace norva::test

Q_DECLARE_METATYPE(norva::test::Inhibitor)
