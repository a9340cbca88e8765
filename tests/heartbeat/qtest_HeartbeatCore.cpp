// The heartbeat without a window: the network monitor against datagrams on loopback, the
// serial monitor against a pseudo-terminal, and Start/Stop/resume as the page shows the mode,
// each judged by what the agent announced, in order.
#include "platform/ErrorBox.h"
#include "support/AgentFixture.h"
#include "support/FreePort.h"
#include "support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using norva::test::AgentFixture;
using Log = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

const char* const kNetAlert = "alert Your Norva is not responding to the Heartbeat (Network)";
const char* const kUsbAlert = "alert Your Norva is not responding to the Heartbeat (USB)";

std::string netSettings(std::uint16_t port, const std::string& extra = "") {
    return "[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" + std::to_string(port) +
           "\nFreq=1\nFailCount=2\n" + extra;
}

// A datagram socket of the test's own on loopback: the device's answers come from it.
class UdpPeer {
public:
    UdpPeer() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    void sendTo(std::uint16_t port, std::string_view text) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(
            ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
            static_cast<ssize_t>(text.size()));
    }

private:
    int fd_ = -1;
};

// The agent with the network heartbeat on loopback (IPAddr 127.0.0.1, Freq 1, FailCount 2),
// the page in network mode with "Show Status In Tray".
//
// The agent binds the device's port number on every address, without address reuse, and sends
// from there to that same port: so no other socket on this machine can have the port, and what
// the agent sends to 127.0.0.1 comes back to its own socket. The endpoint's read handler is
// therefore split by sender: a datagram from the agent's own port is what went on the wire
// (`wire`); any other goes to the monitor, as the agent's own wiring passes it.
class NetworkCore : public testing::Test {
protected:
    explicit NetworkCore(const std::string& extra = "") : f(netSettings(port, extra)) {
        f.pages.none = false;
        f.pages.network = true;
        f.pages.tray = true;
        f.agent->UDPServer.OnUDPRead = [this](std::thread::id,
                                              const std::vector<std::uint8_t>& data,
                                              const norva::UdpEndpoint::Binding& b) {
            if (b.peerPort() == port && b.peerIP() == "127.0.0.1")
                wire.emplace_back(data.begin(), data.end());
            else
                f.agent->network.UDPServerUDPRead(data);
        };
    }

    norva::NetworkMonitor& net() { return f.agent->network; }

    // The device answers; served until the monitor has taken the datagram.
    void answer(std::string_view text) {
        const auto before = net().rcvdCount;
        peer.sendTo(port, text);
        ASSERT_TRUE(f.serveUntil([&] { return net().rcvdCount > before; })) << text;
    }

    // Served until `count` datagrams have come back from the agent's port.
    bool waitOnWire(std::size_t count) {
        return f.serveUntil([&] { return wire.size() >= count; });
    }

    std::uint16_t port = norva::test::FreePort();
    AgentFixture f;
    UdpPeer peer;
    std::vector<std::string> wire;
};

TEST_F(NetworkCore, StartAnswerMissesFailureAlertAndRecovery) {
    f.agent->startHeartbeat();
    EXPECT_EQ(f.log.take(), (Log{"counters 0 0 0 0", "usb counters 0 0 0", "counters 1 0 0 0",
                                 "icon 1", "status OK", "status OK"}));
    ASSERT_TRUE(waitOnWire(1));
    EXPECT_EQ(wire, Log{"NorvaHB"}) << "the first heartbeat goes out at once";
    EXPECT_EQ(f.setting("Run", "IsStarted"), "1");

    answer("NorvaACK");
    EXPECT_FALSE(net().Timer2.isActive());
    EXPECT_EQ(f.log.take(),
              (Log{"counters 1 1 0 0", "icon 1", "tray 0 hint Norva is responding", "status OK"}));

    // FailCount 2: the first miss is only counted, the second brings the failure and its alert.
    net().Timer1Timer();
    net().Timer2Timer();
    EXPECT_EQ(f.log.take(), (Log{"counters 2 1 0 0", "counters 2 1 0 1"}));
    net().Timer1Timer();
    net().Timer2Timer();
    EXPECT_EQ(f.log.take(), (Log{"counters 3 1 0 1", "counters 3 1 0 2", "icon 0", "status Fail",
                                 "tray 1 hint Norva is not responding", kNetAlert}));
    EXPECT_TRUE(f.agent->status.failed);

    // Misses since the start, not in a row: the next one does not alert again.
    net().Timer1Timer();
    net().Timer2Timer();
    EXPECT_EQ(f.log.take(), (Log{"counters 4 1 0 2", "counters 4 1 0 3"}));

    net().Timer1Timer();
    answer("NorvaACK");
    EXPECT_EQ(f.log.take(), (Log{"counters 5 1 0 3", "counters 5 2 0 3", "icon 1",
                                 "tray 0 hint Norva is responding", "status OK"}));
    EXPECT_FALSE(f.agent->status.failed);
    ASSERT_TRUE(waitOnWire(5));
    EXPECT_EQ(wire, Log(5, "NorvaHB"));
    EXPECT_TRUE(f.boxes.errors.empty()) << "the alert is announced, the core shows no box";
}

