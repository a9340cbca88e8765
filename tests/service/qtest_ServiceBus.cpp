// What a caller on the bus may store through ApplySettings, without a bus: the values are
// checked as a whole, a bad one is refused with a line that names the key and what it takes,
// and then nothing at all is stored; good ones are stored in one replacement of the file, and
// only heartbeat-page keys stop and restart the heartbeat. ReadSettings never gives the
// password out. And what the object exports is the bus contract, no more and no less.
#include "bus/BusContract.h"
#include "bus/SettingsSchema.h"
#include "service/PolkitAuthorizer.h"
#include "service/ServiceBus.h"
#include "service/StoredPageValues.h"
#include "support/AgentFixture.h"

#include "platform/FileOps.h"
#include "settings/SettingsFile.h"

#include <QDBusConnection>
#include <QDBusMetaType>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QStringList>
#include <algorithm>
#include <cerrno>
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
    StoredPageValues stored{f.agent->MyIni};
    PolkitAuthorizer polkit{QDBusConnection(QStringLiteral("not-connected"))};
    ServiceBus bus{*f.agent, stored, polkit};

    std::string file() const { return f.dir.read("NorvaHB"); }
};

TEST_F(ServiceBusSettings, ABadValueIsNamedAndNothingIsStored) {
    struct Case {
        Values values;
        const char* error;
    };
    const Case cases[] = {
        {{{"Setup/Port", "12x"}}, "Setup/Port: up to five digits"},
        {{{"Setup/Freq", "123456"}}, "Setup/Freq: up to five digits"},
        {{{"Setup/Network", "2"}}, "Setup/Network: \"0\" or \"1\""},
        {{{"Setup/IPAddr", "300.1.1.1"}},
         "Setup/IPAddr: four dotted decimal numbers, such as 192.168.1.10"},
        {{{"Setup/ComPort", "COM51"}}, "Setup/ComPort: \"None\" or COM1 to COM50"},
        {{{"GSD/username", "a\nb"}},
         "GSD/username: a value holds no control characters or line breaks"},
        {{{"GSD/Password", "x\ry"}},
         "GSD/Password: a value holds no control characters or line breaks"},
        {{{"Setup/LockoutFailures", "1"}},
         "Setup/LockoutFailures is not a setting of the two pages"},
        // One bad value among good ones: the good ones are not stored either.
        {{{"Setup/Freq", "7"}, {"GSD/Password", "new"}, {"Setup/USB", "yes"}},
         "Setup/USB: \"0\" or \"1\""},
    };
    const std::string before = file();
    for (const Case& c : cases) {
        EXPECT_EQ(bus.applySettingsValues(c.values).toStdString(), c.error);
        EXPECT_EQ(file(), before) << c.error;
    }
}

TEST_F(ServiceBusSettings, GoodValuesAreStoredAndAbsentOnesKept) {
    // Keys match whatever their case, as the file's do.
    const Values values{{"setup/freq", "7"},
                        {"GSD/Password", "new"},
                        {"GSD/AlertPedningAction", "1"},
                        {"Setup/ComPort", "COM3"},
                        {"Setup/IPAddr", "192.168.1.10"}};
    EXPECT_EQ(bus.applySettingsValues(values), QString());
    EXPECT_EQ(f.setting("Setup", "Freq"), "7");
    EXPECT_EQ(f.setting("GSD", "Password"), "new");
    EXPECT_EQ(f.setting("GSD", "AlertPedningAction"), "1");
    EXPECT_EQ(f.setting("Setup", "ComPort"), "COM3");
    EXPECT_EQ(f.setting("Setup", "IPAddr"), "192.168.1.10");
    EXPECT_EQ(f.setting("Setup", "Port"), "9100") << "an absent key keeps its value";
    EXPECT_EQ(f.setting("GSD", "Username"), "Ostra");
}

