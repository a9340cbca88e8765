// The service's pages are its stored settings, read as the desktop's pages would show them: a
// missing heartbeat key fills its field with the page's default, and only a key stored empty
// leaves a field empty. So Start in the service starts what the same Start on the desktop
// starts.
#include "agent/Agent.h"
#include "service/StoredPageValues.h"
#include "support/RecordingPowerBackend.h"
#include "support/ScriptedMessageBoxes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace norva {
namespace {

TEST(StoredPageValues, HeartbeatFieldsAreFilledAsThePageWouldFillThem) {
    const std::pair<const char*, bool> cases[] = {
        {"", true}, // every field shows its default ("0.0.0.0", "9100", "5", "3")
        {"[Setup]\nIPAddr=10.0.0.2\nPort=9100\nFreq=5\nFailCount=3\n", true},
        {"[Setup]\nIPAddr=\n", false},
        {"[Setup]\nPort=\n", false},
        {"[Setup]\nFreq=\n", false},
        {"[Setup]\nFailCount=\n", false},
    };
    for (const auto& [settings, filled] : cases) {
        test::TempDir dir;
        dir.write("NorvaHB", settings);
        SettingsHandle MyIni;
        MyIni.open(dir.path());
        EXPECT_EQ(StoredPageValues(MyIni).heartbeatFieldsFilled(), filled) << settings;
    }
}

// An agent on the stored settings, as the service builds one (the pages come after the agent,
// whose settings handle they read).
struct StoredAgent {
    explicit StoredAgent(const std::filesystem::path& folder)
        : agent(folder, 0, pages, boxes, power), pages(agent.MyIni) {
        agent.MyIni.open(folder);
    }
    ~StoredAgent() {
        agent.Stop();
        agent.MyIni.close();
    }

    test::ScriptedMessageBoxes boxes;
    test::RecordingPowerBackend power;
    Agent agent;
    StoredPageValues pages;
};

// Start in USB mode with no device address stored (USB needs none): the serial heartbeat
// runs, as on the desktop, whose page shows "0.0.0.0" in the address field.
TEST(StoredPageValues, StartInUsbModeWithoutAnAddressStartsTheSerialHeartbeat) {
    test::TempDir dir;
    dir.write("NorvaHB", "[Setup]\nUSB=1\nNetwork=0\nComPort=None\n");
    StoredAgent service(dir.path());
    service.agent.startHeartbeat();
    EXPECT_TRUE(service.agent.serial.comFreq.isActive());
    EXPECT_EQ(service.agent.state().usb.sent, 1u);
    EXPECT_EQ(SettingsFile(dir.path()).ReadString("Run", "IsStarted", ""), "1");
    EXPECT_EQ(service.boxes.errors, std::vector<std::string>{});
}

} // namespace
} // namespace norva
