#include "agent/SleepGuard.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <unistd.h>

namespace norva {

namespace {

constexpr const char* Login1 = "org.freedesktop.login1";
constexpr const char* Login1Path = "/org/freedesktop/login1";
constexpr const char* Login1Manager = "org.freedesktop.login1.Manager";
// A login manager that does not answer must not hold up the heartbeat for long.
constexpr int CallTimeoutMs = 2000;

} // namespace

SleepGuard::SleepGuard(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    bus_.connect(Login1, Login1Path, Login1Manager, "PrepareForSleep", this,
                 SLOT(onPrepareForSleep(bool)));
}

SleepGuard::~SleepGuard() {
    bus_.disconnect(Login1, Login1Path, Login1Manager, "PrepareForSleep", this,
                    SLOT(onPrepareForSleep(bool)));
    release();
}

bool SleepGuard::take(bool allowSleep) {
    if (held() && allowSleep == allowSleep_)
        return true;
    release();
    allowSleep_ = allowSleep;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Login1, Login1Path, Login1Manager, "Inhibit");
    call << QStringLiteral("sleep") << QString::fromLatin1(Who) << QString::fromLatin1(Why)
         << QString::fromLatin1(allowSleep ? "delay" : "block");
    const QDBusReply<QDBusUnixFileDescriptor> reply = bus_.call(call, QDBus::Block, CallTimeoutMs);
    if (!reply.isValid() || !reply.value().isValid()) {
        const QString error =
            reply.isValid() ? QStringLiteral("no lock was handed out") : reply.error().message();
        emit lockRefused(error);
        return false;
    }
    // The reply's descriptor closes with it: keep a copy of our own.
    fd_ = ::dup(reply.value().fileDescriptor());
    return fd_ >= 0;
}

void SleepGuard::release() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
}

void SleepGuard::onPrepareForSleep(bool start) {
    emit prepareForSleep(start);
}

} // namespace norva
