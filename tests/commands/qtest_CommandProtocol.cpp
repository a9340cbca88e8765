// The command port end to end: a device on a thread of its own talks to the listener of a
// real agent over loopback, while the test thread serves the steps that run on the
// user-interface thread. No window: what one would draw (caption, Label4, Memo1, the warning)
// is judged by the agent's announcements; the warning window's own drawing is tested in
// tests/ui.
#include "commands/AddressGroup.h"
#include "commands/CommandPacket.h"
#include "commands/PendingAction.h"
#include "settings/SettingsHandle.h"
#include "support/AgentFixture.h"
#include "support/FakePageValues.h"
#include "support/TempDir.h"
#include "transport/CommandConnection.h"
#include "transport/HandOverQueue.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

using norva::test::AgentFixture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The 47-byte record: type, user name, password, command and three bytes nobody reads (set
// to junk here, so that reading them would show). Credentials longer than their field are
// cut, as the device would have to.
std::string Packet(std::uint8_t type, const std::string& user, const std::string& pass,
                   std::uint8_t command) {
    std::string p(norva::kCommandPacketSize, '\0');
    p[0] = static_cast<char>(type);
    p.replace(1, std::min<std::size_t>(user.size(), 21), user.substr(0, 21));
    p.replace(22, std::min<std::size_t>(pass.size(), 21), pass.substr(0, 21));
    p[43] = static_cast<char>(command);
    p[44] = p[45] = p[46] = '\x55';
    return p;
}

std::string Restart(const std::string& user, const std::string& pass) {
    return Packet(norva::eCmnd_get, user, pass, 1);
}

// One message to send and how many reply bytes to wait for before the next one.
struct Step {
    std::string message;
    std::size_t replyBytes = 0;
};

// What the device saw.
struct Session {
    bool connected = false;
    std::vector<Bytes> replies; // per step
    Bytes trailing;             // received after the last step's reply, until the close
    bool closed = false;
    std::chrono::milliseconds quietUntilClose{}; // from the last send (or the connect)
};

// The Norva device: connects, sends each message right after the previous reply has
// arrived (well within the listener's 100 ms read cycle) and then waits for the PC to close.
class Device {
public:
    // `v6`: over the IPv6 loopback ::1, else over 127.0.0.1.
    Device(std::uint16_t port, std::vector<Step> steps, bool v6 = false)
        : steps_(std::move(steps)) {
        thread_ = std::thread([this, port, v6] { run(port, v6); });
    }
    ~Device() {
        if (thread_.joinable())
            thread_.join();
    }

    bool done() const { return done_; }

    // Blocks until the device has got `count` bytes of replies in total, or the limit.
    bool waitForReplyBytes(std::size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return received_ >= count; });
    }

    Session finish() {
        thread_.join();
        return session_;
    }

private:
    void run(std::uint16_t port, bool v6) {
        const int s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 a6{};
        a6.sin6_family = AF_INET6;
        a6.sin6_port = htons(port);
        a6.sin6_addr = in6addr_loopback;
        session_.connected = v6 ? ::connect(s, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0
                                : ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        auto last = Clock::now();
        if (session_.connected) {
            for (const Step& step : steps_) {
                ::send(s, step.message.data(), step.message.size(), MSG_NOSIGNAL);
                last = Clock::now();
                Bytes reply;
                receive(s, reply, step.replyBytes, Clock::now() + 3s);
                session_.replies.push_back(reply);
            }
            receive(s, session_.trailing, SIZE_MAX, Clock::now() + 3s);
            session_.quietUntilClose =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last);
        }
        ::close(s);
        done_ = true;
    }

    // Reads until `want` bytes are in, the peer closes, or the deadline.
    void receive(int s, Bytes& into, std::size_t want, Clock::time_point deadline) {
        while (into.size() < want && !session_.closed) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return;
            pollfd p{s, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            std::uint8_t buf[256];
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0) {
                session_.closed = true;
                return;
            }
            into.insert(into.end(), buf, buf + n);
            {
                std::lock_guard lock(mutex_);
                received_ += static_cast<std::size_t>(n);
            }
            changed_.notify_all();
        }
    }

    std::vector<Step> steps_;
    Session session_;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t received_ = 0;
    std::thread thread_;
};

const Bytes kHelloReply{0x00, 0x00};
const Bytes kAck{0x01};

// Label4 as a window would show it: the text last announced, "" while none was.
std::string label4Of(const norva::test::AnnouncementLog& log) {
    const std::string last = log.last("label4 ");
    return last.empty() ? "" : last.substr(7);
}

// The caption as a window would show it: the text last announced, "" while none was.
std::string captionOf(const norva::test::AnnouncementLog& log) {
    const std::string last = log.last("caption ");
    return last.empty() ? "" : last.substr(8);
}

// The Memo1 lines announced so far, one a line.
std::string memoOf(const norva::test::AnnouncementLog& log) {
    std::string text;
    for (const std::string& e : log.entries())
        if (e.rfind("memo ", 0) == 0)
            text += e.substr(5) + "\n";
    return text;
}

// A started agent whose stored shutdown settings differ from what each test puts on the page,
// so that only the page's current texts can make a packet pass.
class CommandPort : public testing::Test {
protected:
    CommandPort() : f("[GSD]\nUsername=stored\nPassword=storedpw\nAlertPedningAction=1\n") {
        f.pagesFromFile();
        f.startUp();
        page("Ostra", "ferno", false);
        caption = captionOf(f.log);
    }

    // Shown on the shutdown page, not applied.
    void page(const QString& user, const QString& pass, bool alert) {
        f.pages.user = user;
        f.pages.pass = pass;
        f.pages.alert = alert;
    }

    // Runs a device session to its end, serving the user-interface steps meanwhile.
    Session talk(std::vector<Step> steps, bool v6 = false) {
        Device device(f.agent->theServer.Port(), std::move(steps), v6);
        EXPECT_TRUE(f.serveUntil([&] { return device.done(); }, 10000ms));
        return device.finish();
    }

