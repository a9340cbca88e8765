// What --check says about a settings file: the whole report for a good one, and the failing
// line for each fault it must catch; and what it says about the running system (the service,
// the login manager, the ports) on answers a test chooses.
#include "service/CheckProbes.h"
#include "service/ServiceCheck.h"
#include "settings/SettingsRules.h"
#include "support/TempDir.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

using norva::ServiceCheck;
using norva::ServiceOptions;
using norva::StoredPassword;
using norva::StoredPasswordProblem;
using Kind = ServiceCheck::Kind;
namespace fs = std::filesystem;

namespace {

struct Check : testing::Test {
    norva::test::TempDir dir;

    ServiceCheck run(const std::string& settings,
                     fs::perms mode = fs::perms::owner_read | fs::perms::owner_write) {
        dir.write("NorvaHB", settings);
        fs::permissions(dir / "NorvaHB", mode);
        return runOn(dir / "NorvaHB");
    }
    ServiceCheck runOn(const fs::path& file) {
        options.settingsFile = file;
        ServiceCheck check(options);
        check.checkSettings();
        return check;
    }
    static std::vector<std::string> of(const ServiceCheck& check, Kind kind) {
        std::vector<std::string> texts;
        for (const auto& line : check.lines())
            if (line.kind == kind)
                texts.push_back(line.text);
        return texts;
    }

