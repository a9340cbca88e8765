#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace norva {

// The command line of norvahbd:
//
//   --settings PATH     the settings file (default /var/lib/norvahb/NorvaHB: the unit's
//                       StateDirectory=norvahb, a folder the service may write, which the
//                       crash-safe write needs for its temporary file). The file keeps the
//                       name "NorvaHB", so a desktop user's ~/.config/NorvaHB can be copied
//                       there as it is; a path with another last name is refused.
//   --lock PATH         the single-instance lock (default /run/norvahb/norvahbd.lock)
//   --command-port N    the TCP port of the command listener, 1 to 65535 (default 9100; tests
//                       pass another)
//   --check             check the settings, the login manager and the ports, say what the
//                       service would do, and end (see ServiceCheck)
//   --help, --version   say so and end
//
// Options take their value as the next argument or after "=" ("--lock=/x"); a repeated option
// keeps its last value. With several actions, --help wins over --version, and either over
// --check. Any other argument, a missing or empty value, or a bad port number is an error:
// parse() sets `error` to one line naming the culprit, which begins with "norvahbd: ", and the
// program prints it as it is to standard error and ends with BadUsage (2), before doing
// anything else.
class ServiceOptions {
public:
    enum class Action { Run, Check, Help, Version };

    static constexpr const char* DefaultSettingsFile = "/var/lib/norvahb/NorvaHB";
    static constexpr const char* DefaultLockFile = "/run/norvahb/norvahbd.lock";
    static constexpr std::uint16_t DefaultCommandPort = 9100;
    static constexpr int BadUsage = 2;

    Action action = Action::Run;
    std::filesystem::path settingsFile = DefaultSettingsFile;
    std::filesystem::path lockFile = DefaultLockFile;
    std::uint16_t commandPort = DefaultCommandPort;
    // Empty unless the arguments were bad: then the one line to print.
    std::string error;

    // The folder that holds the settings file, as SettingsFile takes it.
    std::filesystem::path settingsFolder() const { return settingsFile.parent_path(); }

    // The arguments after the program's name.
    static ServiceOptions parse(const std::vector<std::string>& args);
    static ServiceOptions parse(int argc, const char* const* argv);

    // What --help and --version print (each ends with a line break).
    static std::string helpText();
    static std::string versionText();
};

} // namespace norva