    std::string label4() const { return label4Of(f.log); }
    bool memoHasCommandLine() const { return f.log.contains("memo Recived eCmnd_get"); }
    std::string title() const { return captionOf(f.log); }
    bool warningOnScreen() const { return f.agent->pending.onScreen(); }

    AgentFixture f;
    std::string caption;
};

TEST_F(CommandPort, SilentDeviceIsDisconnectedAfterOneReadCycle) {
    const Session s = talk({});
    ASSERT_TRUE(s.connected);
    EXPECT_TRUE(s.closed);
    EXPECT_TRUE(s.trailing.empty());
    EXPECT_GE(s.quietUntilClose, 90ms);
    EXPECT_LT(s.quietUntilClose, 2000ms);

    // Its end leaves the listener serving others.
    const Session next = talk({{"hello-000", 2}});
    EXPECT_EQ(next.replies.at(0), kHelloReply);
}

// ---- Hellos ---------------------------------------------------------------------------------

struct HelloCase {
    const char* name;
    std::string message;
    bool answered;
};

void PrintTo(const HelloCase& c, std::ostream* os) {
    *os << c.name;
}

class Hello : public CommandPort, public testing::WithParamInterface<HelloCase> {};

TEST_P(Hello, OnlyTheExactTextUpToAZeroByteIsAnswered) {
    const HelloCase& c = GetParam();
    // Credentials and warning set so that a command, if one were carried out, would restart.
    const Session s = talk({{c.message, c.answered ? 2u : 0u}});
    ASSERT_TRUE(s.connected);
    EXPECT_EQ(s.replies.at(0), c.answered ? kHelloReply : Bytes{});
    EXPECT_TRUE(s.trailing.empty());
    EXPECT_TRUE(s.closed);
    EXPECT_EQ(title(), c.answered ? std::string("Got Hello") : caption);
    // A hello never counts as a command, whatever follows it in the same read cycle.
    EXPECT_TRUE(f.power.calls.empty());
    EXPECT_FALSE(memoHasCommandLine());
    EXPECT_EQ(label4(), "");
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "<missing>");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Hello,
    testing::Values(HelloCase{"Exact", "hello-000", true},
                    HelloCase{"ZeroByteEndsTheText", std::string("hello-000\0junk", 14), true},
                    HelloCase{"LongerText", "hello-0001", false},
                    HelloCase{"ShorterText", "hello-00", false},
                    HelloCase{"OtherDigits", "hello-001", false},
                    HelloCase{"WithCommandUnterminated", "hello-000" + Restart("Ostra", "ferno"),
                              false},
                    HelloCase{"WithCommandAfterZero",
                              std::string("hello-000", 10) + Restart("Ostra", "ferno"), true}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Credentials and ignored packets ---------------------------------------------------------

struct PacketCase {
    const char* name;
    QString pageUser;
    QString pagePass;
    std::string message;
    const char* label4; // "" when it must stay untouched
    bool commandLine;   // "Recived eCmnd_get" in Memo1
    // Counted as a rejection toward the lockout: every packet that does not command, so a
    // right password in a packet of another type or command costs a try like a wrong one.
    bool rejected = true;
};

void PrintTo(const PacketCase& c, std::ostream* os) {
    *os << c.name;
}

class Credentials : public CommandPort, public testing::WithParamInterface<PacketCase> {};

// None of these packets may get a reply or start anything; they differ in what the page
// shows afterwards.
TEST_P(Credentials, AreCheckedAgainstThePageAndNothingIsSent) {
    const PacketCase& c = GetParam();
    page(c.pageUser, c.pagePass, false);
    int rejections = 0;
    QObject::connect(&f.agent->protocol, &norva::CommandProtocol::commandRejected,
                     [&](const QString&) { ++rejections; });
    const Session s = talk({{c.message, 0}});
    ASSERT_TRUE(s.connected);
    EXPECT_EQ(rejections, c.rejected ? 1 : 0);
    EXPECT_TRUE(s.replies.at(0).empty());
    EXPECT_TRUE(s.trailing.empty());
    EXPECT_TRUE(s.closed);
    EXPECT_EQ(label4(), c.label4);
    EXPECT_EQ(memoHasCommandLine(), c.commandLine);
    EXPECT_EQ(title(), caption);
    EXPECT_TRUE(f.power.calls.empty());
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "<missing>");
    EXPECT_FALSE(warningOnScreen());
    EXPECT_EQ(f.log.count("warning shown"), 0u);
}

const std::string k21 = "abcdefghijklmnopqrstu";
const std::string k22 = k21 + "v";
const std::uint8_t kIgnored = 3; // neither restart nor shutdown
// Refused packets carry a command that would act if they got through.
const std::uint8_t kRestart = 1;
const std::uint8_t kShutdown = 2;

