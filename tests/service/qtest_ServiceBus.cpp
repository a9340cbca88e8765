// What a caller on the bus may store through ApplySettings, without a bus: the values are
// checked as a whole, a bad one is refused with a line that names the key and what it takes,
// and then nothing at all is stored. ReadSettings never gives the password out.
#include "service/PolkitAuthorizer.h"
#include "service/ServiceBus.h"
#include "service/StoredPageValues.h"
#include "support/AgentFixture.h"

#include <QDBusConnection>
#include <gtest/gtest.h>

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
}

} // namespace
} // namespace norva
