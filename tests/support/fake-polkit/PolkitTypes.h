#pragma once

#include <QDBusArgument>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

namespace norva::test {

// The subject of a polkit check, (sa{sv}): its kind ("unix-process", "system-bus-name", ...)
// and what identifies it ("pid", "start-time", "uid"; or "name").
struct PolkitSubject {
    QString kind;
    QVariantMap details;
};

// The answer of CheckAuthorization, (bba{ss}).
struct PolkitResult {
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
};

QDBusArgument& operator<<(QDBusArgument& arg, const PolkitSubject& subject);
const QDBusArgument& operator>>(const QDBusArgument& arg, PolkitSubject& subject);
QDBusArgument& operator<<(QDBusArgument& arg, const PolkitResult& result);
const QDBusArgument& operator>>(const QDBusArgument& arg, PolkitResult& result);

// Makes both structures and a{ss} known to QtDBus; call once before exporting an object.
void RegisterPolkitTypes();

} // namespace norva::test

Q_DECLARE_METATYPE(norva::test::PolkitSubject)
Q_DECLARE_METATYPE(norva::test::PolkitResult)