INSTANTIATE_TEST_SUITE_P(
    Cases, Credentials,
    testing::Values(
        PacketCase{"AsciiCaseIgnoredInUserName", "Ostra", "ferno",
                   Packet(7, "oSTRA", "ferno", kIgnored), "", true},
        PacketCase{"LatinOneLetterMatchesItself", QString::fromLatin1("Jos\xe9"), "ferno",
                   Packet(7, "JOS\xe9", "ferno", kIgnored), "", true},
        PacketCase{"LatinOneLetterCaseNotFolded", QString::fromLatin1("Jos\xe9"), "ferno",
                   Packet(7, "JOS\xc9", "ferno", kRestart), "Bad Username", false},
        // A character with no 8-bit form cannot have come from the device.
        PacketCase{"UserNameBeyondLatinOneNeverMatches", QString::fromUtf8("\u03a9mega"), "ferno",
                   Packet(7, "?mega", "ferno", kShutdown), "Bad Username", false},
        PacketCase{"PasswordBeyondLatinOneNeverMatches", "Ostra", QString::fromUtf8("\u03a9"),
                   Packet(7, "Ostra", "?", kRestart), "Bad Password", false},
        PacketCase{"PasswordCaseMatters", "Ostra", "ferno", Packet(7, "Ostra", "Ferno", kRestart),
                   "Bad Password", false},
        // The right user name with nothing in the password field.
        PacketCase{"EmptyPasswordRefused", "Ostra", "ferno", Packet(7, "Ostra", "", kRestart),
                   "Bad Password", false},
        // The field ends at its first zero byte: the right password after it is not read.
        PacketCase{"PasswordAfterLeadingZeroRefused", "Ostra", "ferno",
                   Packet(7, "Ostra", std::string("\0ferno", 6), kShutdown), "Bad Password", false},
        PacketCase{"UserNameCheckedFirst", "Ostra", "ferno", Packet(7, "x", "y", kRestart),
                   "Bad Username", false},
        PacketCase{"FullWidthFieldsMatch", QString::fromStdString(k21), QString::fromStdString(k21),
                   Packet(7, k21, k21, kIgnored), "", true},
        PacketCase{"UserNameLongerThanFieldNeverMatches", QString::fromStdString(k22), "ferno",
                   Packet(7, k22, "ferno", kRestart), "Bad Username", false},
        PacketCase{"PasswordLongerThanFieldNeverMatches", "Ostra", QString::fromStdString(k22),
                   Packet(7, "Ostra", k22, kShutdown), "Bad Password", false},
        PacketCase{"EmptyUserNameMatchesLeadingZero", "", "ferno",
                   Packet(7, std::string("\0junk", 5), "ferno", kIgnored), "", true},
        PacketCase{"StoredNameIsNotTheOneCompared", "typed", "storedpw",
                   Packet(7, "stored", "storedpw", kRestart), "Bad Username", false},
        PacketCase{"OtherTypeWrongUserName", "Ostra", "ferno", Packet(6, "nobody", "ferno", 1),
                   "Bad Username", false},
        PacketCase{"OtherTypeRightCredentialsIgnored", "Ostra", "ferno",
                   Packet(6, "Ostra", "ferno", 1), "", false},
        PacketCase{"CommandByteZeroIgnored", "Ostra", "ferno", Packet(7, "Ostra", "ferno", 0), "",
                   true},
        // A capital H is no hello: bytes 1 to 21 are the user name "ello-000".
        // A password that reads as empty is no password: it matches nothing, an empty field
        // included.
        PacketCase{"EmptyPagePasswordMatchesNothing", "Ostra", "", Packet(7, "Ostra", "", kRestart),
                   "Bad Password", false},
        PacketCase{"CapitalHIsAPacket", "ELLO-000", "",
                   [] {
                       std::string m = "Hello-000";
                       m.resize(norva::kCommandPacketSize, '\0');
                       return m;
                   }(),
                   "Bad Password", false},
        PacketCase{"CapitalHWithOtherUserName", "Ostra", "",
                   [] {
                       std::string m = "Hello-000";
                       m.resize(norva::kCommandPacketSize, '\0');
                       return m;
                   }(),
                   "Bad Username", false}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Accepted commands -----------------------------------------------------------------------

struct ActionCase {
    const char* name;
    std::uint8_t command;
    bool alert;
    const char* call;    // on the power backend
    const char* caption; // once the action has been requested
    const char* label4;  // "" when untouched
    bool storesSource;
    const char* logLine; // in Memo1, so on standard error
};

void PrintTo(const ActionCase& c, std::ostream* os) {
    *os << c.name;
}

class Accepted : public CommandPort, public testing::WithParamInterface<ActionCase> {};

// The typical exchange: hello, reply, packet, acknowledgement, close. The stored setting
// for the warning is the opposite of the page's, so the page's unapplied state must rule.
TEST_P(Accepted, AcknowledgesThenStoresThenActs) {
    const ActionCase& c = GetParam();
    page("bob", "pw", c.alert);
    std::atomic<Device*> device{nullptr};

    // Carried out at once, the action must find the device already acknowledged and the
    // address already stored. The device's side is awaited here, on the user-interface
    // thread, so an acknowledgement written only after this step would never arrive.
    bool ackedBeforeAction = false;
    std::string sourceAtAction = "<not called>";
    auto hook = [&](void (norva::PowerActions::*action)()) {
        return [&, action] {
            ackedBeforeAction = device.load()->waitForReplyBytes(3);
            sourceAtAction = f.setting("GracefulRestart", "SourceIP");
            (f.agent->power.*action)();
        };
    };
    f.agent->protocol.doRestart = hook(&norva::PowerActions::doRestart);
    f.agent->protocol.doShutdown = hook(&norva::PowerActions::doShutdown);

    Device d(f.agent->theServer.Port(), {{"hello-000", 2}, {Packet(7, "BOB", "pw", c.command), 1}});
    device = &d;
    ASSERT_TRUE(f.serveUntil([&] { return d.done(); }, 10000ms));
    const Session s = d.finish();

    ASSERT_TRUE(s.connected);
    EXPECT_EQ(s.replies.at(0), kHelloReply);
    EXPECT_EQ(s.replies.at(1), kAck);
    EXPECT_TRUE(s.trailing.empty());
    EXPECT_TRUE(s.closed);
    EXPECT_TRUE(memoHasCommandLine());
    EXPECT_TRUE(f.log.contains(std::string("memo ") + c.logLine)) << memoOf(f.log);
    const std::string source = c.storesSource ? "127.0.0.1" : "<missing>";
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), source);

    norva::PendingAction& p = f.agent->pending;
    if (c.alert) {
        EXPECT_EQ(sourceAtAction, "<not called>");
        EXPECT_TRUE(p.onScreen());
        EXPECT_EQ(f.log.last("warning shown"), "warning shown " + std::to_string(c.command - 1));
        EXPECT_TRUE(p.Timer1.isActive());
        EXPECT_EQ(p.countdown, 10);
        EXPECT_EQ(p.mode, c.command - 1);
        EXPECT_TRUE(f.power.calls.empty());
        EXPECT_EQ(label4(), "");
        EXPECT_EQ(title(), "Got Hello");
        // The ticks are driven from here, not by the clock.
        p.Timer1.stop();
        for (int left = 9; left >= 0; --left) {
            EXPECT_TRUE(f.power.calls.empty()) << left;
            p.Timer1Timer();
            EXPECT_EQ(f.log.last("warning tick"), "warning tick " + std::to_string(left));
        }
        EXPECT_FALSE(p.onScreen());
        EXPECT_EQ(f.log.count("warning ended"), 1u);
    } else {
        EXPECT_TRUE(ackedBeforeAction);
        EXPECT_EQ(sourceAtAction, source);
        EXPECT_FALSE(p.onScreen());
        EXPECT_EQ(f.log.count("warning shown"), 0u);
    }
    EXPECT_EQ(f.power.calls, std::vector<std::string>{c.call});
    EXPECT_EQ(title(), c.caption);
    EXPECT_EQ(label4(), c.label4);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Accepted,
    testing::Values(ActionCase{"RestartAtOnce", 1, false, "reboot", "DO restart", "RESTART", true,
                               "Command port: restart from 127.0.0.1"},
                    ActionCase{"ShutdownAtOnce", 2, false, "powerOff", "DO Shutdown", "SHUTDOWN",
                               false, "Command port: shutdown from 127.0.0.1"},
                    ActionCase{"RestartAfterWarning", 1, true, "reboot", "DO restart", "", true,
                               "Command port: restart after warning from 127.0.0.1"},
                    ActionCase{"ShutdownAfterWarning", 2, true, "powerOff", "DO Shutdown", "",
                               false, "Command port: shutdown after warning from 127.0.0.1"}),
    [](const auto& p) { return std::string(p.param.name); });

