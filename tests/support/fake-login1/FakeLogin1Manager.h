#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>

namespace norva::test {

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
};

} // namespace norva::test
