#include "FakeLogin1Manager.h"

#include <QFile>

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
