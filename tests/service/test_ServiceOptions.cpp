// norvahbd's command line, as a table: what each argument list gives, or the one error line.
#include "service/ServiceOptions.h"

#include <gtest/gtest.h>

using norva::ServiceOptions;
using Action = ServiceOptions::Action;

namespace {

struct Good {
    std::vector<std::string> args;
    Action action;
    std::string settings = ServiceOptions::DefaultSettingsFile;
    std::string lock = ServiceOptions::DefaultLockFile;
    std::uint16_t port = ServiceOptions::DefaultCommandPort;
};

TEST(ServiceOptions, GoodArguments) {
    const std::string settings = ServiceOptions::DefaultSettingsFile;
    const std::string lock = ServiceOptions::DefaultLockFile;
    const Good cases[] = {
        {{}, Action::Run},
        {{"--check"}, Action::Check},
        {{"--help"}, Action::Help},
        {{"--version"}, Action::Version},
        {{"--check", "--version"}, Action::Version},
        {{"--version", "--help", "--check"}, Action::Help},
        {{"--settings", "/etc/norvahb/NorvaHB"}, Action::Run, "/etc/norvahb/NorvaHB"},
        {{"--settings=/tmp/x/NorvaHB", "--check"}, Action::Check, "/tmp/x/NorvaHB"},
        {{"--lock", "/tmp/l", "--lock=/tmp/m"}, Action::Run, settings, "/tmp/m"},
        {{"--command-port", "19100"}, Action::Run, settings, lock, 19100},
        {{"--command-port=65535"}, Action::Run, settings, lock, 65535},
        // A value that looks like an option is still the value.
        {{"--lock", "--check"}, Action::Run, settings, "--check"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += " " + a;
        const ServiceOptions o = ServiceOptions::parse(c.args);
        EXPECT_EQ(o.error, "") << shown;
        EXPECT_EQ(o.action, c.action) << shown;
        EXPECT_EQ(o.settingsFile, c.settings) << shown;
        EXPECT_EQ(o.lockFile, c.lock) << shown;
        EXPECT_EQ(o.commandPort, c.port) << shown;
    }
}

// Bad arguments: one line that names the culprit (the program then ends with BadUsage).
TEST(ServiceOptions, BadArguments) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "norvahbd: unknown option '--bogus' (see norvahbd --help)"},
        {{"-c"}, "norvahbd: unknown option '-c' (see norvahbd --help)"},
        {{"check"}, "norvahbd: unexpected argument 'check' (see norvahbd --help)"},
        {{"--check=yes"}, "norvahbd: --check takes no value (see norvahbd --help)"},
        {{"--settings"}, "norvahbd: --settings needs a value (see norvahbd --help)"},
        {{"--lock="}, "norvahbd: --lock needs a path, not an empty text"},
        {{"--settings", "/etc/norvahb/norvahb.ini"},
         "norvahbd: --settings must name a file called NorvaHB, not '/etc/norvahb/norvahb.ini'"},
        {{"--settings", "/etc/norvahb/"},
         "norvahbd: --settings must name a file called NorvaHB, not '/etc/norvahb/'"},
        {{"--command-port", "0"},
         "norvahbd: --command-port needs a port number from 1 to 65535, not '0'"},
        {{"--command-port", "65536"},
         "norvahbd: --command-port needs a port number from 1 to 65535, not '65536'"},
        {{"--command-port=9100x"},
         "norvahbd: --command-port needs a port number from 1 to 65535, not '9100x'"},
        {{"--command-port", "+9100"},
         "norvahbd: --command-port needs a port number from 1 to 65535, not '+9100'"},
        {{"--command-port", "-1"},
         "norvahbd: --command-port needs a port number from 1 to 65535, not '-1'"},
        {{"--command-port"}, "norvahbd: --command-port needs a value (see norvahbd --help)"},
        // An error stands even beside --help.
        {{"--help", "--bogus"}, "norvahbd: unknown option '--bogus' (see norvahbd --help)"},
    };
    for (const auto& [args, error] : cases)
        EXPECT_EQ(ServiceOptions::parse(args).error, error) << args[0];
    EXPECT_EQ(ServiceOptions::BadUsage, 2);
}

TEST(ServiceOptions, ArgvSkipsTheProgramName) {
    const char* argv[] = {"norvahbd", "--command-port", "19100", "--check"};
    const ServiceOptions o = ServiceOptions::parse(4, argv);
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.action, Action::Check);
    EXPECT_EQ(o.commandPort, 19100);
    EXPECT_EQ(o.settingsFolder(), "/var/lib/norvahb");
}

// The texts name every option and its default, and the version is the project's.
TEST(ServiceOptions, HelpAndVersion) {
    const std::string help = ServiceOptions::helpText();
    for (const char* part : {"--settings PATH", "/var/lib/norvahb/NorvaHB", "--lock PATH",
                             "/run/norvahb/norvahbd.lock", "--command-port N", "(default 9100)",
                             "--check", "--help", "--version", "2 on bad arguments"})
        EXPECT_NE(help.find(part), std::string::npos) << part;
    EXPECT_EQ(ServiceOptions::versionText(), "norvahbd " NORVA_VERSION "\n");
}

} // namespace
