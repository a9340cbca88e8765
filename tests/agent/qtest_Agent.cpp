// The agent as one whole: its waker brings worker threads' calls to the event loop, Stop ends
// everything in an order that cannot deadlock and lets nothing late through, and the settings
// verb stores a map of values all together or not at all.
#include "commands/CommandPacket.h"
#include "platform/FileOps.h"
#include "settings/SettingsFile.h"
#include "support/AgentFixture.h"
#include "support/FreePort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using norva::test::AgentFixture;
using namespace std::chrono_literals;

namespace {

// Runs the Qt event loop (not the queue's test helper) until `done` or the limit.
bool runEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// A restart with the default credentials, as the device sends it.
std::string restartPacket() {
    std::string p(norva::kCommandPacketSize, '\0');
    p[0] = static_cast<char>(norva::eCmnd_get);
    p.replace(1, 5, "Ostra");
    p.replace(22, 5, "ferno");
    p[43] = 1;
    return p;
}

// A device connection on loopback that has sent `message`.
class DeviceConnection {
public:
    DeviceConnection(std::uint16_t port, const std::string& message) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (connected)
            ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL);
    }
    ~DeviceConnection() { ::close(fd_); }
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    // Everything the PC sent until it closed the connection (or the limit).
    std::string readToClose(std::chrono::milliseconds limit = 5s) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[64];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    bool connected = false;
    bool closed = false;

private:
    int fd_ = -1;
};

// Calls from worker threads run on the agent's thread, woken through the event loop alone: no
// test helper serves the queue here. Many calls close together all run, each thread's in order.
TEST(AgentWaker, WorkerCallsRunOnTheAgentsThreadThroughTheEventLoop) {
    AgentFixture f;
    QThread* const home = QThread::currentThread();
    constexpr int kThreads = 4;
    constexpr int kCalls = 50;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> offHome{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i)
                f.agent->queue.call([&, t, i] {
                    if (QThread::currentThread() != home)
                        ++offHome;
                    seen[static_cast<std::size_t>(t)].push_back(i);
                });
            ++finished;
        });
    const bool done = runEventLoopUntil([&] { return finished == kThreads; });
    if (!done)
        f.agent->queue.close(); // releases the workers, so the test fails instead of hanging
    for (auto& w : workers)
        w.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(offHome, 0);
    for (int t = 0; t < kThreads; ++t) {
        std::vector<int> expected(kCalls);
        for (int i = 0; i < kCalls; ++i)
            expected[static_cast<std::size_t>(i)] = i;
        EXPECT_EQ(seen[static_cast<std::size_t>(t)], expected) << "thread " << t;
    }
}

// A command whose connection waits for the agent's thread when Stop comes: Stop releases it
// (the queue closes before the listener joins its connection threads), the device gets no
// acknowledgement, and none of the command's steps runs afterwards.
TEST(AgentStop, ReleasesAConnectionWaitingForTheAgentAndRunsNoneOfItsSteps) {
    AgentFixture f("[GSD]\nUsername=Ostra\nPassword=ferno\n");
    f.pagesFromFile();
    // Tells when a worker has queued its call; nothing serves the queue in this test.
    std::atomic<int> wakes{0};
    f.agent->queue.setWaker([&] { ++wakes; });

    DeviceConnection device(f.agent->theServer.Port(), restartPacket());
    ASSERT_TRUE(device.connected);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (wakes == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_GT(wakes, 0) << "the connection never handed its step over";

    f.agent->Stop();
    EXPECT_TRUE(f.agent->stopped());
    EXPECT_FALSE(f.agent->theServer.Active());
    EXPECT_EQ(device.readToClose(), "") << "no acknowledgement once stopped";
    EXPECT_TRUE(device.closed);
    QCoreApplication::processEvents();
    EXPECT_TRUE(f.power.calls.empty());
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "<missing>");
    EXPECT_EQ(f.log.count("label4 "), 0u);
    EXPECT_EQ(f.log.count("memo "), 0u);
}

