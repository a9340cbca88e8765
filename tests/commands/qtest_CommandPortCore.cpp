// The command port without a window: the agent's real listener on loopback, a real TCP client
// on a thread of its own playing the device, and the protocol's handed-over steps served on
// this thread, each exchange judged by what the device got back and what the agent announced,
// in order.
#include "commands/CommandPacket.h"
#include "support/AgentFixture.h"
#include "support/FreePort.h"
#include "support/LoopbackDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using norva::test::AgentFixture;
using Log = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace {

// The 47-byte record: type, user name, password, command, and three bytes nobody reads.
std::string Packet(const std::string& user, const std::string& pass, std::uint8_t command,
                   std::uint8_t type = norva::eCmnd_get) {
    std::string p(norva::kCommandPacketSize, '\0');
    p[0] = static_cast<char>(type);
    p.replace(1, user.size(), user);
    p.replace(22, pass.size(), pass);
    p[43] = static_cast<char>(command);
    return p;
}

using Step = norva::test::DeviceStep;
using Device = norva::test::LoopbackDevice;

const Bytes kHelloReply{0x00, 0x00};
const Bytes kAck{0x01};

// The agent listening on any free port, its heartbeat's "Port" free as well (the restart
// notice goes there), the shutdown page showing bob/pw.
class CommandPortCore : public testing::Test {
protected:
    CommandPortCore() : f("[Setup]\nPort=" + std::to_string(udpPort) + "\n") {
        f.pages.user = "bob";
        f.pages.pass = "pw";
    }

    // One connection of the device, to its end, with the user-interface steps served here;
    // `meanwhile` runs on every round of serving, as the user's own events would.
    std::vector<Bytes> talk(std::vector<Step> steps, const std::function<void()>& meanwhile = {}) {
        Device device(f.agent->theServer.Port(), std::move(steps));
        EXPECT_TRUE(f.serveUntil([&] {
            if (meanwhile)
                meanwhile();
            return device.done();
        }));
        EXPECT_TRUE(device.closedByPeer()) << "the PC ends every connection";
        return device.replies();
    }

    std::uint16_t udpPort = norva::test::FreePort();
    AgentFixture f;
};

struct ExchangeCase {
    const char* name;
    bool alert; // "Alert Pending Action" as the page shows it
    std::vector<Step> steps;
    std::vector<Bytes> replies;
    Log shown;
    Log afterTheWarning; // the ten ticks of the warning, when one is shown, and what follows
    const char* sourceIP;
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
    *os << c.name;
}

class Exchange : public CommandPortCore, public testing::WithParamInterface<ExchangeCase> {};

TEST_P(Exchange, RepliesAnnouncementsAndPowerRequestsComeInTheirOrder) {
    const ExchangeCase& c = GetParam();
    f.pages.alert = c.alert;
    EXPECT_EQ(talk(c.steps), c.replies);
    EXPECT_EQ(f.log.take(), c.shown);
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), c.sourceIP);
    EXPECT_EQ(f.agent->pending.Timer1.isActive(), !c.afterTheWarning.empty());

    // The warning's clock, ticked from here: nothing happens before it runs out.
    if (!c.afterTheWarning.empty()) {
        EXPECT_TRUE(f.power.calls.empty());
        for (int tick = 0; tick < 10; ++tick)
            f.agent->pending.Timer1Timer();
        EXPECT_EQ(f.log.take(), c.afterTheWarning);
        EXPECT_FALSE(f.agent->pending.Timer1.isActive());
    }
    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_TRUE(f.agent->theServer.Active());
}

Log Ticks(const Log& then) {
    Log log;
    for (int left = 9; left >= 0; --left)
        log.push_back("warning tick " + std::to_string(left));
    log.push_back("warning ended");
    log.insert(log.end(), then.begin(), then.end());
    return log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Exchange,
    testing::Values(
        ExchangeCase{"Hello",
                     false,
                     {{"hello-000", 2}},
                     {kHelloReply},
                     {"caption Got Hello"},
                     {},
                     "<missing>"},
        ExchangeCase{
            "OtherHelloIsNotAnswered", false, {{"hello-001", 0}}, {{}}, {}, {}, "<missing>"},
        ExchangeCase{"BadUser",
                     false,
                     {{Packet("nobody", "pw", 1), 0}},
                     {{}},
                     {"label4 Bad Username"},
                     {},
                     "<missing>"},
        ExchangeCase{"BadPassword",
                     false,
                     {{Packet("bob", "PW", 1), 0}},
                     {{}},
                     {"label4 Bad Password"},
                     {},
                     "<missing>"},
        // The typical exchange; the user name's case does not matter.
        ExchangeCase{"RestartAtOnce",
                     false,
                     {{"hello-000", 2}, {Packet("BOB", "pw", 1), 1}},
                     {kHelloReply, kAck},
                     {"caption Got Hello", "memo Recived eCmnd_get",
                      "memo Command port: restart from 127.0.0.1", "accepted 127.0.0.1 restart",
                      "caption DO restart", "power reboot", "label4 RESTART"},
                     {},
                     "127.0.0.1"},
        ExchangeCase{"ShutdownAtOnce",
                     false,
                     {{Packet("bob", "pw", 2), 1}},
                     {kAck},
                     {"memo Recived eCmnd_get", "memo Command port: shutdown from 127.0.0.1",
                      "accepted 127.0.0.1 shutdown", "caption DO Shutdown", "power powerOff",
                      "label4 SHUTDOWN"},
                     {},
                     "<missing>"},
        ExchangeCase{"RestartAfterTheWarning",
                     true,
                     {{Packet("bob", "pw", 1), 1}},
                     {kAck},
                     {"memo Recived eCmnd_get",
                      "memo Command port: restart after warning from 127.0.0.1",
                      "accepted 127.0.0.1 restart after warning", "warning shown 0"},
                     Ticks({"caption DO restart", "power reboot"}),
                     "127.0.0.1"},
        ExchangeCase{"ShutdownAfterTheWarning",
                     true,
                     {{Packet("bob", "pw", 2), 1}},
                     {kAck},
                     {"memo Recived eCmnd_get",
                      "memo Command port: shutdown after warning from 127.0.0.1",
                      "accepted 127.0.0.1 shutdown after warning", "warning shown 1"},
                     Ticks({"caption DO Shutdown", "power powerOff"}),
                     "<missing>"},
        // Right credentials in a packet of another type: nothing, not even the log line.
        ExchangeCase{
            "OtherPacketType", false, {{Packet("bob", "pw", 1, 6), 0}}, {{}}, {}, {}, "<missing>"}),
    [](const auto& p) { return std::string(p.param.name); });

