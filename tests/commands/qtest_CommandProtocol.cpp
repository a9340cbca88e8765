// The command port end to end: a device on a thread of its own talks to the listener of a
// real TForm1 over loopback, while the test thread serves the steps that run on the
// user-interface thread.
#include "commands/CommandPacket.h"
#include "commands/PendingAction.h"
#include "support/FakePageValues.h"
#include "support/FormFixture.h"
#include "transport/CommandConnection.h"
#include "ui/Twarning.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using norva::test::FormFixture;
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
    Device(std::uint16_t port, std::vector<Step> steps) : steps_(std::move(steps)) {
        thread_ = std::thread([this, port] { run(port); });
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
    void run(std::uint16_t port) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        session_.connected = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
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

// A started program whose stored shutdown settings differ from what each test types into
// the page, so that only the page's current texts can make a packet pass.
class CommandPort : public testing::Test {
protected:
    CommandPort() : f("[GSD]\nUsername=stored\nPassword=storedpw\nAlertPedningAction=1\n") {
        f.start();
        page("Ostra", "ferno", false);
        caption = f.form->windowTitle();
    }

    // Typed into the shutdown page, not applied.
    void page(const QString& user, const QString& pass, bool alert) {
        f.form->ui.usermane->setText(user);
        f.form->ui.password->setText(pass);
        f.form->ui.alaertPendingActionCB->setChecked(alert);
    }

    // Runs a device session to its end, serving the user-interface steps meanwhile.
    Session talk(std::vector<Step> steps) {
        Device device(f.form->agent.theServer.Port(), std::move(steps));
        EXPECT_TRUE(f.serveUntil([&] { return device.done(); }, 10000ms));
        return device.finish();
    }

    QString label4() const { return f.form->ui.Label4->text(); }
    bool memoHasCommandLine() const {
        return f.form->ui.Memo1->toPlainText().split('\n').contains("Recived eCmnd_get");
    }

    FormFixture f;
    QString caption;
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
    EXPECT_EQ(f.form->windowTitle(), c.answered ? QString("Got Hello") : caption);
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
    const Session s = talk({{c.message, 0}});
    ASSERT_TRUE(s.connected);
    EXPECT_TRUE(s.replies.at(0).empty());
    EXPECT_TRUE(s.trailing.empty());
    EXPECT_TRUE(s.closed);
    EXPECT_EQ(label4(), c.label4);
    EXPECT_EQ(memoHasCommandLine(), c.commandLine);
    EXPECT_EQ(f.form->windowTitle(), caption);
    EXPECT_TRUE(f.power.calls.empty());
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "<missing>");
    EXPECT_FALSE(f.form->warning->isVisible());
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
        PacketCase{"CapitalHIsAPacket", "ELLO-000", "",
                   [] {
                       std::string m = "Hello-000";
                       m.resize(norva::kCommandPacketSize, '\0');
                       return m;
                   }(),
                   "", false},
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
    auto hook = [&](void (norva::TForm1::*action)()) {
        return [&, action] {
            ackedBeforeAction = device.load()->waitForReplyBytes(3);
            sourceAtAction = f.setting("GracefulRestart", "SourceIP");
            (f.form.get()->*action)();
        };
    };
    f.form->agent.protocol.doRestart = hook(&norva::TForm1::doRestart);
    f.form->agent.protocol.doShutdown = hook(&norva::TForm1::doShutdown);

    Device d(f.form->agent.theServer.Port(),
             {{"hello-000", 2}, {Packet(7, "BOB", "pw", c.command), 1}});
    device = &d;
    ASSERT_TRUE(f.serveUntil([&] { return d.done(); }, 10000ms));
    const Session s = d.finish();

    ASSERT_TRUE(s.connected);
    EXPECT_EQ(s.replies.at(0), kHelloReply);
    EXPECT_EQ(s.replies.at(1), kAck);
    EXPECT_TRUE(s.trailing.empty());
    EXPECT_TRUE(s.closed);
    EXPECT_TRUE(memoHasCommandLine());
    const std::string source = c.storesSource ? "127.0.0.1" : "<missing>";
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), source);

    norva::Twarning& w = *f.form->warning;
    norva::PendingAction& p = f.form->agent.pending;
    if (c.alert) {
        EXPECT_EQ(sourceAtAction, "<not called>");
        EXPECT_TRUE(w.isVisible());
        EXPECT_TRUE(p.Timer1.isActive());
        EXPECT_EQ(p.countdown, 10);
        EXPECT_EQ(p.mode, c.command - 1);
        EXPECT_TRUE(f.power.calls.empty());
        EXPECT_EQ(label4(), "");
        EXPECT_EQ(f.form->windowTitle(), "Got Hello");
        // The ticks are driven from here, not by the clock.
        p.Timer1.stop();
        for (int left = 9; left >= 0; --left) {
            EXPECT_TRUE(f.power.calls.empty()) << left;
            p.Timer1Timer();
            EXPECT_EQ(w.windowTitle(), QString("Timer = %1").arg(left));
        }
        EXPECT_FALSE(w.isVisible());
    } else {
        EXPECT_TRUE(ackedBeforeAction);
        EXPECT_EQ(sourceAtAction, source);
        EXPECT_FALSE(w.isVisible());
    }
    EXPECT_EQ(f.power.calls, std::vector<std::string>{c.call});
    EXPECT_EQ(f.form->windowTitle(), c.caption);
    EXPECT_EQ(label4(), c.label4);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Accepted,
    testing::Values(
        ActionCase{"RestartAtOnce", 1, false, "reboot", "DO restart", "RESTART", true},
        ActionCase{"ShutdownAtOnce", 2, false, "powerOff", "DO Shutdown", "SHUTDOWN", false},
        ActionCase{"RestartAfterWarning", 1, true, "reboot", "DO restart", "", true},
        ActionCase{"ShutdownAfterWarning", 2, true, "powerOff", "DO Shutdown", "", false}),
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
        EXPECT_FALSE(f.form->warning->isVisible());
        EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "<missing>");
        EXPECT_EQ(label4(), "");
        EXPECT_EQ(f.form->windowTitle(), caption);
        EXPECT_TRUE(f.boxes.errors.empty()) << f.boxes.errors.front();
    }
    EXPECT_TRUE(f.form->agent.theServer.Active());
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

// A protocol that reads the page through plain values, on the started program's queue,
// settings and warning, its status line drawn by the program's view. The window's own controls hold
// other credentials and the opposite warning choice, so only the values handed in can decide. The
// connection is one end of a socket pair and the step runs on this thread, which is the
// user-interface thread.
class FromPageValues : public CommandPort, public testing::WithParamInterface<PageValuesCase> {
protected:
    FromPageValues() {
        page("Ostra", "ferno", true);
        protocol.doRestart = [this] { f.form->doRestart(); };
        protocol.doShutdown = [this] { f.form->doShutdown(); };
        QObject::connect(&protocol, &norva::CommandProtocol::label4Requested,
                         [this](const QString& text) { f.form->view.setLabel4(text); });
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
    norva::CommandProtocol protocol{f.form->agent.queue, f.form->agent.MyIni, values,
                                    f.form->agent.pending};
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
    norva::Twarning& w = *f.form->warning;
    EXPECT_EQ(w.isVisible(), c.warningShown);
    f.form->agent.pending.Timer1.stop();
    w.hide();
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

} // namespace