// A command step handed over while the network heartbeat starts waits until the start has
// returned: the start deactivates the endpoint, and while it waits for the receive threads
// it runs the endpoint's own deliveries only.
TEST(AgentHandOver, CommandStepWaitsUntilAHeartbeatStartHasReturned) {
    AgentFixture f("[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" +
                   std::to_string(norva::test::FreePort()) + "\n");
    f.pagesFromFile();
    f.startUp(); // the fixture's timers are an hour long: only the starts send

    // The test plays the event loop: it counts what is handed over and serves it itself.
    std::atomic<int> handedOver{0};
    f.agent->queue.setWaker([&] { ++handedOver; });
    auto waitForHandedOver = [&](int n) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (handedOver < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return handedOver >= n;
    };
    std::vector<std::string> order;
    f.agent->UDPServer.OnUDPRead =
        [&, read = f.agent->UDPServer.OnUDPRead](std::thread::id thread,
                                                 const std::vector<std::uint8_t>& data,
                                                 const norva::UdpBinding& binding) {
            order.push_back("datagram");
            read(thread, data, binding);
        };
    f.agent->protocol.restartStored = [&, stored = f.agent->protocol.restartStored] {
        order.push_back("SourceIP stored");
        stored();
    };

    // The first start binds the endpoint; its heartbeat comes back to it on loopback and
    // waits for its delivery. Then the device's restart waits for its first step.
    f.agent->network.Start();
    ASSERT_TRUE(waitForHandedOver(1));
    std::string reply;
    std::thread device([&, port = f.agent->theServer.Port()] {
        DeviceConnection connection(port, restartPacket());
        reply = connection.readToClose();
    });
    ASSERT_TRUE(waitForHandedOver(2));

    f.agent->network.Start(); // deactivates the endpoint first
    order.push_back("Start returned");
    EXPECT_EQ(order, (std::vector<std::string>{"datagram", "Start returned"}));
    EXPECT_FALSE(f.log.contains("memo Recived eCmnd_get"))
        << "the command's first step ran inside the start";
    EXPECT_TRUE(f.power.calls.empty());

    // The event loop's turn: the command goes its whole way.
    EXPECT_TRUE(f.serveUntil([&] { return !f.power.calls.empty(); }));
    device.join();
    EXPECT_EQ(reply, std::string(1, '\x01'));
    EXPECT_EQ(f.power.calls, std::vector<std::string>{"reboot"});
    EXPECT_TRUE(f.log.contains("memo Recived eCmnd_get"));
    EXPECT_NE(std::find(order.begin(), order.end(), "SourceIP stored"), order.end());
}

// Stop ends the transports and every timer, once, and the settings stay open for the caller to
// close after it, so no late event finds them closed.
TEST(AgentStop, EndsTransportsAndTimersOnceAndLeavesTheSettingsToItsCaller) {
    const auto port = norva::test::FreePort();
    AgentFixture f("[Run]\nIsStarted=1\n[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" +
                   std::to_string(port) + "\nFreq=1\nFailCount=3\n");
    f.pagesFromFile();
    ASSERT_TRUE(f.startUp());
    f.agent->pending.ShowPending(0);
    ASSERT_TRUE(f.agent->network.Timer1.isActive());
    ASSERT_TRUE(f.agent->network.Timer2.isActive());
    ASSERT_TRUE(f.agent->UDPServer.Active());
    ASSERT_TRUE(f.agent->theServer.Active());

    f.agent->Stop();
    const std::vector<std::pair<const char*, QTimer*>> timers{
        {"Timer1", &f.agent->network.Timer1},  {"Timer2", &f.agent->network.Timer2},
        {"comFreq", &f.agent->serial.comFreq}, {"comResp", &f.agent->serial.comResp},
        {"warning", &f.agent->pending.Timer1}, {"sweep", &f.agent->protocol.sweepTimer}};
    for (const auto& [name, timer] : timers)
        EXPECT_FALSE(timer->isActive()) << name;
    EXPECT_FALSE(f.agent->UDPServer.Active());
    EXPECT_FALSE(f.agent->theServer.Active());
    EXPECT_FALSE(f.agent->myPort.Open());
    EXPECT_TRUE(f.agent->MyIni.isOpen());
    bool refused = false;
    std::thread([&] { refused = !f.agent->queue.call([] {}); }).join();
    EXPECT_TRUE(refused) << "the queue refuses a worker's call once stopped";

    f.agent->Stop(); // a second Stop (the destructor's too) does nothing more
    EXPECT_TRUE(f.agent->stopped());
}

