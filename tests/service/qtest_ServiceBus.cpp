// The service's bus object without a bus: ReadSettings gives every key but never the
// password, CloseWarning only takes the warning off screen, and what the object exports is the
// bus contract, no more and no less. (What ApplySettings stores is the agent's settings verb,
// tested with the agent.)
#include "agent/AgentState.h"
#include "bus/BusContract.h"
#include "bus/SettingsSchema.h"
#include "service/PolkitAuthorizer.h"
#include "service/ServiceBus.h"
#include "support/AgentFixture.h"

#include <QDBusConnection>
#include <QDBusMetaType>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <span>
#include <string>
#include <vector>

namespace norva {
namespace {

using Values = QMap<QString, QString>;

constexpr const char* kStored = "[Setup]\nNetwork=1\nUSB=0\nIPAddr=10.0.0.2\nPort=9100\n"
                                "Freq=5\nFailCount=3\nComPort=None\n"
                                "[GSD]\nUsername=Ostra\nPassword=s3cret\nAlertPedningAction=0\n";

class ServiceBusSettings : public testing::Test {
protected:
    test::AgentFixture f{kStored};
    PolkitAuthorizer polkit{QDBusConnection(QStringLiteral("not-connected"))};
    ServiceBus bus{*f.agent, polkit};
};

TEST_F(ServiceBusSettings, ReadSettingsGivesThePagesButNeverThePassword) {
    // The user name only to a caller that may configure: to others the key is absent.
    const Values withoutName = bus.settingsFor(false);
    EXPECT_FALSE(withoutName.contains("GSD/username"));
    EXPECT_FALSE(withoutName.contains("GSD/Password"));
    for (const QString& value : withoutName)
        EXPECT_NE(value, "Ostra");
    EXPECT_EQ(withoutName.value("Setup/IPAddr"), "10.0.0.2");

    const Values read = bus.settingsFor(true);
    EXPECT_EQ(read.value("Setup/IPAddr"), "10.0.0.2");
    EXPECT_EQ(read.value("Setup/Network"), "1");
    EXPECT_EQ(read.value("GSD/username"), "Ostra");
    EXPECT_FALSE(read.contains("GSD/Password"));
    for (const QString& value : read)
        EXPECT_NE(value, "s3cret");

    QStringList schema;
    for (const bus::Setting& s : bus::SettingsSchema::all())
        if (s.kind != bus::Setting::Kind::Secret)
            schema << QString::fromLatin1(s.name.data(), static_cast<qsizetype>(s.name.size()));
    schema.sort();
    EXPECT_EQ(read.keys(), schema) << "every setting of the schema but the password, no other";

    // An address never stored is there too, empty, as the file reads it.
    test::AgentFixture bare{"[Setup]\nNetwork=1\n"};
    ServiceBus bareBus{*bare.agent, polkit};
    const Values fresh = bareBus.settingsFor(true);
    EXPECT_EQ(fresh.keys(), schema);
    EXPECT_TRUE(fresh.contains("Setup/IPAddr"));
    EXPECT_EQ(fresh.value("Setup/IPAddr"), "");
}

// "Name signature [-> out]", one line per member.
std::vector<std::string> Lines(std::span<const bus::Member> members) {
    std::vector<std::string> lines;
    for (const bus::Member& m : members)
        lines.push_back(std::string(m.name) + " " + std::string(m.signature) +
                        (m.out.empty() ? "" : " -> " + std::string(m.out)));
    return lines;
}

// moc takes the exported names and types from the class itself, not from the contract: they
// must be the contract's, and nothing else may be exported.
TEST_F(ServiceBusSettings, ExportsExactlyTheContractsMembers) {
    const QMetaObject& mo = ServiceBus::staticMetaObject;
    EXPECT_STREQ(mo.classInfo(mo.indexOfClassInfo("D-Bus Interface")).value(), bus::Interface);
    auto signature = [](QMetaType type) {
        return std::string(QDBusMetaType::typeToSignature(type));
    };
    std::vector<std::string> properties, signals_, methods;
    for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i)
        properties.push_back(std::string(mo.property(i).name()) + " " +
                             signature(mo.property(i).metaType()));
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        if (m.access() != QMetaMethod::Public)
            continue; // not exported
        std::string line = m.name().toStdString() + " ";
        for (int k = 0; k < m.parameterCount(); ++k)
            line += signature(m.parameterMetaType(k));
        if (m.returnType() != QMetaType::Void)
            line += " -> " + signature(m.returnMetaType());
        (m.methodType() == QMetaMethod::Signal ? signals_ : methods).push_back(line);
    }
    EXPECT_EQ(properties, Lines(bus::prop::All));
    EXPECT_EQ(signals_, Lines(bus::sig::All));
    EXPECT_EQ(methods, Lines(bus::method::All));
}

