#include "service/ServiceOptions.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace norva {

namespace {

constexpr std::string_view Program = "norvahbd: ";
constexpr std::string_view SeeHelp = " (see norvahbd --help)";

std::optional<std::uint16_t> portNumber(const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || text[0] == '+' || ec != std::errc() || stop != end || value == 0 ||
        value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace

ServiceOptions ServiceOptions::parse(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    return parse(args);
}

ServiceOptions ServiceOptions::parse(const std::vector<std::string>& args) {
    ServiceOptions o;
    bool check = false, help = false, version = false;
    const auto fail = [&o](std::string text) {
        o.error = std::string(Program) + text;
        return o;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (name.starts_with("--")) {
            if (const auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
            }
        }

        if (name == "--check" || name == "--help" || name == "--version") {
            if (value)
                return fail(name + " takes no value" + std::string(SeeHelp));
            (name == "--check" ? check : name == "--help" ? help : version) = true;
            continue;
        }
        if (name != "--settings" && name != "--lock" && name != "--command-port") {
            if (name.starts_with("-"))
                return fail("unknown option '" + args[i] + "'" + std::string(SeeHelp));
            return fail("unexpected argument '" + args[i] + "'" + std::string(SeeHelp));
        }
        if (!value) {
            if (i + 1 == args.size())
                return fail(name + " needs a value" + std::string(SeeHelp));
            value = args[++i];
        }

        if (name == "--command-port") {
            const auto port = portNumber(*value);
            if (!port)
                return fail("--command-port needs a port number from 1 to 65535, not '" + *value +
                            "'");
            o.commandPort = *port;
        } else if (value->empty()) {
            return fail(name + " needs a path, not an empty text");
        } else if (name == "--settings") {
            o.settingsFile = *value;
            if (o.settingsFile.filename() != "NorvaHB")
                return fail("--settings must name a file called NorvaHB, not '" + *value + "'");
        } else {
            o.lockFile = *value;
        }
    }

    o.action = help      ? Action::Help
               : version ? Action::Version
               : check   ? Action::Check
                         : Action::Run;
    return o;
}

std::string ServiceOptions::helpText() {
    return std::string("Usage: norvahbd [OPTION]...\n"
                       "The NorvaHB system service: sends the heartbeat to a Norva power "
                       "controller and hears\n"
                       "its restart and shutdown commands, from boot on, with nobody logged in.\n"
                       "\n"
                       "  --settings PATH    the settings file, named NorvaHB (default ") +
           DefaultSettingsFile +
           ")\n"
           "  --lock PATH        the single-instance lock file (default " +
           DefaultLockFile +
           ")\n"
           "  --command-port N   the TCP port for the device's commands (default " +
           std::to_string(DefaultCommandPort) +
           ")\n"
           "  --check            check the settings, the login manager and the ports, say "
           "what the\n"
           "                     service would do, then end: exit status 0 when every check "
           "passed,\n"
           "                     1 otherwise\n"
           "  --help             show this help and end\n"
           "  --version          show the version and end\n"
           "\n"
           "Exit status: 0 on a normal end, 1 on a failure, 2 on bad arguments.\n";
}

std::string ServiceOptions::versionText() {
    return std::string("norvahbd ") + NORVA_VERSION + "\n";
}

} // namespace norva