// Listen on an open settings file reads the command port's guards first, so the first
// connection already meets them; on a file opened later, ReadCommandSettings does.
TEST(AgentListen, ReadsTheGuardsFromAnOpenFileBeforeTheFirstConnection) {
    norva::test::TempDir dir;
    dir.write("NorvaHB", "[GSD]\nAcceptFrom=10.0.0.0/40\n");
    norva::test::FakePageValues pages;
    norva::test::ScriptedMessageBoxes boxes;
    norva::test::RecordingPowerBackend power;
    const std::string ignored = "Command port: AcceptFrom: \"10.0.0.0/40\" is ignored";
    for (const bool openFirst : {true, false}) {
        SCOPED_TRACE(openFirst ? "file open before Listen" : "file opened after Listen");
        norva::test::AnnouncementLog log; // outlives the agent it listens to
        norva::Agent agent(dir.path(), 0, pages, boxes, power);
        agent.addListener(log);
        if (openFirst)
            agent.MyIni.open(dir.path());
        agent.Listen();
        auto warned = [&] {
            for (const std::string& e : log.entries())
                if (e.rfind("memo " + ignored, 0) == 0)
                    return true;
            return false;
        };
        EXPECT_EQ(warned(), openFirst);
        if (!openFirst) {
            agent.MyIni.open(dir.path());
            agent.ReadCommandSettings();
            EXPECT_TRUE(warned());
        }
        agent.Stop();
        agent.MyIni.close();
    }
}

// What the settings verb stores: the values are checked as a whole, a bad one is refused with a
// line that names the key and what it takes, and then nothing at all is stored; good ones are
// stored in one replacement of the file, and only heartbeat-page keys stop and restart the
// heartbeat.
using Values = norva::SettingsValues;

constexpr const char* kStored = "[Setup]\nNetwork=1\nUSB=0\nIPAddr=10.0.0.2\nPort=9100\n"
                                "Freq=5\nFailCount=3\nComPort=None\n"
                                "[GSD]\nUsername=Ostra\nPassword=s3cret\nAlertPedningAction=0\n";

class AgentApplySettings : public testing::Test {
protected:
    AgentFixture f{kStored};

    std::string file() const { return f.dir.read("NorvaHB"); }
};

constexpr const char* kPasswordRule =
    "GSD/Password: 1 to 21 bytes, with no blank or quote at either end";

TEST_F(AgentApplySettings, ABadValueIsNamedAndNothingIsStored) {
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
        // A password the file could not give back as sent, or none at all.
        {{{"GSD/Password", ""}}, kPasswordRule},
        {{{"GSD/Password", " pw"}}, kPasswordRule},
        {{{"GSD/Password", "pw "}}, kPasswordRule},
        {{{"GSD/Password", "\"pw\""}}, kPasswordRule},
        {{{"GSD/Password", "'pw'"}}, kPasswordRule},
        {{{"GSD/Password", "pw\""}}, kPasswordRule},
        {{{"GSD/Password", std::string(22, 'x').c_str()}}, kPasswordRule},
        {{{"Setup/LockoutFailures", "1"}},
         "Setup/LockoutFailures is not a setting of the two pages"},
        // One bad value among good ones: the good ones are not stored either.
        {{{"Setup/Freq", "7"}, {"GSD/Password", "new"}, {"Setup/USB", "yes"}},
         "Setup/USB: \"0\" or \"1\""},
    };
    const std::string before = file();
    for (const Case& c : cases) {
        EXPECT_EQ(f.agent->applySettings(c.values).toStdString(), c.error);
        EXPECT_EQ(file(), before) << c.error;
    }
}

// The longest password a packet carries, and blanks and quotes inside it, are stored as sent.
TEST_F(AgentApplySettings, APasswordIsStoredAsSent) {
    for (const std::string& password :
         {std::string(21, 'x'), std::string("a b\"c'd"), std::string("1")}) {
        EXPECT_EQ(f.agent->applySettings({{"GSD/Password", QString::fromStdString(password)}}),
                  QString());
        EXPECT_EQ(f.setting("GSD", "Password"), password);
    }
}