// Another program's socket on the heartbeat's port, on every address, as long as it lives
// or until release(): the agent cannot bind the port, so no heartbeat can leave.
class PortHolder {
public:
    explicit PortHolder(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~PortHolder() { release(); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    void release() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A heartbeat that cannot leave is, for the device, one that never came: the fail counter
// counts it as it counts a miss, and the alert comes after FailCount of them, while each
// failure still reaches the general error box. Sent and Missed count only heartbeats that
// went out.
TEST_F(NetworkCore, ALastingSendFailureRaisesTheAlertAsSilenceWould) {
    const std::string bindFailed =
        "error Could not bind socket. Address and port are already in use.";
    PortHolder holder(port);
    // Each entry guarded as the event loop runs it: the Start button, then the ticks.
    auto tick = [this] { norva::RunGuarded(f.boxes, [this] { net().Timer1Timer(); }); };
    norva::RunGuarded(f.boxes, [this] { f.agent->startHeartbeat(); });
    EXPECT_EQ(f.log.take(), (Log{"counters 0 0 0 0", "usb counters 0 0 0", bindFailed}));
    EXPECT_TRUE(net().Timer1.isActive()) << "the heartbeats go on being tried";

    tick(); // FailCount 2: the second failed heartbeat brings the alert
    EXPECT_EQ(f.log.take(), (Log{"icon 0", "status Fail", "tray 1 hint Norva is not responding",
                                 kNetAlert, bindFailed}));
    EXPECT_TRUE(f.agent->status.failed);
    EXPECT_FALSE(net().Timer2.isActive()) << "nothing went out, so no answer is awaited";
    EXPECT_EQ(net().sentCount, 0u);
    EXPECT_EQ(net().missedCount, 0u);

    tick(); // as after a miss: no second alert
    EXPECT_EQ(f.log.take(), Log{bindFailed});

    // The port is free again: the next heartbeat goes out and the answer ends the failure.
    holder.release();
    tick();
    EXPECT_EQ(f.log.take(), Log{"counters 1 0 0 0"});
    answer("NorvaACK");
    EXPECT_EQ(f.log.take(),
              (Log{"counters 1 1 0 0", "icon 1", "tray 0 hint Norva is responding", "status OK"}));
    EXPECT_FALSE(f.agent->status.failed);
}

// What the device sends after the start heartbeat, what the user is shown, and what goes back.
struct DatagramCase {
    const char* name;
    const char* text;
    Log shown;
    const char* reply; // "" for none
};

void PrintTo(const DatagramCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceDatagram : public NetworkCore, public testing::WithParamInterface<DatagramCase> {};

TEST_P(DeviceDatagram, IsCountedShownAndRepliedToAsTheDeviceExpects) {
    const DatagramCase& c = GetParam();
    f.agent->startHeartbeat();
    f.log.take();
    answer(c.text);
    EXPECT_EQ(f.log.take(), c.shown);
    EXPECT_FALSE(net().Timer2.isActive()) << "any datagram ends the wait";

    // The next heartbeat travels the same way as a reply would, so once it is back, a reply
    // sent before it is back too.
    net().Timer1Timer();
    Log expected{"NorvaHB"};
    if (*c.reply)
        expected.push_back(c.reply);
    expected.push_back("NorvaHB");
    ASSERT_TRUE(waitOnWire(expected.size()));
    EXPECT_EQ(wire, expected);
    EXPECT_TRUE(f.power.calls.empty()) << "power actions come through the command port alone";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceDatagram,
    testing::Values(
        DatagramCase{"Ack",
                     "NorvaACK",
                     {"counters 1 1 0 0", "icon 1", "tray 0 hint Norva is responding", "status OK"},
                     ""},
        DatagramCase{"Nak", "NorvaNAK", {"counters 1 1 0 0", "counters 1 1 1 0"}, ""},
        DatagramCase{"OtherText", "norvaack", {"counters 1 1 0 0"}, ""},
        DatagramCase{
            "Shutdown", "NorvaShutdown", {"counters 1 1 0 0", "caption Shutdown"}, "shutdownACK"},
        DatagramCase{
            "Restart", "NorvaRestart", {"counters 1 1 0 0", "caption Restart"}, "restartACK"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Start, Stop and resume, by the page's mode ------------------------------------------

enum class Action { Start, Stop, Resume };

struct ControlCase {
    const char* name;
    const char* stored; // more settings
    char mode;          // 'n' network, 'u' USB, '0' none
    bool fieldsFilled;
    bool tray;
    Action action;
    Log shown;
    const char* isStarted; // afterwards
    char running;          // which heartbeat ticks afterwards: 'n', 'u' or '-'
};

void PrintTo(const ControlCase& c, std::ostream* os) {
    *os << c.name;
}

class Control : public NetworkCore, public testing::WithParamInterface<ControlCase> {
protected:
    Control() : NetworkCore(GetParam().stored) {}
};

TEST_P(Control, FollowsThePagesModeAndRemembersTheChoice) {
    const ControlCase& c = GetParam();
    f.pages.none = c.mode == '0';
    f.pages.network = c.mode == 'n';
    f.pages.usb = c.mode == 'u';
    f.pages.fieldsFilled = c.fieldsFilled;
    f.pages.tray = c.tray;
    switch (c.action) {
    case Action::Start:
        f.agent->startHeartbeat();
        break;
    case Action::Stop:
        f.agent->network.Start(); // running, as the user started it
        f.log.take();
        f.agent->stopHeartbeat();
        break;
    case Action::Resume:
        f.agent->control.ResumeHeartbeat();
        break;
    }
    EXPECT_EQ(f.log.take(), c.shown);
    EXPECT_EQ(f.setting("Run", "IsStarted"), c.isStarted);
    EXPECT_EQ(net().Timer1.isActive(), c.running == 'n');
    EXPECT_EQ(net().Timer2.isActive(), c.running == 'n');
    EXPECT_EQ(f.agent->serial.comFreq.isActive(), c.running == 'u');
}

const Log kCleared{"counters 0 0 0 0", "usb counters 0 0 0"};
const Log kNetStarted{"counters 1 0 0 0", "icon 1", "status OK"};

Log operator+(Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Control,
    testing::Values(ControlCase{"StartNetwork", "", 'n', true, true, Action::Start,
                                kCleared + kNetStarted + Log{"status OK"}, "1", 'n'},
                    ControlCase{"StartWithNoMode", "", '0', true, true, Action::Start, kCleared,
                                "<missing>", '-'},
                    ControlCase{"StartWithAFieldEmpty", "", 'n', false, true, Action::Start,
                                kCleared, "1", '-'},
                    // The page's mode rules, not the stored one (Network=1): the USB heartbeat
                    // starts and counts its sends, though no port is open to take them.
                    ControlCase{"StartUsbWithoutPort", "", 'u', true, true, Action::Start,
                                kCleared +
                                    Log{"usb counters 1 0 0", "icon 1", "status OK", "status OK"},
                                "1", 'u'},
                    ControlCase{"StopWithStatusInTray",
                                "",
                                'n',
                                true,
                                true,
                                Action::Stop,
                                {"icon 2", "status Stopped", "tray 3 Heartbeat is not running"},
                                "0",
                                '-'},
                    ControlCase{"StopWithoutStatusInTray",
                                "",
                                'n',
                                true,
                                false,
                                Action::Stop,
                                {"icon 2", "status Stopped", "tray 2 Norva utility"},
                                "0",
                                '-'},
                    ControlCase{"ResumeStartedNetwork", "[Run]\nIsStarted=1\n", 'n', true, true,
                                Action::Resume, kNetStarted, "1", 'n'},
                    ControlCase{"ResumeStartedUsbWithoutOpenPort",
                                "[Run]\nIsStarted=1\n",
                                'u',
                                true,
                                true,
                                Action::Resume,
                                {},
                                "1",
                                '-'},
                    ControlCase{"ResumeStopped",
                                "[Run]\nIsStarted=0\n",
                                'n',
                                true,
                                false,
                                Action::Resume,
                                {"icon 2", "status Stopped", "tray 2 Norva utility",
                                 "tray 3 Heartbeat is not running"},
                                "0",
                                '-'}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- The serial heartbeat ------------------------------------------------------------------

// The agent with COM7 pinned to a pseudo-terminal on which the test plays the device.
class SerialCore : public testing::Test {
protected:
    SerialCore() : f("[Setup]\nUSB=1\nComPort=COM7\ncomFreq=1\ncomFail=2\n") {
        f.pages.none = false;
        f.pages.usb = true;
        f.pages.tray = true;
        std::filesystem::create_directories(f.dir / "NorvaHB-ports");
        std::filesystem::create_symlink(pty.slavePath(), f.dir / "NorvaHB-ports" / "COM7");
        f.agent->control.OpenStoredPort();
    }

    norva::SerialMonitor& ser() { return f.agent->serial; }

    // The device writes; served until the monitor has counted the answer.
    void answer(const std::string& bytes) {
        const auto before = ser().comrcvdCount;
        pty.write(bytes);
        ASSERT_TRUE(f.serveUntil([&] { return ser().comrcvdCount > before; })) << bytes;
    }

    norva::test::PseudoTerminal pty; // outlives the agent, whose port has it open
    AgentFixture f;
};

TEST_F(SerialCore, HeartbeatAnswerMissesFailureAlertAndRecovery) {
    ASSERT_TRUE(f.agent->myPort.Open());
    f.agent->startHeartbeat();
    EXPECT_EQ(f.log.take(), (Log{"counters 0 0 0 0", "usb counters 0 0 0", "usb counters 1 0 0",
                                 "icon 1", "status OK", "status OK"}));
    EXPECT_EQ(pty.read(7), "NorvaHB");

    // An answer while all is well is counted; the display stays as it is.
    answer("NorvaACK");
    EXPECT_FALSE(ser().comResp.isActive());
    EXPECT_EQ(f.log.take(), Log{"usb counters 1 1 0"});

    ser().comFreqTimer();
    ser().comRespTimer();
    ser().comFreqTimer();
    ser().comRespTimer();
    EXPECT_EQ(f.log.take(), (Log{"usb counters 2 1 0", "usb counters 2 1 1", "usb counters 3 1 1",
                                 "usb counters 3 1 2", "icon 0", "status Fail",
                                 "tray 1 hint Norva is not responding", kUsbAlert}));
    EXPECT_EQ(pty.read(14), "NorvaHBNorvaHB");

    // Any eight bytes end the failure; only the exact answer ends the wait.
    ser().comFreqTimer();
    answer("ABCDEFGH");
    EXPECT_TRUE(ser().comResp.isActive());
    EXPECT_EQ(f.log.take(), (Log{"usb counters 4 1 2", "usb counters 4 2 2", "icon 1",
                                 "tray 0 hint Norva is responding", "status OK"}));
    EXPECT_FALSE(f.agent->status.failed);
    EXPECT_TRUE(f.boxes.errors.empty());
}

// ---- Waiting for a serial port that is missing or went away ------------------------------

// What the service does with a serial port that is not there, driven by hand: the agent is
// told that the port is awaited (`awaited`) and that the stored one was missing (`missing`),
// and the test opens the port when it plays the device coming back.
class SerialWait : public testing::Test {
protected:
    explicit SerialWait(const std::string& started = "1")
        : f("[Setup]\nUSB=1\nComPort=COM7\ncomFreq=1\ncomFail=2\n[Run]\nIsStarted=" + started +
            "\n") {
        f.pages.none = false;
        f.pages.usb = true;
        f.pages.tray = true;
        f.agent->control.storedPortMissing = [this](std::uint16_t n, const std::string& why) {
            missing.push_back(n);
            reasons.push_back(why);
        };
        f.agent->control.serialPortAwaited = [this] { return awaited; };
    }

    // The device (back) behind COM7.
    void plugIn() {
        pty = std::make_unique<norva::test::PseudoTerminal>();
        const auto pins = f.dir / "NorvaHB-ports";
        std::filesystem::create_directories(pins);
        std::filesystem::remove(pins / "COM7");
        std::filesystem::create_symlink(pty->slavePath(), pins / "COM7");
    }

    // What the service does when the awaited port is there: it stops waiting, opens the port,
    // and lets a waiting start run.
    void portBack() {
        awaited = false;
        f.agent->myPort.setComNumber(7);
        f.agent->myPort.setOpen(true);
        f.agent->control.SerialPortBack();
    }

    bool running() { return f.agent->serial.comFreq.isActive(); }

    std::unique_ptr<norva::test::PseudoTerminal> pty; // outlives the agent's port
    AgentFixture f;
    std::vector<std::uint16_t> missing;
    std::vector<std::string> reasons;
    bool awaited = false;
};

const Log kStoppedShown{"icon 2", "status Stopped", "tray 3 Heartbeat is not running"};
const Log kUsbStarted{"usb counters 1 0 0", "icon 1", "status OK"};

TEST_F(SerialWait, AMissingStoredPortIsAwaitedWithoutABoxAndItsHeartbeatRunsOnceItIsBack) {
    f.agent->control.OpenStoredPort();
    EXPECT_EQ(missing, std::vector<std::uint16_t>{7});
    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_EQ(f.log.take(), Log{});

    awaited = true;
    f.agent->control.ResumeHeartbeat();
    EXPECT_TRUE(f.agent->control.serialStartWaiting());
    EXPECT_FALSE(running());
    EXPECT_EQ(f.log.take(), kStoppedShown);

    plugIn();
    portBack();
    EXPECT_FALSE(f.agent->control.serialStartWaiting());
    EXPECT_TRUE(running());
    EXPECT_EQ(f.log.take(), kUsbStarted);
    EXPECT_EQ(pty->read(7), "NorvaHB");
}

// A device that is there but will not open (here a character device that is no terminal):
// the error as the box tells it, then the same wait, and the start-up goes on past it.
TEST_F(SerialWait, AStoredPortThatWillNotOpenIsToldAndAwaitedWithoutEndingTheStartUp) {
    const auto pins = f.dir / "NorvaHB-ports";
    std::filesystem::create_directories(pins);
    std::filesystem::create_symlink("/dev/null", pins / "COM7");
    ASSERT_NO_THROW(f.agent->control.OpenStoredPort());
    EXPECT_EQ(missing, std::vector<std::uint16_t>{7});
    EXPECT_EQ(reasons, std::vector<std::string>{"cannot be opened"});
    ASSERT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_FALSE(f.agent->myPort.Open());

    awaited = true;
    f.agent->control.ResumeHeartbeat();
    EXPECT_TRUE(f.agent->control.serialStartWaiting());
    EXPECT_FALSE(running());
}

TEST_F(SerialWait, StartAndStopWhileThePortIsAwaited) {
    awaited = true;
    f.agent->startHeartbeat(); // the start waits; "IsStarted" is written as always
    EXPECT_TRUE(f.agent->control.serialStartWaiting());
    EXPECT_FALSE(running());
    EXPECT_EQ(f.setting("Run", "IsStarted"), "1");

    f.agent->stopHeartbeat(); // a stop ends the waiting start
    EXPECT_FALSE(f.agent->control.serialStartWaiting());
    f.log.take();
    plugIn();
    portBack();
    EXPECT_FALSE(running());
    EXPECT_EQ(f.log.take(), Log{});
}

// Unplugged while the heartbeat runs: announced, and once the port is closed and awaited the
// heartbeat stops and waits for it; back, it runs again.
TEST_F(SerialWait, APortLostWhileRunningIsAnnouncedAndItsHeartbeatWaitsForIt) {
    plugIn();
    f.agent->control.OpenStoredPort();
    f.agent->control.ResumeHeartbeat();
    ASSERT_TRUE(running());
    EXPECT_EQ(pty->read(7), "NorvaHB");
    f.agent->serial.comFreqTimer(); // a heartbeat whose answer is awaited
    ASSERT_TRUE(f.agent->serial.comResp.isActive());
    QObject::connect(&f.agent->serial, &norva::SerialMonitor::portLost, [this] {
        f.agent->myPort.setOpen(false);
        awaited = true;
        f.agent->control.SerialPortLost();
    });
    f.log.take();

    pty->closeMaster();
    ASSERT_TRUE(f.serveUntil([&] { return !f.agent->myPort.Open(); }));
    EXPECT_EQ(f.log.take(), Log{"usb port lost"} + kStoppedShown);
    EXPECT_TRUE(f.agent->control.serialStartWaiting());
    EXPECT_FALSE(running());
    EXPECT_FALSE(f.agent->serial.comResp.isActive()); // no miss for a device that is not there

    plugIn();
    portBack();
    EXPECT_TRUE(running());
    EXPECT_EQ(pty->read(7), "NorvaHB");
}

class SerialWaitStopped : public SerialWait {
protected:
    SerialWaitStopped() : SerialWait("0") {}
};

TEST_F(SerialWaitStopped, APortLostWhileStoppedLeavesTheHeartbeatStopped) {
    awaited = true;
    f.agent->control.SerialPortLost();
    EXPECT_FALSE(f.agent->control.serialStartWaiting());
    EXPECT_EQ(f.log.take(), Log{});
    plugIn();
    portBack();
    EXPECT_FALSE(running());
    EXPECT_EQ(f.log.take(), Log{});
}

} // namespace