TEST_F(ServiceBusSettings, ReadSettingsGivesThePagesButNeverThePassword) {
    const Values read = bus.settingsValues();
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

// A heartbeat the user started (Run/IsStarted set), running over USB, with the status in the
// tray: what an Apply must keep or restart.
constexpr const char* kRunning = "[Setup]\nNetwork=0\nUSB=1\nComPort=None\nFreq=5\n"
                                 "[Run]\nIsStarted=1\n"
                                 "[GSD]\nUsername=Ostra\nPassword=s3cret\nAlertPedningAction=0\n";

class ServiceBusApply : public testing::Test {
protected:
    ServiceBusApply() {
        f.pages.none = false;
        f.pages.usb = true;
        f.pages.tray = true;
        f.agent->control.StartSending();
        f.log.take();
    }

    bool running() const { return f.agent->serial.comFreq.isActive(); }
    bool logged(const std::vector<std::string>& entries, const std::string& prefix) const {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const std::string& e) { return e.starts_with(prefix); });
    }

    test::AgentFixture f{kRunning};
    StoredPageValues stored{f.agent->MyIni};
    PolkitAuthorizer polkit{QDBusConnection(QStringLiteral("not-connected"))};
    ServiceBus bus{*f.agent, stored, polkit};
};

// As on the desktop, where only the heartbeat page's Apply stops and restarts the heartbeat:
// the shutdown page's keys change nothing the heartbeat shows (no stop, no extra heartbeat, no
// tray turned to "responding" over a failure); one heartbeat key brings the whole bracket.
TEST_F(ServiceBusApply, OnlyHeartbeatKeysStopAndRestartTheHeartbeat) {
    const Values shutdownPage{
        {"GSD/username", "admin"}, {"GSD/Password", "new"}, {"GSD/AlertPedningAction", "1"}};
    ASSERT_EQ(bus.applySettingsValues(shutdownPage), QString());
    EXPECT_EQ(f.log.take(), std::vector<std::string>{});
    EXPECT_TRUE(running());
    EXPECT_EQ(f.setting("GSD", "Username"), "admin");

    Values both = shutdownPage;
    both.insert("Setup/Freq", "7");
    ASSERT_EQ(bus.applySettingsValues(both), QString());
    const auto entries = f.log.take();
    EXPECT_TRUE(logged(entries, "icon 2")) << "not stopped";
    EXPECT_TRUE(logged(entries, "tray 0 Norva is responding"));
    EXPECT_TRUE(logged(entries, "usb counters 2 ")) << "not started again";
    EXPECT_TRUE(running());
}

// Counts the replacements of the settings file; the one numbered `failAt` (from 1) fails as a
// full disk would.
class CountingOps : public FileOps {
public:
    int renames = 0;
    int failAt = 0;
    int rename(const char* from, const char* to) override {
        if (++renames == failAt) {
            errno = ENOSPC;
            return -1;
        }
        return FileOps::rename(from, to);
    }
};

// One call is one replacement of the file: a refusal leaves every old value (never a new user
// name beside the old password), the caller hears of it, and the heartbeat the bracket stopped
// runs again.
TEST_F(ServiceBusApply, AllValuesOfOneCallAreStoredTogetherOrNone) {
    CountingOps ops;
    f.agent->MyIni.open(f.dir.path(), &ops);
    const Values values{{"GSD/username", "admin"}, {"GSD/Password", "new"}, {"Setup/Freq", "7"}};

    ops.failAt = 1;
    const std::string before = f.dir.read("NorvaHB");
    EXPECT_THROW(bus.applySettingsValues(values), SettingsWriteError);
    EXPECT_EQ(f.dir.read("NorvaHB"), before);
    EXPECT_TRUE(running()) << "the failed Apply left the heartbeat stopped";
    const auto entries = f.log.take();
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(logged(entries, "usb counters 2 ")) << "not started again";

    ops.failAt = 0;
    ops.renames = 0;
    ASSERT_EQ(bus.applySettingsValues(values), QString());
    EXPECT_EQ(ops.renames, 1);
    EXPECT_EQ(f.setting("GSD", "Username"), "admin");
    EXPECT_EQ(f.setting("GSD", "Password"), "new");
    EXPECT_EQ(f.setting("Setup", "Freq"), "7");
}

} // namespace
} // namespace norva
