#pragma once

#include <string>
#include <utility>
#include <vector>

namespace norva {

// What one run of norvactl is asked to do, as read from its arguments.
struct CtlCommand {
    enum class Verb { Help, Status, Watch, Start, Stop, Clear, TestWarning, Get, Set };
    Verb verb = Verb::Help;
    // status: JSON instead of lines.
    bool json = false;
    // get: the settings asked for, in the bus's own spelling and in the order given; empty
    // for all of them.
    std::vector<std::string> keys;
    // set: "Section/Key" in the bus's spelling and the value, each already checked against
    // the settings' rules, in the order given.
    std::vector<std::pair<std::string, std::string>> values;
};

// norvactl's command line. Plain C++, so every rule of it is tested without a bus. The
// settings' names and rules come from SettingsSchema, the same the service checks with, so a
// value refused here would be refused there too, and the user hears about it before anything
// is sent (and before any password prompt).
class CtlCommandLine {
public:
    // The exit status of a command line that cannot be carried out as written.
    static constexpr int BadUsage = 2;

    struct Result {
        CtlCommand command;
        // Empty when the arguments were good; else one line for standard error, beginning
        // with the program's name, and the run ends with BadUsage.
        std::string error;
    };

    // `args` are the arguments without the program's name. "--help" anywhere asks for the
    // help text, whatever else is given.
    static Result parse(const std::vector<std::string>& args);

    // What --help prints: the same synopsis as the manual page, the commands, the keys and
    // the exit statuses.
    static std::string helpText();
};

} // namespace norva
