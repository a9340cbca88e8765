#include "service/SystemCheckProbes.h"

#include "bus/BusContract.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace norva {

namespace {

constexpr int kCallTimeoutMs = 5000;

// Binds a socket of `type` to `port` on the IPv4 and the IPv6 "any" address, as the service's
// own sockets bind (TCP with SO_REUSEADDR, which lets a listener bind over connections left in
// TIME_WAIT; UDP without); 0 or the errno of the failure.
int bindBoth(int type, std::uint16_t port) {
    const int reuse = type == SOCK_STREAM ? 1 : 0;
    const int v4 = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (v4 < 0)
        return errno;
    ::setsockopt(v4, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in any4{};
    any4.sin_family = AF_INET;
    any4.sin_addr.s_addr = htonl(INADDR_ANY);
    any4.sin_port = htons(port);
    int error = ::bind(v4, reinterpret_cast<const sockaddr*>(&any4), sizeof any4) == 0 ? 0 : errno;
    if (error == 0) {
        const int v6 = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
        if (v6 >= 0) {
            const int on = 1;
            ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            ::setsockopt(v6, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
            sockaddr_in6 any6{};
            any6.sin6_family = AF_INET6;
            any6.sin6_addr = in6addr_any;
            any6.sin6_port = htons(port);
            if (::bind(v6, reinterpret_cast<const sockaddr*>(&any6), sizeof any6) != 0 &&
                errno != EADDRNOTAVAIL) // IPv6 switched off: the service serves IPv4 alone
                error = errno;
            ::close(v6);
        } // no IPv6 on this system at all: the same
    }
    ::close(v4);
    return error;
}

} // namespace

bool SystemCheckProbes::serviceRunning() {
    if (!bus_.isConnected() || !bus_.interface())
        return false;
    const QDBusReply<bool> registered =
        bus_.interface()->isServiceRegistered(QString::fromLatin1(bus::ServiceName));
    return registered.isValid() && registered.value();
}

bool SystemCheckProbes::commandSocketHeld() {
    if (!bus_.isConnected())
        return false;
    // Read-only questions to the service manager, which answers them for any user.
    const QString systemd = QStringLiteral("org.freedesktop.systemd1");
    QDBusMessage call = QDBusMessage::createMethodCall(
        systemd, QStringLiteral("/org/freedesktop/systemd1"),
        QStringLiteral("org.freedesktop.systemd1.Manager"), QStringLiteral("GetUnit"));
    call << QStringLiteral("norvahbd.socket");
    const QDBusReply<QDBusObjectPath> unit = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (!unit.isValid())
        return false; // not loaded: not held
    QDBusMessage get = QDBusMessage::createMethodCall(
        systemd, unit.value().path(), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.systemd1.Unit") << QStringLiteral("ActiveState");
    const QDBusReply<QDBusVariant> state = bus_.call(get, QDBus::Block, kCallTimeoutMs);
    return state.isValid() && state.value().variant().toString() == QStringLiteral("active");
}

std::string SystemCheckProbes::askLoginManager(const std::string& method, std::string& error) {
    if (!bus_.isConnected()) {
        error = "no system bus: " + bus_.lastError().message().toStdString();
        return {};
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QString::fromStdString(method));
    const QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        error = reply.errorMessage().toStdString();
        if (error.empty())
            error = reply.errorName().toStdString();
        return {};
    }
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty() ||
        reply.arguments().first().userType() != QMetaType::QString) {
        error = "an answer that is not a text";
        return {};
    }
    return reply.arguments().first().toString().toStdString();
}

int SystemCheckProbes::bindTcp(std::uint16_t port) {
    return bindBoth(SOCK_STREAM, port);
}

int SystemCheckProbes::bindUdp(std::uint16_t port) {
    return bindBoth(SOCK_DGRAM, port);
}

} // namespace norva