// The settings file refuses writes once its owner-write bit is off.
TEST_F(CommandPort, FailedSourceWriteStopsTheRestartAfterTheAcknowledgement) {
    for (bool alert : {false, true}) {
        SCOPED_TRACE(alert ? "with warning" : "at once");
        page("Ostra", "ferno", alert);
        std::filesystem::permissions(f.dir / "NorvaHB", std::filesystem::perms::owner_read,
                                     std::filesystem::perm_options::replace);
        const Session s = talk({{Restart("Ostra", "ferno"), 1}});
        ASSERT_TRUE(s.connected);
        EXPECT_EQ(s.replies.at(0), kAck);
        EXPECT_TRUE(s.trailing.empty());
        EXPECT_TRUE(s.closed);
        EXPECT_TRUE(f.power.calls.empty());
        EXPECT_FALSE(warningOnScreen());
        EXPECT_EQ(f.log.count("warning shown"), 0u);
        EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "<missing>");
        EXPECT_EQ(label4(), "");
        EXPECT_EQ(title(), caption);
        EXPECT_TRUE(f.boxes.errors.empty()) << f.boxes.errors.front();
    }
    EXPECT_TRUE(f.agent->theServer.Active());
}

// ---- The page's values through PageValues ---------------------------------------------------

struct PageValuesCase {
    const char* name;
    QString user;
    QString pass;
    bool alert;
    std::string message;
    Bytes reply;
    const char* label4; // "" when untouched
    const char* call;   // on the power backend, "" for none
    bool warningShown;
};

void PrintTo(const PageValuesCase& c, std::ostream* os) {
    *os << c.name;
}

// A protocol that reads the page through values of its own, on the started agent's queue,
// settings and warning, its status line going into the agent's log. The agent's page holds
// other credentials and the opposite warning choice, so only the values handed in can decide.
// The connection is one end of a socket pair and the step runs on this thread, which is the
// user-interface thread.
class FromPageValues : public CommandPort, public testing::WithParamInterface<PageValuesCase> {
protected:
    FromPageValues() {
        page("Ostra", "ferno", true);
        protocol.doRestart = [this] { f.agent->power.doRestart(); };
        protocol.doShutdown = [this] { f.agent->power.doShutdown(); };
        QObject::connect(
            &protocol, &norva::CommandProtocol::label4Requested,
            [this](const QString& text) { f.log.add("label4 " + text.toStdString()); });
    }

