#include "FakeLogin1Manager.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QFile>
#include <QSocketNotifier>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace norva::test {

namespace {
// logind's flags for the WithFlags methods: the two a logind of 252 takes, and the one that
// came with 257.
constexpr qulonglong kRootCheckInhibitors = 1ULL << 0;
constexpr qulonglong kRebootViaKexec = 1ULL << 1;
constexpr qulonglong kSkipInhibitors = 1ULL << 4;
} // namespace

QDBusArgument& operator<<(QDBusArgument& arg, const Inhibitor& i) {
    arg.beginStructure();
    arg << i.what << i.who << i.why << i.mode << i.uid << i.pid;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, Inhibitor& i) {
    arg.beginStructure();
    arg >> i.what >> i.who >> i.why >> i.mode >> i.uid >> i.pid;
    arg.endStructure();
    return arg;
}

FakeLogin1Manager::FakeLogin1Manager(QString logPath, QObject* parent)
    : QObject(parent), logPath_(std::move(logPath)) {
    qDBusRegisterMetaType<Inhibitor>();
    qDBusRegisterMetaType<QList<Inhibitor>>();
}

void FakeLogin1Manager::Reboot(bool interactive) {
    answerPlain("Reboot", interactive);
}

void FakeLogin1Manager::PowerOff(bool interactive) {
    answerPlain("PowerOff", interactive);
}

void FakeLogin1Manager::RebootWithFlags(qulonglong flags) {
    answerWithFlags("RebootWithFlags", flags);
}

void FakeLogin1Manager::PowerOffWithFlags(qulonglong flags) {
    answerWithFlags("PowerOffWithFlags", flags);
}

QDBusUnixFileDescriptor FakeLogin1Manager::Inhibit(const QString& what, const QString& who,
                                                   const QString& why, const QString& mode) {
    if (QFile::exists(logPath_ + QStringLiteral(".inhibit-refused"))) {
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
        return {};
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("fake-login1: no pipe"));
        return {};
    }
    auto h = std::make_unique<Held>();
    h->what = what;
    h->who = who;
    h->why = why;
    h->mode = mode;
    const QString sender = message().service();
    h->uid = connection().interface()->serviceUid(sender).value();
    h->pid = connection().interface()->servicePid(sender).value();
    h->fd = fds[0];
    h->notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    Held* raw = h.get();
    connect(h->notifier, &QSocketNotifier::activated, this, [this, raw] {
        // Nobody writes to the pipe: readable means every copy of the other end is closed.
        raw->notifier->setEnabled(false);
        raw->notifier->deleteLater();
        ::close(raw->fd);
        held_.erase(std::remove_if(held_.begin(), held_.end(),
                                   [raw](const auto& p) { return p.get() == raw; }),
                    held_.end());
    });
    held_.push_back(std::move(h));
    QDBusUnixFileDescriptor handed(fds[1]); // a copy of its own
    ::close(fds[1]);
    return handed;
}

QList<Inhibitor> FakeLogin1Manager::ListInhibitors() {
    QList<Inhibitor> list;
    for (const auto& h : held_)
        list.push_back({h->what, h->who, h->why, h->mode, h->uid, h->pid});
    return list;
}

void FakeLogin1Manager::EmitPrepareForSleep(bool start) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal << start;
    connection().send(signal);
}

void FakeLogin1Manager::answerPlain(const char* method, bool interactive) {
    record(method, interactive);
    const QString how = behaviour();
    if (how == QLatin1String("refuse"))
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
    else if (how == QLatin1String("inhibited"))
        sendErrorReply(QStringLiteral("org.freedesktop.login1.BlockedByInhibitorLock"),
                       QStringLiteral("Operation denied due to active block inhibitor"));
    else if (how != QLatin1String("modern") && how != QLatin1String("debian12") &&
             how != QLatin1String("old"))
        sendErrorReply(QDBusError::Failed, QStringLiteral("fake-login1: no behaviour ") + how);
}

void FakeLogin1Manager::answerWithFlags(const char* method, qulonglong flags) {
    const QString how = behaviour();
    if (how == QLatin1String("old")) {
        // No such method there: the answer such a manager gives, and nothing reached it.
        sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("Unknown method %1 or interface "
                                                                 "org.freedesktop.login1.Manager.")
                                                      .arg(QLatin1String(method)));
        return;
    }
    recordLine(QByteArray(method) + ' ' + QByteArray::number(flags) + '\n');
    if (how == QLatin1String("modern"))
        return;
    if (how == QLatin1String("debian12")) {
        if ((flags & ~(kRootCheckInhibitors | kRebootViaKexec)) != 0)
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("Invalid flags parameter"));
    } else if (how == QLatin1String("refuse")) {
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
    } else if (how == QLatin1String("inhibited")) {
        if ((flags & kSkipInhibitors) == 0)
            sendErrorReply(QStringLiteral("org.freedesktop.login1.BlockedByInhibitorLock"),
                           QStringLiteral("Operation denied due to active block inhibitor"));
    } else {
        sendErrorReply(QDBusError::Failed, QStringLiteral("fake-login1: no behaviour ") + how);
    }
}

QString FakeLogin1Manager::behaviour() const {
    QFile file(logPath_ + QStringLiteral(".behaviour"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("old");
    const QString word = QString::fromUtf8(file.readAll()).trimmed();
    return word.isEmpty() ? QStringLiteral("old") : word;
}

QString FakeLogin1Manager::CanReboot() {
    return canAnswer(QStringLiteral("CanReboot"));
}

QString FakeLogin1Manager::CanPowerOff() {
    return canAnswer(QStringLiteral("CanPowerOff"));
}

QString FakeLogin1Manager::canAnswer(const QString& method) {
    QFile answers(QString::fromLocal8Bit(qgetenv("FAKE_LOGIN1_CAN_ANSWERS")));
    if (answers.fileName().isEmpty() || !answers.open(QIODevice::ReadOnly))
        return QStringLiteral("yes");
    while (!answers.atEnd()) {
        const QStringList words = QString::fromUtf8(answers.readLine()).simplified().split(' ');
        if (words.size() == 2 && words[0] == method)
            return words[1];
    }
    return QStringLiteral("yes");
}

void FakeLogin1Manager::record(const char* method, bool interactive) {
    recordLine(QByteArray(method) + (interactive ? " true\n" : " false\n"));
}

void FakeLogin1Manager::recordLine(const QByteArray& line) {
    // Opened per call and closed at once, so a reader sees each line as soon as it is made.
    QFile log(logPath_);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::fprintf(stderr, "fake-login1: cannot write %s\n", qPrintable(logPath_));
        return;
    }
    log.write(line);
    log.close();
}

} // namespace norva::test