    ServiceOptions options;
};

TEST_F(Check, AGoodNetworkSetupPassesAndSaysWhatTheServiceWouldDo) {
    options.commandPort = 19100;
    const ServiceCheck check = run("[Setup]\nNetwork=1\nUSB=0\nIPAddr=192.168.1.50\nPort=9100\n"
                                   "Freq=5\nFailCount=3\n[Run]\nIsStarted=1\n"
                                   "[GSD]\nusername=admin\nPassword=secret\n"
                                   "AlertPedningAction=1\n");
    EXPECT_EQ(check.report(),
              "info  settings file: " + (dir / "NorvaHB").string() +
                  "\n"
                  "ok    the settings file can be read\n"
                  "ok    the settings file can be written\n"
                  "info  heartbeat mode: network, \"NorvaHB\" to 192.168.1.50 UDP port 9100 "
                  "every 5 s, alert after 3 misses\n"
                  "ok    device address 192.168.1.50\n"
                  "info  at the start the heartbeat resumes (Run/IsStarted is set)\n"
                  "info  sleep: held off while the heartbeat runs (a block lock; "
                  "Setup/AllowSleep=1 would allow it); a lid or power-key sleep still pauses "
                  "the heartbeat\n"
                  "info  command port: TCP 19100, restart and shutdown commands for user name "
                  "\"admin\", after a ten-second warning\n"
                  "info  commands are taken from any address (GSD/AcceptFrom is empty); a "
                  "firewall rule or AcceptFrom naming the device narrows that\n");
    EXPECT_TRUE(check.passed());
    EXPECT_EQ(check.exitCode(), 0);
}

TEST_F(Check, SaysWhetherSleepIsHeldOffOrAllowed) {
    const std::string setup = "[Setup]\nNetwork=1\nIPAddr=192.168.1.50\n";
    EXPECT_NE(run(setup).report().find("info  sleep: held off while the heartbeat runs"),
              std::string::npos);
    const std::string allowed = run(setup + "AllowSleep=1\n").report();
    EXPECT_NE(allowed.find("info  sleep: allowed (Setup/AllowSleep=1): a delay lock"),
              std::string::npos)
        << allowed;
}

// Each fault gives a failing line that names it, and the exit status 1.
TEST_F(Check, EachFaultFails) {
    const auto net = [](const std::string& setup) {
        return "[Setup]\nNetwork=1\n" + setup + "[GSD]\nUsername=a\nPassword=b\n";
    };
    const std::pair<std::string, std::string> cases[] = {
        {net(""), "the device address (Setup/IPAddr) is not set: the heartbeat would not start"},
        {net("IPAddr=300.1.1.1\n"), "the device address 300.1.1.1 is not valid: "},
        {net("IPAddr=10.0.0.2\nFreq=abc\n"),
         "Setup/Freq: ''abc'' is not a valid integer value: the heartbeat's start would fail"},
        {net("IPAddr=10.0.0.2\nPort=\n"), "Setup/Port is empty: the heartbeat would not start"},
        {net("IPAddr=10.0.0.2\nPort=65536\n"),
         "Setup/Port is 0: no datagram can be sent to port 0"},
        {"[Setup]\nUSB=1\nComPort=None\n",
         "no serial port chosen (Setup/ComPort is \"None\"): the heartbeat would not resume at "
         "the start"},
        {"[Setup]\nUSB=1\nComPort=COM40\n", "COM40 ("},
        {"[Setup]\nUSB=1\nComPort=COM3\ncomFail=x\n",
         "setup/comFail: ''x'' is not a valid integer value: the heartbeat's start would fail"},
        {"[Setup]\nIPAddr=1.2.3\n", "the device address 1.2.3 is not valid: "},
        {"[Setup]\nNetwork=1\nIPAddr=10.0.0.2\n[GSD]\nUsername=a\n",
         StoredPasswordProblem(StoredPassword::Missing)},
        {"[Setup]\nNetwork=1\nIPAddr=10.0.0.2\n[GSD]\nUsername=a\nPassword=\"\"\n",
         StoredPasswordProblem(StoredPassword::Empty)},
    };
    for (const auto& [settings, expected] : cases) {
        const ServiceCheck check = run(settings);
        const auto fails = of(check, Kind::Fail);
        EXPECT_TRUE(std::any_of(fails.begin(), fails.end(),
                                [&](const std::string& t) { return t.starts_with(expected); }))
            << settings << "\n"
            << check.report();
        EXPECT_EQ(check.exitCode(), 1) << settings;
    }
}

// The USB mode looks up the port's device the way the heartbeat will, pins included.
TEST_F(Check, AnInstalledSerialPortPasses) {
    fs::create_directory(dir / "NorvaHB-ports");
    fs::create_symlink("/dev/null", dir / "NorvaHB-ports" / "COM40");
    const ServiceCheck check = run("[Setup]\nUSB=1\nNetwork=0\nComPort=COM40\ncomFreq=2\n"
                                   "[GSD]\nUsername=a\nPassword=b\n");
    EXPECT_EQ(of(check, Kind::Fail), std::vector<std::string>{}) << check.report();
    const auto info = of(check, Kind::Info);
    EXPECT_NE(std::find(info.begin(), info.end(),
                        "heartbeat mode: USB, on COM40 every 2 s, alert after 3 misses"),
              info.end())
        << check.report();
    const auto ok = of(check, Kind::Ok);
    EXPECT_NE(
        std::find(ok.begin(), ok.end(), "COM40 is " + (dir / "NorvaHB-ports" / "COM40").string()),
        ok.end())
        << check.report();
}

// AcceptFrom as the command port will take it: bad entries are named and ignored, and a list
// of nothing but bad entries lets nobody command.
TEST_F(Check, AcceptFromIsCheckedAsTheCommandPortTakesIt) {
    struct Case {
        const char* list;
        std::vector<std::string> warnings;
        const char* verdict; // the Ok or Fail line
        bool passes;
    };
    const Case cases[] = {
        {"198.18.0.2, fd00::/8",
         {},
         "commands are taken only from GSD/AcceptFrom: 198.18.0.2, fd00::/8",
         true},
        {"10.0.0.0/33 198.18.0.2",
         {"AcceptFrom: \"10.0.0.0/33\" is ignored: an IPv4 range has a prefix length of 0 to 32"},
         "commands are taken only from GSD/AcceptFrom: 10.0.0.0/33 198.18.0.2",
         true},
        {"10.0.0.0/33",
         {"AcceptFrom: \"10.0.0.0/33\" is ignored: an IPv4 range has a prefix length of 0 to 32"},
         "GSD/AcceptFrom holds no usable entry: no command would be taken",
         false},
    };
    for (const Case& c : cases) {
        const ServiceCheck check = run(std::string("[Setup]\nNetwork=0\nIPAddr=10.0.0.2\n"
                                                   "[GSD]\nUsername=a\n"
                                                   "Password=b\nAcceptFrom=") +
                                       c.list + "\n");
        EXPECT_EQ(of(check, Kind::Warning), c.warnings) << c.list;
        const auto verdicts = of(check, c.passes ? Kind::Ok : Kind::Fail);
        EXPECT_NE(std::find(verdicts.begin(), verdicts.end(), c.verdict), verdicts.end())
            << check.report();
        EXPECT_EQ(check.passed(), c.passes) << check.report();
    }
}

TEST_F(Check, WarningsDoNotFail) {
    const ServiceCheck check =
        // The default password stored as such: a warning; missing, it would fail (EachFaultFails).
        run("[Setup]\nNetwork=1\nUSB=1\nIPAddr=10.0.0.2\nFreq=0\nFailCount=70000\n"
            "[GSD]\nPassword=ferno\n",
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
    EXPECT_EQ(of(check, Kind::Warning),
              (std::vector<std::string>{
                  "other users may read the settings file, which holds the command password "
                  "(chmod 600 it)",
                  "Setup/FailCount 70000 is taken as 4464 (its low 16 bits)",
                  "Setup/Freq is 0: one heartbeat at the start, then one every 65536 seconds",
                  "the command user name and password are the defaults: whoever knows them can "
                  "restart this computer from the network"}));
    // Both modes set: the network wins, as on the settings page.
    EXPECT_TRUE(check.report().find("heartbeat mode: network") != std::string::npos);
    EXPECT_TRUE(check.passed()) << check.report();
}

TEST_F(Check, AMissingFileOrFolderFails) {
    const ServiceCheck missing = runOn(dir / "NorvaHB");
    EXPECT_EQ(of(missing, Kind::Fail),
              std::vector<std::string>{"the settings file does not exist: every setting would "
                                       "have its default (no heartbeat mode, the default command "
                                       "password)"});
    EXPECT_TRUE(missing.report().find("info  heartbeat mode: none (no heartbeat is sent)\n") !=
                std::string::npos);

    const ServiceCheck noFolder = runOn(dir / "gone" / "NorvaHB");
    const auto fails = of(noFolder, Kind::Fail);
    ASSERT_EQ(fails.size(), 2u) << noFolder.report();
    EXPECT_EQ(fails[1], "the settings folder " + (dir / "gone").string() +
                            " cannot be written (the settings are saved through a temporary file "
                            "there): No such file or directory");
}

// The running system as a test describes it; what was asked is recorded.
struct FakeProbes : norva::CheckProbes {
    bool running = false;
    std::map<std::string, std::string> answers{{"CanReboot", "yes"}, {"CanPowerOff", "yes"}};
    std::string busError; // set: the login manager cannot be asked
    int tcpError = 0;
    int udpError = 0;
    bool socketHeld = false; // norvahbd.socket active
    std::vector<std::string> asked;

    bool serviceRunning() override { return running; }
    std::string askLoginManager(const std::string& method, std::string& error) override {
        asked.push_back(method);
        error = busError;
        return busError.empty() ? answers.at(method) : std::string();
    }
    int bindTcp(std::uint16_t port) override {
        asked.push_back("tcp " + std::to_string(port));
        return tcpError;
    }
    int bindUdp(std::uint16_t port) override {
        asked.push_back("udp " + std::to_string(port));
        return udpError;
    }
    bool commandSocketHeld() override { return socketHeld; }
};

constexpr const char* kNetwork = "[Setup]\nNetwork=1\nIPAddr=10.0.0.2\nPort=19188\n"
                                 "[GSD]\nUsername=a\nPassword=b\n";

TEST_F(Check, TheSystemAllClearSaysSoAndAsksEachPortTheServiceBinds) {
    options.commandPort = 19100;
    dir.write("NorvaHB", kNetwork);
    options.settingsFile = dir / "NorvaHB";
    ServiceCheck check(options);
    check.checkSettings();
    const std::size_t before = check.lines().size();
    FakeProbes probes;
    check.checkSystem(probes);
    const std::vector<ServiceCheck::Line> added(check.lines().begin() + before,
                                                check.lines().end());
    EXPECT_EQ(
        added,
        (std::vector<ServiceCheck::Line>{
            {Kind::Info, "the service is not running (com.norva.NorvaHB1 has no owner on the bus)"},
            {Kind::Ok, "the login manager answers CanReboot: yes"},
            {Kind::Ok, "the login manager answers CanPowerOff: yes"},
            {Kind::Ok, "TCP port 19100 (commands) is free"},
            {Kind::Ok, "UDP port 19188 (heartbeat) is free"}}));
    EXPECT_EQ(probes.asked,
              (std::vector<std::string>{"CanReboot", "CanPowerOff", "tcp 19100", "udp 19188"}));
    EXPECT_TRUE(check.passed()) << check.report();

    // Without the network mode no UDP port is bound by the service, so none is asked.
    dir.write("NorvaHB", "[Setup]\nUSB=1\nIPAddr=10.0.0.2\nPort=19188\n");
    ServiceCheck usb(options);
    usb.checkSettings();
    FakeProbes usbProbes;
    usb.checkSystem(usbProbes);
    EXPECT_EQ(usbProbes.asked.back(), "tcp 19100");
}

// Each answer of the system, and whether it passes: the login manager's words as it said them,
// a port in use fine only while the service runs.
TEST_F(Check, EachAnswerOfTheSystemIsReportedAndJudged) {
    struct Case {
        const char* name;
        std::function<void(FakeProbes&)> system;
        Kind kind;
        std::string line;
    };
    const Case cases[] = {
        {"login manager unreachable",
         [](FakeProbes& p) { p.busError = "The name org.freedesktop.login1 was not provided"; },
         Kind::Fail,
         "the login manager cannot be asked (CanReboot): The name org.freedesktop.login1 was not "
         "provided: restart and shutdown commands could not be carried out"},
        {"CanReboot challenge", [](FakeProbes& p) { p.answers["CanReboot"] = "challenge"; },
         Kind::Warning,
         "the login manager answers CanReboot: challenge (it would want a password, which the "
         "service cannot give; run --check as the service's user, whom the polkit rule allows)"},
        {"CanReboot no", [](FakeProbes& p) { p.answers["CanReboot"] = "no"; }, Kind::Fail,
         "the login manager answers CanReboot: no: a restart command would be refused"},
        {"CanPowerOff na", [](FakeProbes& p) { p.answers["CanPowerOff"] = "na"; }, Kind::Fail,
         "the login manager answers CanPowerOff: na: a shutdown command would be refused"},
        {"command port taken", [](FakeProbes& p) { p.tcpError = EADDRINUSE; }, Kind::Fail,
         "TCP port 9100 (commands) is in use by another program: the service could not listen "
         "for commands"},
        {"command port the service's",
         [](FakeProbes& p) {
             p.running = true;
             p.tcpError = EADDRINUSE;
         },
         Kind::Ok, "TCP port 9100 (commands) is in use, by the running service"},
        {"command port held by the socket unit",
         [](FakeProbes& p) {
             p.socketHeld = true;
             p.tcpError = EADDRINUSE;
         },
         Kind::Ok,
         "TCP port 9100 (commands) is held for the service by the service manager "
         "(norvahbd.socket)"},
        {"heartbeat port taken", [](FakeProbes& p) { p.udpError = EADDRINUSE; }, Kind::Fail,
         "UDP port 19188 (heartbeat) is in use by another program: the heartbeat could not "
         "start"},
        {"heartbeat port the service's",
         [](FakeProbes& p) {
             p.running = true;
             p.udpError = EADDRINUSE;
         },
         Kind::Ok, "UDP port 19188 (heartbeat) is in use, by the running service"},
        {"command port not allowed", [](FakeProbes& p) { p.tcpError = EACCES; }, Kind::Fail,
         "TCP port 9100 (commands) cannot be bound (Permission denied): the service could not "
         "listen for commands"},
    };
    dir.write("NorvaHB", kNetwork);
    options.settingsFile = dir / "NorvaHB";
    for (const Case& c : cases) {
        ServiceCheck check(options);
        check.checkSettings();
        FakeProbes probes;
        c.system(probes);
        check.checkSystem(probes);
        const auto lines = of(check, c.kind);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << c.name << "\n"
                                                                              << check.report();
        EXPECT_EQ(check.passed(), c.kind != Kind::Fail) << c.name;
    }
}

} // namespace