    // One message in, whatever the protocol wrote back.
    Bytes exchange(const std::string& message) {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        norva::CommandConnection connection(ends[1], "127.0.0.1");
        EXPECT_EQ(::send(ends[0], message.data(), message.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(message.size()));
        protocol.theServerExecute(connection);
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        Bytes reply;
        std::uint8_t buf[64];
        for (ssize_t n; (n = ::recv(ends[0], buf, sizeof buf, 0)) > 0;)
            reply.insert(reply.end(), buf, buf + n);
        ::close(ends[0]);
        return reply;
    }

    norva::test::FakePageValues values;
    norva::CommandProtocol protocol{f.agent->queue, f.agent->MyIni, values, f.agent->pending};
};

TEST_P(FromPageValues, DecideTheCredentialsAndTheWarning) {
    const PageValuesCase& c = GetParam();
    values.user = c.user;
    values.pass = c.pass;
    values.alert = c.alert;
    EXPECT_EQ(exchange(c.message), c.reply);
    EXPECT_EQ(label4(), c.label4);
    EXPECT_EQ(f.power.calls,
              *c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{});
    EXPECT_EQ(warningOnScreen(), c.warningShown);
    EXPECT_EQ(f.log.count("warning shown"), c.warningShown ? 1u : 0u);
    f.agent->pending.Timer1.stop();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromPageValues,
    testing::Values(PageValuesCase{"WindowsCredentialsAreNotTheOnesCompared",
                                   "Zed",
                                   "pw",
                                   false,
                                   Restart("Ostra", "ferno"),
                                   {},
                                   "Bad Username",
                                   "",
                                   false},
                    PageValuesCase{"WrongPassword",
                                   "Zed",
                                   "pw",
                                   false,
                                   Restart("ZED", "ferno"),
                                   {},
                                   "Bad Password",
                                   "",
                                   false},
                    PageValuesCase{"PasswordBeyondLatinOneNeverMatches",
                                   "Zed",
                                   QString::fromUtf8("\u03a9"),
                                   false,
                                   Restart("Zed", "?"),
                                   {},
                                   "Bad Password",
                                   "",
                                   false},
                    PageValuesCase{"RestartAtOnce", "Zed", "pw", false, Restart("ZED", "pw"), kAck,
                                   "RESTART", "reboot", false},
                    PageValuesCase{"ShutdownAfterWarning", "Zed", "pw", true,
                                   Packet(norva::eCmnd_get, "Zed", "pw", 2), kAck, "", "", true}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- The guards: lockout per address and AcceptFrom ----------------------------------------

// The protocol with the guards' settings from a file of the test's own and a clock the test
// moves. Its steps run at once on this thread, the one that built the queue, so this is the
// user-interface thread. The page holds the default credentials.
class Guarded : public testing::Test {
protected:
    // Counts the comparisons: every check of the credentials reads the page's user name.
    struct CountingPages : norva::test::FakePageValues {
        mutable int reads = 0;
        QString userName() const override {
            ++reads;
            return user;
        }
    };

    Guarded() {
        pages.user = "Ostra";
        pages.pass = "ferno";
        protocol.clock = [this] { return t0 + std::chrono::seconds(elapsed.load()); };
        protocol.doRestart = [this] { actions.emplace_back("restart"); };
        QObject::connect(&protocol, &norva::CommandProtocol::memoLineRequested,
                         [this](const QString& line) {
                             if (line != "Recived eCmnd_get")
                                 log.push_back(line.toStdString());
                         });
        QObject::connect(&protocol, &norva::CommandProtocol::label4Requested,
                         [this](const QString& text) { label4 = text.toStdString(); });
        QObject::connect(&protocol, &norva::CommandProtocol::captionRequested,
                         [this](const QString& text) { caption = text.toStdString(); });
    }

    // The [GSD] lines of the settings file, read as the program does at its start.
    void settings(const std::string& gsd) {
        dir.write("NorvaHB", "[GSD]\n" + gsd);
        ini.open(dir.path());
        protocol.ReadGuardSettings();
    }

    // One message from `peer`; whatever the protocol wrote back.
    Bytes exchange(const std::string& peer, const std::string& message) {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        Bytes reply;
        {
            norva::CommandConnection connection(ends[1], peer);
            EXPECT_EQ(::send(ends[0], message.data(), message.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(message.size()));
            protocol.theServerExecute(connection);
            ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
            std::uint8_t buf[64];
            for (ssize_t n; (n = ::recv(ends[0], buf, sizeof buf, 0)) > 0;)
                reply.insert(reply.end(), buf, buf + n);
        }
        ::close(ends[0]);
        return reply;
    }

    std::vector<std::string> takeLog() { return std::exchange(log, {}); }

    const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1000);
    std::atomic<int> elapsed{0}; // seconds; read on connection threads too

    norva::test::TempDir dir;
    norva::SettingsHandle ini;
    norva::HandOverQueue queue;
    CountingPages pages;
    norva::PendingAction pending;
    norva::CommandProtocol protocol{queue, ini, pages, pending};
    std::vector<std::string> log; // the lines for Memo1 but "Recived eCmnd_get"
    std::vector<std::string> actions;
    std::string label4;
    std::string caption;
};

const std::string kA = "198.18.0.2";
const std::string kB = "198.18.0.6";
const std::string kV6 = "fd00::2";

enum class Msg {
    Right,         // a restart with the right credentials
    WrongUser,     // a restart with a wrong user name
    WrongPassword, // a restart with a wrong password
    Hello,
    Sweep, // no message: the sweep timer ticks
};

enum class Got {
    Answer,   // acknowledged and restarted; a hello answered
    Rejected, // compared, refused with "Bad Username" or "Bad Password", nothing sent
    Ignored,  // not compared, nothing sent, nothing shown, no line
    Nothing,  // for Sweep
};

struct GuardStep {
    int at; // seconds from the start
    std::string from;
    Msg msg;
    Got got;
    // The lines logged for it, but "Recived eCmnd_get" and an accepted command's own line
    // ("Command port: restart from ..."), which every accepted restart must give as well.
    std::vector<std::string> log = {};
};

struct GuardCase {
    const char* name;
    std::string settings;             // [GSD] lines
    std::vector<std::string> readLog; // logged when the settings are read
    std::vector<GuardStep> steps;
};

void PrintTo(const GuardCase& c, std::ostream* os) {
    *os << c.name;
}

class GuardSequence : public Guarded, public testing::WithParamInterface<GuardCase> {};

TEST_P(GuardSequence, EachMessageIsComparedOnlyWhileItsAddressMayCommand) {
    const GuardCase& c = GetParam();
    settings("Username=Ostra\nPassword=ferno\n" + c.settings);
    EXPECT_EQ(takeLog(), c.readLog);
    int stepNo = 0;
    for (const GuardStep& step : c.steps) {
        SCOPED_TRACE("step " + std::to_string(++stepNo) + " at " + std::to_string(step.at) +
                     " s from " + step.from);
        elapsed = step.at;
        if (step.msg == Msg::Sweep) {
            protocol.sweepTimerTimer();
            EXPECT_EQ(takeLog(), step.log);
            continue;
        }
        const int readsBefore = pages.reads;
        const std::size_t actionsBefore = actions.size();
        label4.clear();
        caption.clear();
        const std::string message = step.msg == Msg::Hello           ? std::string("hello-000")
                                    : step.msg == Msg::WrongUser     ? Restart("intruder", "ferno")
                                    : step.msg == Msg::WrongPassword ? Restart("Ostra", "guess")
                                                                     : Restart("Ostra", "ferno");
        const Bytes reply = exchange(step.from, message);

        std::vector<std::string> expectedLog = step.log;
        if (step.msg == Msg::Right && step.got == Got::Answer)
            expectedLog.insert(expectedLog.begin(), "Command port: restart from " + step.from);
        EXPECT_EQ(takeLog(), expectedLog);
        const bool hello = step.msg == Msg::Hello;
        switch (step.got) {
        case Got::Answer:
            EXPECT_EQ(reply, hello ? kHelloReply : kAck);
            EXPECT_EQ(actions.size() - actionsBefore, hello ? 0u : 1u);
            EXPECT_EQ(caption, hello ? "Got Hello" : "");
            break;
        case Got::Rejected:
            EXPECT_TRUE(reply.empty());
            EXPECT_EQ(pages.reads - readsBefore, 1);
            EXPECT_EQ(label4, step.msg == Msg::WrongUser ? "Bad Username" : "Bad Password");
            EXPECT_EQ(actions.size(), actionsBefore);
            break;
        case Got::Ignored:
            EXPECT_TRUE(reply.empty());
            EXPECT_EQ(pages.reads, readsBefore) << "compared";
            EXPECT_EQ(label4, "");
            EXPECT_EQ(caption, "");
            EXPECT_EQ(actions.size(), actionsBefore);
            break;
        case Got::Nothing:
            ADD_FAILURE() << "a message must get an answer, a rejection or nothing";
        }
    }
}

GuardStep wrongPw(int at, const std::string& from, std::vector<std::string> log = {}) {
    return {at, from, Msg::WrongPassword, Got::Rejected, std::move(log)};
}

// The lines name the peer's group, not its address.
std::string lockedOut(const std::string& who, int seconds = 300, int failures = 5,
                      int window = 60) {
    return "Command port: " + norva::AddressGroup(who) + " locked out for " +
           std::to_string(seconds) + " s after " + std::to_string(failures) +
           " rejected commands in " + std::to_string(window) + " s";
}

std::string rejectedCount(const std::string& who, int n) {
    return "Command port: " + norva::AddressGroup(who) +
           ": rejected commands (wrong user name or password): " + std::to_string(n);
}

std::string refusedCount(const std::string& who, int n) {
    return "Command port: " + norva::AddressGroup(who) +
           ": messages ignored (not in AcceptFrom): " + std::to_string(n);
}

std::string lockoutEnded(const std::string& who, int ignored) {
    return "Command port: lockout of " + norva::AddressGroup(who) +
           " ended; messages ignored: " + std::to_string(ignored);
}

const std::vector<GuardCase> guardCases = {
    {"FifthRejectionLocksOutTheSixthIsNotCompared",
     "",
     {},
     {
         wrongPw(0, kA),
         {1, kA, Msg::WrongUser, Got::Rejected},
         wrongPw(2, kA),
         wrongPw(3, kA),
         wrongPw(4, kA, {lockedOut(kA)}),
         // The right password now changes nothing: it is not even looked at.
         {5, kA, Msg::Right, Got::Ignored},
         {6, kA, Msg::Hello, Got::Ignored},
         {7, kA, Msg::WrongPassword, Got::Ignored},
         // The rejections are counted, the ignored messages are not.
         {8, "", Msg::Sweep, Got::Nothing, {rejectedCount(kA, 5)}},
     }},
    {"LockoutEndsAfterFiveMinutesWithItsLine",
     "",
     {},
     {
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA, {lockedOut(kA)}),
         {1, "", Msg::Sweep, Got::Nothing, {rejectedCount(kA, 5)}},
         {299, kA, Msg::Right, Got::Ignored},
         {299, kA, Msg::Hello, Got::Ignored},
         {299, "", Msg::Sweep, Got::Nothing},
         {300, "", Msg::Sweep, Got::Nothing, {lockoutEnded(kA, 2)}},
         {300, kA, Msg::Hello, Got::Answer},
         {300, kA, Msg::Right, Got::Answer},
     }},
    {"EndNoticedByAMessageIsLoggedByTheNextSweep",
     "LockoutSeconds=30\n",
     {},
     {
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA, {lockedOut(kA, 30)}),
         {29, kA, Msg::Right, Got::Ignored},
         {30, kA, Msg::Right, Got::Answer},
         {31, "", Msg::Sweep, Got::Nothing, {lockoutEnded(kA, 1), rejectedCount(kA, 5)}},
     }},
    {"RightCommandClearsTheCount",
     "",
     {},
     {
         wrongPw(0, kA),
         wrongPw(1, kA),
         wrongPw(2, kA),
         wrongPw(3, kA),
         {4, kA, Msg::Right, Got::Answer},
         wrongPw(5, kA),
         wrongPw(6, kA),
         wrongPw(7, kA),
         wrongPw(8, kA),
         wrongPw(9, kA, {lockedOut(kA)}),
         {10, kA, Msg::Right, Got::Ignored},
     }},
    {"AddressesAreIndependent",
     "",
     {},
     {
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA, {lockedOut(kA)}),
         {1, kB, Msg::Right, Got::Answer},
         wrongPw(2, kB),
         wrongPw(3, kV6),
         wrongPw(3, kV6),
         wrongPw(3, kV6),
         wrongPw(3, kV6),
         wrongPw(3, kV6, {lockedOut(kV6)}),
         {4, kA, Msg::Right, Got::Ignored},
         {4, kV6, Msg::Right, Got::Ignored},
         {5, kB, Msg::Right, Got::Answer},
     }},
    {"AcceptFromAllowsItsEntriesOnly",
     "AcceptFrom=198.18.0.2, fd00::/64\n",
     {},
     {
         {0, kA, Msg::Right, Got::Answer},
         {0, kV6, Msg::Right, Got::Answer},
         {0, kB, Msg::Right, Got::Ignored},
         {0, kB, Msg::Hello, Got::Ignored},
         {0, "fd01::2", Msg::Right, Got::Ignored},
         // Refused messages are counted, one line per address per minute (the most recently
         // seen first), and never lock.
         {1, "", Msg::Sweep, Got::Nothing, {refusedCount("fd01::2", 1), refusedCount(kB, 2)}},
         {2, kB, Msg::WrongPassword, Got::Ignored},
         {2, kB, Msg::WrongPassword, Got::Ignored},
         {2, kB, Msg::WrongPassword, Got::Ignored},
         {2, kB, Msg::WrongPassword, Got::Ignored},
         {2, kB, Msg::WrongPassword, Got::Ignored},
         {2, kB, Msg::WrongPassword, Got::Ignored},
         {30, "", Msg::Sweep, Got::Nothing},
         {61, "", Msg::Sweep, Got::Nothing, {refusedCount(kB, 6)}},
         {62, kA, Msg::Right, Got::Answer},
     }},
    {"BadAcceptFromEntriesAreIgnored",
     "AcceptFrom=10.0.0.0/33;198.18.0.2 fd00::/64\n",
     {"Command port: AcceptFrom: \"10.0.0.0/33;198.18.0.2\" is ignored: an IPv4 range has a "
      "prefix length of 0 to 32"},
     {
         {0, kA, Msg::Right, Got::Ignored},
         {0, kV6, Msg::Right, Got::Answer},
     }},
    {"AllEntriesBadLetsNobodyIn",
     "AcceptFrom=10.0.0.0/33 fe80::zz\n",
     {"Command port: AcceptFrom: \"10.0.0.0/33\" is ignored: an IPv4 range has a prefix length "
      "of 0 to 32",
      "Command port: AcceptFrom: \"fe80::zz\" is ignored: it is not an IPv4 or IPv6 address",
      "Command port: AcceptFrom has no usable entry, so no address may send commands"},
     {
         {0, kA, Msg::Right, Got::Ignored},
         {0, kV6, Msg::Right, Got::Ignored},
         {0, "127.0.0.1", Msg::Right, Got::Ignored},
     }},
    {"LimitsComeFromTheFile",
     "LockoutFailures=2\nLockoutWindow=10\nLockoutSeconds=30\n",
     {},
     {
         wrongPw(0, kA),
         // The first has left the window: one rejection in it, then two.
         wrongPw(10, kA),
         wrongPw(11, kA, {lockedOut(kA, 30, 2, 10)}),
         {40, kA, Msg::Right, Got::Ignored},
         {41, kA, Msg::Right, Got::Answer},
     }},
    {"InvalidNumbersFallBackToTheDefaults",
     "LockoutFailures=five\nLockoutWindow=0\nLockoutSeconds= \n",
     {"Command port: LockoutFailures=\"five\" is not a whole number from 0 to 100; 5 is used",
      "Command port: LockoutWindow=\"0\" is not a whole number from 1 to 86400; 60 is used"},
     {
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA, {lockedOut(kA)}),
     }},
    {"NoLockoutWhenFailuresIsZero",
     "LockoutFailures=0\n",
     {},
     {
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         wrongPw(0, kA),
         {1, kA, Msg::Right, Got::Answer},
         {2, "", Msg::Sweep, Got::Nothing, {rejectedCount(kA, 6)}},
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, GuardSequence, testing::ValuesIn(guardCases),
                         [](const auto& p) { return std::string(p.param.name); });

// A message the guards drop costs the user-interface thread nothing: with the queue closed, a
// hand-over would fail the message with "The program is closing", and none does.
TEST_F(Guarded, DroppedMessagesNeverReachTheUserInterfaceThread) {
    settings("AcceptFrom=198.18.0.0/29\n");
    for (int i = 0; i < 5; ++i)
        exchange(kA, Restart("Ostra", "guess"));
    ASSERT_EQ(takeLog(), std::vector<std::string>{lockedOut(kA)});
    queue.close();

    std::vector<std::string> failures;
    std::thread connection([&] {
        for (int i = 0; i < 50; ++i)
            for (const char* from : {"198.18.0.2", "198.18.0.9"}) // locked out; not allowed
                for (const std::string& message :
                     {Restart("Ostra", "ferno"), std::string("hello-000")})
                    try {
                        exchange(from, message);
                    } catch (const std::exception& e) {
                        failures.push_back(std::string(from) + ": " + e.what());
                    }
        // An address the guards let through does need the user-interface thread.
        try {
            exchange("198.18.0.3", Restart("Ostra", "ferno"));
            failures.emplace_back("198.18.0.3 was never handed over");
        } catch (const std::exception&) {
        }
    });
    connection.join();
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(pages.reads, 5);
    EXPECT_TRUE(actions.empty());
}

// The sweep wakes the program only while the log is owed something, and starts for a refused
// message that never reached the user-interface thread.
TEST_F(Guarded, SweepRunsOnlyWhileTheLogIsOwedSomething) {
    settings("AcceptFrom=198.18.0.2\nLockoutSeconds=120\n");
    EXPECT_FALSE(protocol.sweepTimer.isActive());
    exchange(kA, Restart("Ostra", "ferno")); // accepted: nothing owed
    EXPECT_FALSE(protocol.sweepTimer.isActive());

    for (int i = 0; i < 5; ++i)
        exchange(kA, Restart("Ostra", "guess"));
    EXPECT_TRUE(protocol.sweepTimer.isActive());
    for (const int at : {1, 60, 119}) {
        elapsed = at;
        protocol.sweepTimerTimer();
        EXPECT_TRUE(protocol.sweepTimer.isActive()) << "at " << at << " s, the lockout under way";
    }
    elapsed = 120;
    protocol.sweepTimerTimer();
    EXPECT_FALSE(protocol.sweepTimer.isActive()) << "lockout over, counts reported";
    EXPECT_EQ(takeLog(),
              (std::vector<std::string>{"Command port: restart from 198.18.0.2", lockedOut(kA, 120),
                                        rejectedCount(kA, 5), lockoutEnded(kA, 0)}));

    // A refused message from a connection thread posts the start to the event loop.
    std::atomic<bool> done{false};
    std::thread connection([&] {
        exchange(kB, Restart("Ostra", "ferno"));
        done = true;
    });
    // Served, in case it is handed over after all (it must not be).
    queue.serveAllUntil([&] { return done.load(); });
    connection.join();
    EXPECT_FALSE(protocol.sweepTimer.isActive());
    QCoreApplication::processEvents();
    ASSERT_TRUE(protocol.sweepTimer.isActive());
    protocol.sweepTimerTimer();
    EXPECT_EQ(takeLog(), std::vector<std::string>{refusedCount(kB, 1)});
    EXPECT_TRUE(protocol.sweepTimer.isActive()) << "a minute for more to count";
    elapsed = 180;
    protocol.sweepTimerTimer();
    EXPECT_FALSE(protocol.sweepTimer.isActive());
    EXPECT_EQ(takeLog(), std::vector<std::string>{});
}

// Reading the settings again keeps the table while the limits stay; changed limits end the
// lockouts under way, each with its line.
TEST_F(Guarded, AppliedSettingsTakeEffect) {
    settings("");
    for (int i = 0; i < 5; ++i)
        exchange(kA, Restart("Ostra", "guess"));
    exchange(kA, Restart("Ostra", "ferno"));
    takeLog();

    protocol.ReadGuardSettings();
    EXPECT_TRUE(exchange(kA, Restart("Ostra", "ferno")).empty()) << "still locked out";
    EXPECT_EQ(takeLog(), std::vector<std::string>{});

    dir.write("NorvaHB", "[GSD]\nLockoutFailures=3\nAcceptFrom=198.18.0.6\n");
    protocol.ReadGuardSettings();
    EXPECT_EQ(takeLog(), (std::vector<std::string>{
                             "Command port: lockout of 198.18.0.2/32 ended (the limits changed); "
                             "messages ignored: 2",
                             rejectedCount(kA, 5)}));
    EXPECT_EQ(protocol.guardLimits().failures, 3);
    EXPECT_TRUE(exchange(kA, Restart("Ostra", "ferno")).empty()) << "no longer in AcceptFrom";
    EXPECT_EQ(exchange(kB, Restart("Ostra", "ferno")), kAck);
}

// The agent reads the guards from its settings file at start and again when the shutdown page
// is applied (the window's Apply calls ReadCommandSettings: tests/app); the listener gives the
// protocol the peer's address, IPv6 too.
TEST(GuardedAgent, ReadsTheGuardsAtStartAndOnApply) {
    const bool v6 = [] {
        const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        const bool ok = s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (s >= 0)
            ::close(s);
        return ok;
    }();
    AgentFixture f("[GSD]\nUsername=Ostra\nPassword=ferno\nLockoutFailures=2\n");
    f.pagesFromFile();
    f.startUp();
    auto talk = [&](const std::string& message, bool overV6) {
        Device device(f.agent->theServer.Port(), {{message, 1}}, overV6);
        EXPECT_TRUE(f.serveUntil([&] { return device.done(); }, 10000ms));
        return device.finish();
    };
    auto memo = [&] { return memoOf(f.log); };

    // The guesser: over IPv6 if the machine has it, else over the IPv4 loopback. Either way
    // it locks out all of loopback, one local user's group: its own right command and one
    // over the other loopback are dropped unchecked.
    EXPECT_TRUE(talk(Restart("Ostra", "guess"), v6).replies.at(0).empty());
    EXPECT_TRUE(talk(Restart("Ostra", "guess"), v6).replies.at(0).empty());
    EXPECT_TRUE(talk(Restart("Ostra", "ferno"), v6).replies.at(0).empty()) << memo();
    EXPECT_NE(memo().find(lockedOut("127.0.0.1", 300, 2, 60)), std::string::npos) << memo();
    if (v6)
        EXPECT_TRUE(talk(Restart("Ostra", "ferno"), false).replies.at(0).empty());
    else
        std::cerr << "no IPv6 loopback here: the IPv6 guesser is left out\n";
    EXPECT_TRUE(f.power.calls.empty());

    // Applied from the shutdown page: other limits end the lockout under way, and the
    // loopback, allowed by name, commands again.
    f.dir.write("NorvaHB", "[GSD]\nAcceptFrom=127.0.0.1\n");
    f.agent->ReadCommandSettings();
    EXPECT_NE(memo().find("Command port: lockout of 127.0.0.0/8 ended (the limits changed)"),
              std::string::npos)
        << memo();
    EXPECT_EQ(talk(Restart("Ostra", "ferno"), false).replies.at(0), kAck);
    EXPECT_EQ(f.power.calls, std::vector<std::string>{"reboot"});
    EXPECT_NE(memo().find("Command port: restart from 127.0.0.1"), std::string::npos);

    // Applied again: only the device's address may command now.
    f.dir.write("NorvaHB", "[GSD]\nAcceptFrom=198.18.0.2, 10.0.0.0/40\n");
    f.agent->ReadCommandSettings();
    EXPECT_NE(memo().find("Command port: AcceptFrom: \"10.0.0.0/40\" is ignored"),
              std::string::npos)
        << memo();
    EXPECT_TRUE(talk(Restart("Ostra", "ferno"), false).replies.at(0).empty());
    EXPECT_EQ(f.power.calls, std::vector<std::string>{"reboot"});
}

} // namespace
