#include "ctl/CtlCommandLine.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace norva {
namespace {

using Verb = CtlCommand::Verb;
using Args = std::vector<std::string>;

struct Good {
    Args args;
    Verb verb;
    bool json;
};

TEST(CtlCommandLineTest, ReadsEveryCommand) {
    const Good cases[] = {
        {{"status"}, Verb::Status, false},
        {{"status", "--json"}, Verb::Status, true},
        {{"watch"}, Verb::Watch, false},
        {{"start"}, Verb::Start, false},
        {{"stop"}, Verb::Stop, false},
        {{"clear"}, Verb::Clear, false},
        {{"test-warning"}, Verb::TestWarning, false},
        {{"get"}, Verb::Get, false},
        {{"--help"}, Verb::Help, false},
        {{"-h"}, Verb::Help, false},
        // Help wins over whatever else the line holds, a mistake included.
        {{"set", "--help"}, Verb::Help, false},
        {{"frobnicate", "--help"}, Verb::Help, false},
    };
    for (const Good& c : cases) {
        const auto r = CtlCommandLine::parse(c.args);
        SCOPED_TRACE(c.args.front());
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.command.verb, c.verb);
        EXPECT_EQ(r.command.json, c.json);
    }
}

TEST(CtlCommandLineTest, RefusesBadUsageWithOneLineSayingWhatIsWrong) {
    const std::pair<Args, std::string> cases[] = {
        {{}, "norvactl: no command given; see norvactl --help"},
        {{"frobnicate"}, "norvactl: unknown command 'frobnicate'; see norvactl --help"},
        {{"--json"}, "norvactl: unknown option '--json'; see norvactl --help"},
        {{"watch", "--json"}, "norvactl: unknown option '--json' for watch; see norvactl --help"},
        {{"status", "-v"}, "norvactl: unknown option '-v' for status; see norvactl --help"},
        {{"start", "now"}, "norvactl: start takes no argument ('now')"},
        {{"set"}, "norvactl: set needs at least one KEY=VALUE"},
        {{"set", "Setup/Freq"}, "norvactl: 'Setup/Freq' is not KEY=VALUE"},
        {{"set", "Setup/Freq=5", "Setup/freq=6"}, "norvactl: Setup/Freq is given twice"},
        {{"get", "GSD/Password"}, "norvactl: GSD/Password is never shown"},
        // A bad value: named with its key and what that key takes, before anything is sent.
        {{"set", "Setup/Freq=5", "Setup/Port=12x"}, "norvactl: Setup/Port: up to five digits"},
        {{"set", "Setup/IPAddr=10.0.0"},
         "norvactl: Setup/IPAddr: four dotted decimal numbers, such as 192.168.1.10"},
        {{"set", "Setup/ComPort=COM51"}, "norvactl: Setup/ComPort: \"None\" or COM1 to COM50"},
        {{"set", "Setup/Network=yes"}, "norvactl: Setup/Network: \"0\" or \"1\""},
        {{"set", "GSD/Password="},
         "norvactl: GSD/Password: 1 to 21 bytes, with no blank or quote at either end"},
    };
    for (const auto& [args, error] : cases) {
        const auto r = CtlCommandLine::parse(args);
        EXPECT_EQ(r.error, error);
    }
    EXPECT_EQ(CtlCommandLine::BadUsage, 2);
}

TEST(CtlCommandLineTest, AnUnknownKeyListsTheKeys) {
    for (const Args& args : {Args{"get", "Setup/Frequency"}, Args{"set", "Run/IsStarted=1"}}) {
        const auto r = CtlCommandLine::parse(args);
        EXPECT_TRUE(r.error.starts_with("norvactl: no setting is called '")) << r.error;
        EXPECT_NE(r.error.find("the settings are Setup/StartInTray,"), std::string::npos);
        EXPECT_NE(r.error.find("GSD/AlertPedningAction"), std::string::npos);
    }
}

TEST(CtlCommandLineTest, KeysAreTakenInAnyCaseAndSpeltAsTheBusSpellsThem) {
    auto r = CtlCommandLine::parse({"get", "setup/ipaddr", "GSD/USERNAME"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.command.keys, (std::vector<std::string>{"Setup/IPAddr", "GSD/username"}));

    // Only the first '=' divides; a value may hold more, begin with a dash, or be empty
    // where the key allows it.
    r = CtlCommandLine::parse({"set", "setup/freq=5", "GSD/username=-a=b", "Setup/Port="});
    ASSERT_EQ(r.error, "");
    using V = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(r.command.values,
              (V{{"Setup/Freq", "5"}, {"GSD/username", "-a=b"}, {"Setup/Port", ""}}));
}

TEST(CtlCommandLineTest, HelpFitsATerminalAndBeginsWithTheSynopsis) {
    const std::string help = CtlCommandLine::helpText();
    EXPECT_TRUE(help.starts_with("Usage: norvactl status [--json]\n"
                                 "       norvactl watch\n"
                                 "       norvactl start | stop | clear | test-warning\n"
                                 "       norvactl get [KEY...]\n"
                                 "       norvactl set KEY=VALUE...\n"
                                 "       norvactl --help\n"));
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 79u) << line;
    EXPECT_NE(help.find("GSD/AlertPedningAction"), std::string::npos);
}

} // namespace
} // namespace norva