// The user edits the shutdown page while commands come in: its fields are set again on every
// round of serving (to the same values, so the outcome is fixed). The protocol reads them in its
// handed-over steps only, so on this thread; under ThreadSanitizer a read from a connection's
// thread is reported as a race with these writes.
// The system answers a power request later. A refusal is announced with the action and the
// system's reason, once; an acceptance announces nothing, and the caption is not touched again.
TEST_F(CommandPortCore, ARefusedPowerRequestIsAnnouncedWithItsActionAndReason) {
    f.agent->power.doRestart();
    f.agent->power.doShutdown();
    EXPECT_EQ(f.log.take(),
              (Log{"caption DO restart", "power reboot", "caption DO Shutdown", "power powerOff"}));
    EXPECT_TRUE(f.power.answer("Permission denied (org.freedesktop.DBus.Error.AccessDenied)"));
    EXPECT_TRUE(f.power.answer("Operation denied due to active block inhibitor "
                               "(org.freedesktop.login1.BlockedByInhibitorLock)"));
    EXPECT_EQ(f.log.take(),
              (Log{"power refused restart: Permission denied "
                   "(org.freedesktop.DBus.Error.AccessDenied)",
                   "power refused shutdown: Operation denied due to active block inhibitor "
                   "(org.freedesktop.login1.BlockedByInhibitorLock)"}));

    f.agent->power.doShutdown();
    f.log.take();
    EXPECT_TRUE(f.power.answer(""));
    EXPECT_TRUE(f.log.entries().empty());
    EXPECT_TRUE(f.boxes.errors.empty()) << "the core shows no box of its own";
}

TEST_F(CommandPortCore, PageIsReadOnlyOnTheUserInterfaceThreadWhileTheUserTypes) {
    f.pages.alert = true;
    auto typing = [this] {
        f.pages.user = QString::fromLatin1("bob");
        f.pages.pass = QString::fromLatin1("pw");
        f.pages.alert = true;
    };
    EXPECT_EQ(talk({{Packet("eve", "pw", 2), 0}}, typing), std::vector<Bytes>{{}});
    EXPECT_EQ(talk({{Packet("bob", "guess", 2), 0}}, typing), std::vector<Bytes>{{}});
    EXPECT_EQ(talk({{Packet("bob", "pw", 2), 1}}, typing), std::vector<Bytes>{kAck});
    EXPECT_EQ(f.log.take(),
              (Log{"label4 Bad Username", "label4 Bad Password", "memo Recived eCmnd_get",
                   "memo Command port: shutdown after warning from 127.0.0.1",
                   "accepted 127.0.0.1 shutdown after warning", "warning shown 1"}));
    EXPECT_TRUE(f.power.calls.empty());
}

// The address of an accepted restart is kept for the next program start, which tells the
// device "NorvaRB" there, once; the run that accepted it sends nothing.
TEST_F(CommandPortCore, RestartSourceIsToldAtTheNextStartOnly) {
    EXPECT_EQ(talk({{Packet("bob", "pw", 1), 1}}), std::vector<Bytes>{kAck});
    ASSERT_EQ(f.setting("GracefulRestart", "SourceIP"), "127.0.0.1");

    f.agent->notice.Run();
    EXPECT_FALSE(f.agent->UDPServer.Active()) << "nothing sent in the run that accepted it";
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "127.0.0.1");

    f.rebuild();
    // The notice goes to SourceIP at the heartbeat's "Port", from that port: on loopback it
    // comes back to the agent's own socket.
    std::vector<std::string> heard;
    f.agent->UDPServer.OnUDPRead = [&](std::thread::id, const std::vector<std::uint8_t>& data,
                                       const norva::UdpEndpoint::Binding& b) {
        heard.push_back(std::string(data.begin(), data.end()) + " from " + b.peerIP() + ":" +
                        std::to_string(b.peerPort()));
    };
    f.agent->notice.Run();
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "");
    ASSERT_TRUE(f.serveUntil([&] { return !heard.empty(); }));
    EXPECT_EQ(heard, Log{"NorvaRB from 127.0.0.1:" + std::to_string(udpPort)});
    EXPECT_TRUE(f.log.entries().empty()) << "the notice shows nothing";
}

} // namespace
