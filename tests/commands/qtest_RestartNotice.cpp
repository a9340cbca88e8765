// The restart notice at start-up. The program binds the "Port" value on every address and
// sends the notice to 127.0.0.1 at that same port, so it receives its own datagram: the
// endpoint's read handler is replaced by a recorder to see it. Every loopback address reaches
// it alike, so where the heartbeat is stopped, the device's heartbeat address "IPAddr" is one
// that nothing can be sent to (the loopback broadcast address): a notice sent there instead of
// to "SourceIP" fails and never arrives.
#include "support/AgentFixture.h"
#include "support/FreePort.h"

#include <filesystem>
#include <gtest/gtest.h>

using norva::test::AgentFixture;
using namespace std::chrono_literals;

namespace {

struct Datagram {
    std::string text;
    std::uint16_t fromPort;
    std::uint16_t toPort;
};

class Recorder {
public:
    explicit Recorder(norva::UdpEndpoint& endpoint) {
        endpoint.OnUDPRead = [this](std::thread::id, const std::vector<std::uint8_t>& data,
                                    const norva::UdpEndpoint::Binding& binding) {
            all.push_back(
                {std::string(data.begin(), data.end()), binding.peerPort(), binding.port()});
        };
    }

    std::vector<Datagram> notices() const {
        std::vector<Datagram> found;
        for (const Datagram& d : all)
            if (d.text == "NorvaRB")
                found.push_back(d);
        return found;
    }

    std::vector<Datagram> all;
};

// `setup` adds lines to the Setup section, `more` whole sections.
std::string Settings(std::uint16_t port, const std::string& setup = "",
                     const std::string& more = "") {
    return "[Setup]\nPort=" + std::to_string(port) + "\n" + setup +
           "[GracefulRestart]\nSourceIP=127.0.0.1\n" + more;
}

struct NoticeCase {
    const char* name;
    // Settings that decide whether the heartbeat runs at start, with its "IPAddr".
    std::string setup;
    std::string more;
};

void PrintTo(const NoticeCase& c, std::ostream* os) {
    *os << c.name;
}

class Notice : public testing::TestWithParam<NoticeCase> {};

TEST_P(Notice, GoesOutOnceToTheStoredAddressAtThePortAndIsCleared) {
    const auto port = norva::test::FreePort();
    std::string file;
    {
        AgentFixture f(Settings(port, GetParam().setup, GetParam().more));
        Recorder recorder(f.agent->UDPServer);
        f.pagesFromFile();
        f.startUp();
        EXPECT_TRUE(f.boxes.errors.empty()) << f.boxes.errors.front();
        EXPECT_EQ(f.agent->network.Timer1.isActive(), !GetParam().more.empty());
        // Cleared before the datagram could even arrive.
        EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "");
        EXPECT_TRUE(f.agent->UDPServer.Active());
        EXPECT_EQ(f.agent->UDPServer.DefaultPort(), port);

        ASSERT_TRUE(f.serveUntil([&] { return !recorder.notices().empty(); }));
        // A short look for a second copy.
        f.serveUntil([] { return false; }, 200ms);
        const auto notices = recorder.notices();
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].toPort, port);
        EXPECT_EQ(notices[0].fromPort, port) << "it leaves from the \"Port\" value";
        file = f.dir.read("NorvaHB");
    }

    // The next start finds nothing pending: nothing is sent, so nothing is even bound
    // unless the heartbeat runs.
    AgentFixture again(file);
    Recorder recorder(again.agent->UDPServer);
    again.pagesFromFile();
    again.startUp();
    EXPECT_TRUE(again.boxes.errors.empty());
    again.serveUntil([] { return false; }, 200ms);
    EXPECT_TRUE(recorder.notices().empty());
    EXPECT_EQ(again.setting("GracefulRestart", "SourceIP"), "");
}

// A running heartbeat needs an "IPAddr" it can reach, and on loopback that looks like any other
// address to the receiver; the end-to-end suite tells the two apart on a real link.
INSTANTIATE_TEST_SUITE_P(
    Cases, Notice,
    testing::Values(NoticeCase{"HeartbeatStopped", "IPAddr=127.255.255.255\n", ""},
                    NoticeCase{"NetworkHeartbeatRunning", "Network=1\nIPAddr=127.0.0.1\n",
                               "[Run]\nIsStarted=1\n"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(NoticeFailure, BadPortIsReportedAfterTheAddressWasCleared) {
    AgentFixture f("[Setup]\nPort=x\n[GracefulRestart]\nSourceIP=127.0.0.1\n");
    Recorder recorder(f.agent->UDPServer);
    f.pagesFromFile();
    f.startUp();
    ASSERT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_EQ(f.boxes.errors[0], "''x'' is not a valid integer value.");
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "");
    EXPECT_FALSE(f.agent->UDPServer.Active());
}

TEST(NoticeFailure, UnwritableSettingsKeepTheNoticePendingAndSendNothing) {
    const auto port = norva::test::FreePort();
    AgentFixture f(Settings(port));
    std::filesystem::permissions(f.dir / "NorvaHB", std::filesystem::perms::owner_read,
                                 std::filesystem::perm_options::replace);
    Recorder recorder(f.agent->UDPServer);
    f.pagesFromFile();
    f.startUp();
    ASSERT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_EQ(f.boxes.errors[0], "Unable to write to NorvaHB.");
    EXPECT_FALSE(f.agent->UDPServer.Active());
    EXPECT_EQ(f.agent->UDPServer.bindingCount(), 0u);
    f.serveUntil([] { return false; }, 100ms);
    EXPECT_TRUE(recorder.all.empty());
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "127.0.0.1");
}

} // namespace
