#include "ctl/StatusReport.h"

#include "bus/BusContract.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace norva {
namespace {

StatusReport Running(const char* state) {
    StatusReport r;
    r.running = true;
    r.state = QString::fromLatin1(state);
    r.mode = QStringLiteral("network");
    r.deviceAddress = QStringLiteral("192.168.1.20");
    r.networkSent = 12;
    r.networkReceived = 10;
    r.networkNak = 1;
    r.networkMissed = 2;
    r.usbSent = 3;
    r.usbReceived = 4;
    r.usbMissed = 5;
    return r;
}

TEST(StatusReportTest, ExitStatusFollowsTheStateAsIsActiveScriptsExpect) {
    const std::pair<const char*, int> cases[] = {
        {bus::state::Responding, 0},
        {bus::state::NotResponding, 1},
        {bus::state::WaitingForSerialDevice, 1},
        {bus::state::Stopped, 3},
        {bus::state::Sleeping, 3},
        {"a state of a later service", 1},
    };
    for (const auto& [state, status] : cases) {
        EXPECT_EQ(Running(state).exitStatus(), status) << state;
        StatusReport gone = Running(state); // the last values of a service that has gone
        gone.running = false;
        EXPECT_EQ(gone.exitStatus(), 3) << state;
    }
}

TEST(StatusReportTest, LinesAreAlignedAndSayTheWarningAndTheSleepLock) {
    StatusReport r = Running(bus::state::Responding);
    EXPECT_EQ(r.text(), "State:    responding\n"
                        "Mode:     network\n"
                        "Device:   192.168.1.20\n"
                        "Network:  sent 12, received 10, NAK 1, missed 2\n"
                        "USB:      sent 3, received 4, missed 5\n"
                        "Sleep:    not held off\n");

    r.warningOnScreen = true;
    r.warningMode = 1;
    r.warningCountdown = 7;
    r.sleepInhibited = true;
    EXPECT_NE(r.text().indexOf("Warning:  shutdown in 7 s\n"), -1) << r.text().toStdString();
    EXPECT_NE(r.text().indexOf("Sleep:    held off while the heartbeat runs\n"), -1);
    r.allowSleep = true;
    EXPECT_NE(r.text().indexOf("Sleep:    allowed, the heartbeat pauses for it\n"), -1);

    StatusReport none;
    EXPECT_EQ(none.text(), "Service:  not running\n");
}

TEST(StatusReportTest, JsonCarriesEveryValueForScripts) {
    StatusReport r = Running(bus::state::NotResponding);
    r.warningOnScreen = true;
    r.warningCountdown = 9;
    r.sleepInhibited = true;
    const QByteArray text = r.json();
    ASSERT_TRUE(text.endsWith("\n"));
    EXPECT_EQ(text.count('\n'), 1);
    const QJsonObject o = QJsonDocument::fromJson(text).object();
    EXPECT_EQ(o["running"].toBool(), true);
    EXPECT_EQ(o["state"].toString(), "not responding");
    EXPECT_EQ(o["mode"].toString(), "network");
    EXPECT_EQ(o["deviceAddress"].toString(), "192.168.1.20");
    EXPECT_EQ(o["network"].toObject()["sent"].toInt(), 12);
    EXPECT_EQ(o["network"].toObject()["nak"].toInt(), 1);
    EXPECT_EQ(o["usb"].toObject()["missed"].toInt(), 5);
    EXPECT_EQ(o["warning"].toObject()["action"].toString(), "restart");
    EXPECT_EQ(o["warning"].toObject()["countdown"].toInt(), 9);
    EXPECT_EQ(o["sleepInhibited"].toBool(), true);
    EXPECT_EQ(o["allowSleep"].toBool(), false);

    r.warningOnScreen = false;
    EXPECT_TRUE(QJsonDocument::fromJson(r.json()).object()["warning"].isNull());
    // Counters are unsigned 32-bit on the bus: the largest survives.
    r.networkSent = 4294967295u;
    EXPECT_EQ(QJsonDocument::fromJson(r.json()).object()["network"].toObject()["sent"].toInteger(),
              4294967295LL);

    EXPECT_EQ(StatusReport().json(), "{\"running\":false}\n");
}

} // namespace
} // namespace norva
