// sni-watcher [--no-host]
//
// A StatusNotifierWatcher for tests: owns org.kde.StatusNotifierWatcher on the session bus
// named by DBUS_SESSION_BUS_ADDRESS (a private bus the test started) and reports a tray host as
// registered, which is what makes a Qt program put its tray icon on D-Bus. With --no-host it
// reports no host, as a watcher does before a panel has come up.
//
// On standard output:
//   ready                  the name is ours
//   item SERVICE SENDER    an item registered itself (SERVICE as it gave it, SENDER its
//                          connection's unique name)
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>

#include <cstdio>

namespace {

class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    explicit Watcher(bool host) : host_(host) {}

    QStringList items() const { return items_; }
    bool hostRegistered() const { return host_; }
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        const QString sender = message().service();
        items_ << service;
        std::printf("item %s %s\n", qPrintable(service), qPrintable(sender));
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString&) {
        host_ = true;
        emit StatusNotifierHostRegistered();
    }

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    bool host_;
    QStringList items_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool host = !(argc > 1 && QByteArray(argv[1]) == "--no-host");
    if (qgetenv("DBUS_SESSION_BUS_ADDRESS").isEmpty()) {
        std::fprintf(stderr, "sni-watcher: DBUS_SESSION_BUS_ADDRESS is not set; point it at a "
                             "private bus\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher(host);
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "sni-watcher: cannot take the watcher's name: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "sni_watcher.moc"