TEST_F(AgentApplySettings, GoodValuesAreStoredAndAbsentOnesKept) {
    // Keys match whatever their case, as the file's do.
    const Values values{{"setup/freq", "7"},
                        {"GSD/Password", "new"},
                        {"GSD/AlertPedningAction", "1"},
                        {"Setup/ComPort", "COM3"},
                        {"Setup/IPAddr", "192.168.1.10"}};
    EXPECT_EQ(f.agent->applySettings(values), QString());
    EXPECT_EQ(f.setting("Setup", "Freq"), "7");
    EXPECT_EQ(f.setting("GSD", "Password"), "new");
    EXPECT_EQ(f.setting("GSD", "AlertPedningAction"), "1");
    EXPECT_EQ(f.setting("Setup", "ComPort"), "COM3");
    EXPECT_EQ(f.setting("Setup", "IPAddr"), "192.168.1.10");
    EXPECT_EQ(f.setting("Setup", "Port"), "9100") << "an absent key keeps its value";
    EXPECT_EQ(f.setting("GSD", "Username"), "Ostra");
}

// A heartbeat the user started (Run/IsStarted set), running over USB, with the status in the
// tray: what an Apply must keep or restart.
constexpr const char* kRunning = "[Setup]\nNetwork=0\nUSB=1\nComPort=None\nFreq=5\n"
                                 "[Run]\nIsStarted=1\n"
                                 "[GSD]\nUsername=Ostra\nPassword=s3cret\nAlertPedningAction=0\n";

class AgentApplyRestart : public testing::Test {
protected:
    AgentApplyRestart() {
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

    AgentFixture f{kRunning};
};

// As on the desktop, where only the heartbeat page's Apply stops and restarts the heartbeat:
// the shutdown page's keys change nothing the heartbeat shows (no stop, no extra heartbeat, no
// tray turned to "responding" over a failure); one heartbeat key brings the whole bracket.
TEST_F(AgentApplyRestart, OnlyHeartbeatKeysStopAndRestartTheHeartbeat) {
    const Values shutdownPage{
        {"GSD/username", "admin"}, {"GSD/Password", "new"}, {"GSD/AlertPedningAction", "1"}};
    ASSERT_EQ(f.agent->applySettings(shutdownPage), QString());
    EXPECT_EQ(f.log.take(), std::vector<std::string>{});
    EXPECT_TRUE(running());
    EXPECT_EQ(f.setting("GSD", "Username"), "admin");

    Values both = shutdownPage;
    both.insert("Setup/Freq", "7");
    ASSERT_EQ(f.agent->applySettings(both), QString());
    const auto entries = f.log.take();
    EXPECT_TRUE(logged(entries, "icon 2")) << "not stopped";
    EXPECT_TRUE(logged(entries, "tray 0 Norva is responding"));
    EXPECT_TRUE(logged(entries, "usb counters 2 ")) << "not started again";
    EXPECT_TRUE(running());
}

// Counts the replacements of the settings file; the one numbered `failAt` (from 1) fails as a
// full disk would.
class CountingOps : public norva::FileOps {
public:
    int renames = 0;
    int failAt = 0;
    int rename(const char* from, const char* to) override {
        if (++renames == failAt) {
            errno = ENOSPC;
            return -1;
        }
        return norva::FileOps::rename(from, to);
    }
};

// One call is one replacement of the file: a refusal leaves every old value (never a new user
// name beside the old password), the caller hears of it, and the heartbeat the bracket stopped
// runs again.
TEST_F(AgentApplyRestart, AllValuesOfOneCallAreStoredTogetherOrNone) {
    CountingOps ops;
    f.agent->MyIni.open(f.dir.path(), &ops);
    const Values values{{"GSD/username", "admin"}, {"GSD/Password", "new"}, {"Setup/Freq", "7"}};

    ops.failAt = 1;
    const std::string before = f.dir.read("NorvaHB");
    EXPECT_THROW(f.agent->applySettings(values), norva::SettingsWriteError);
    EXPECT_EQ(f.dir.read("NorvaHB"), before);
    EXPECT_TRUE(running()) << "the failed Apply left the heartbeat stopped";
    const auto entries = f.log.take();
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(logged(entries, "usb counters 2 ")) << "not started again";

    ops.failAt = 0;
    ops.renames = 0;
    ASSERT_EQ(f.agent->applySettings(values), QString());
    EXPECT_EQ(ops.renames, 1);
    EXPECT_EQ(f.setting("GSD", "Username"), "admin");
    EXPECT_EQ(f.setting("GSD", "Password"), "new");
    EXPECT_EQ(f.setting("Setup", "Freq"), "7");
}

} // namespace
