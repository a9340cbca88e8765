#include "FakeLogin1Manager.h"

#include <QFile>
#include <QStringList>

#include <cstdio>
#include <utility>

namespace norva::test {

FakeLogin1Manager::FakeLogin1Manager(QString logPath, QObject* parent)
    : QObject(parent), logPath_(std::move(logPath)) {}

void FakeLogin1Manager::Reboot(bool interactive) {
    record("Reboot", interactive);
}

void FakeLogin1Manager::PowerOff(bool interactive) {
    record("PowerOff", interactive);
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
    // Opened per call and closed at once, so a reader sees each line as soon as it is made.
    QFile log(logPath_);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::fprintf(stderr, "fake-login1: cannot write %s\n", qPrintable(logPath_));
        return;
    }
    log.write(QByteArray(method) + (interactive ? " true\n" : " false\n"));
    log.close();
}

} // namespace norva::test
