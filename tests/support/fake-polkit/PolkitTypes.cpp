#include "PolkitTypes.h"

#include <QDBusMetaType>

namespace norva::test {

QDBusArgument& operator<<(QDBusArgument& arg, const PolkitSubject& subject) {
    arg.beginStructure();
    arg << subject.kind << subject.details;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, PolkitSubject& subject) {
    arg.beginStructure();
    arg >> subject.kind >> subject.details;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const PolkitResult& result) {
    arg.beginStructure();
    arg << result.authorized << result.challenge << result.details;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, PolkitResult& result) {
    arg.beginStructure();
    arg >> result.authorized >> result.challenge >> result.details;
    arg.endStructure();
    return arg;
}

void RegisterPolkitTypes() {
    qDBusRegisterMetaType<QMap<QString, QString>>();
    qDBusRegisterMetaType<PolkitSubject>();
    qDBusRegisterMetaType<PolkitResult>();
}

} // namespace norva::test