// PropertiesChanged carries each value as the property's own type: a counter as "u", never the
// "i" or "t" a looser value would be sent as.
TEST_F(ServiceBusSettings, EveryPropertyValueHasTheContractsType) {
    const AgentState state = f.agent->state();
    for (const bus::Member& m : bus::prop::All) {
        if (m.name == bus::prop::CommandPasswordProblem) {
            EXPECT_EQ(std::string(QDBusMetaType::typeToSignature(
                          QVariant(bus.commandPasswordProblem()).metaType())),
                      m.signature);
            continue;
        }
        if (m.name == bus::prop::RejectedCommands) {
            EXPECT_EQ(std::string(QDBusMetaType::typeToSignature(
                          QVariant(bus.rejectedCommands()).metaType())),
                      m.signature);
            continue; // counted by the bus object, not part of the agent's state
        }
        const QVariant v = ServiceBus::propertyValue(
            state, QString::fromLatin1(m.name.data(), static_cast<qsizetype>(m.name.size())));
        ASSERT_TRUE(v.isValid()) << m.name;
        EXPECT_EQ(std::string(QDBusMetaType::typeToSignature(v.metaType())), m.signature) << m.name;
    }
}

// The window showing the warning was closed: the warning is off screen (and the bus says so),
// its count goes on to its action, and the next warning (a test or a command) counts from 10
// again. Without the close, a second warning would go on from where the count was.
TEST_F(ServiceBusSettings, CloseWarningTakesTheWarningOffScreenAndTheNextCountsFromTen) {
    for (const bool close : {true, false}) {
        SCOPED_TRACE(close ? "closed" : "left on screen");
        f.agent->testWarning();
        f.agent->pending.Timer1Timer();
        f.agent->pending.Timer1Timer();
        ASSERT_TRUE(bus.warningOnScreen());
        if (close)
            bus.CloseWarning();
        EXPECT_EQ(bus.warningOnScreen(), !close);
        f.agent->pending.Timer1Timer();
        EXPECT_EQ(bus.warningCountdown(), 7) << "the count goes on";
        EXPECT_TRUE(f.agent->pending.Timer1.isActive());

        f.log.take();
        f.agent->testWarning();
        EXPECT_EQ(f.log.take(), std::vector<std::string>{"warning shown 0"});
        EXPECT_TRUE(bus.warningOnScreen());
        EXPECT_EQ(bus.warningCountdown(), close ? 10 : 7);

        // Run out, so the next round starts from nothing.
        while (f.agent->pending.countdown > 0)
            f.agent->pending.Timer1Timer();
        EXPECT_FALSE(bus.warningOnScreen());
    }
    EXPECT_EQ(f.power.calls, (std::vector<std::string>{"reboot", "reboot"}));
}

// PropertiesChanged goes out at most ten times a second: what changed within a tenth of a
// second is gathered into one signal that carries the newest values, and a change is never
// lost; at the stop what is gathered goes out at once.
TEST_F(ServiceBusSettings, PropertiesChangedAtMostTenTimesASecondWithTheNewestValues) {
    auto now = std::chrono::steady_clock::time_point(std::chrono::hours(1));
    bus.clock = [&] { return now; };
    std::vector<QVariantMap> sent;
    bus.propertiesSent = [&](const QVariantMap& changed) { sent.push_back(changed); };
    const std::vector<std::uint8_t> ack{'N', 'o', 'r', 'v', 'a', 'A', 'C', 'K'};

    // A second of a flood of answers, one a millisecond, the pace's timer firing as it would.
    for (int i = 0; i < 1000; ++i) {
        now += std::chrono::milliseconds(1);
        f.agent->network.UDPServerUDPRead(ack);
        bus.propertiesPace.timerTimer();
    }
    EXPECT_LE(sent.size(), 10u);
    EXPECT_GE(sent.size(), 9u) << "yet every tenth of a second's changes went out";
    now += std::chrono::milliseconds(100);
    bus.propertiesPace.timerTimer();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().value(bus::prop::NetworkReceived).toUInt(), 1000u)
        << "the last value is sent";
    EXPECT_EQ(sent.back().value(bus::prop::State).toString(), bus::state::Responding)
        << "the state and the counters together";

    // Values of several announcements gathered into one signal.
    sent.clear();
    now += std::chrono::seconds(1);
    f.agent->testWarning();
    f.agent->network.UDPServerUDPRead(ack);
    f.agent->pending.Timer1Timer();
    EXPECT_TRUE(sent.empty()) << "gathered for a tenth of a second first";
    bus.flushProperties();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].value(bus::prop::WarningOnScreen).toBool(), true);
    EXPECT_EQ(sent[0].value(bus::prop::WarningCountdown).toInt(), 9);
    EXPECT_EQ(sent[0].value(bus::prop::NetworkReceived).toUInt(), 1001u);
    bus.flushProperties();
    EXPECT_EQ(sent.size(), 1u) << "nothing gathered, nothing sent";
    while (f.agent->pending.countdown > 0)
        f.agent->pending.Timer1Timer();
}

} // namespace
} // namespace norva
