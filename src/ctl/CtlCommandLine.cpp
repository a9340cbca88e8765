#include "ctl/CtlCommandLine.h"

#include "bus/SettingsSchema.h"

#include <algorithm>

namespace norva {

namespace {

using Verb = CtlCommand::Verb;

struct VerbName {
    const char* name;
    Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"status", Verb::Status}, {"watch", Verb::Watch}, {"start", Verb::Start},
    {"stop", Verb::Stop},     {"clear", Verb::Clear}, {"test-warning", Verb::TestWarning},
    {"get", Verb::Get},       {"set", Verb::Set},
};

std::string AllKeys() {
    std::string out;
    for (const bus::Setting& s : bus::SettingsSchema::all())
        out += (out.empty() ? "" : ", ") + std::string(s.name);
    return out;
}

// The keys, after `lead`, wrapped to fit a terminal of 80 columns.
std::string KeysWrapped(const std::string& lead) {
    std::string out = lead, line = lead;
    const std::string indent(lead.size(), ' ');
    bool first = true;
    for (const bus::Setting& s : bus::SettingsSchema::all()) {
        const std::string word =
            std::string(s.name) + (&s == &bus::SettingsSchema::all().back() ? "" : ",");
        if (!first && line.size() + 1 + word.size() > 78) {
            out += "\n" + indent;
            line = indent;
        } else if (!first) {
            out += ' ';
            line += ' ';
        }
        out += word;
        line += word;
        first = false;
    }
    return out + "\n";
}

CtlCommandLine::Result Bad(std::string line) {
    return {CtlCommand{}, "norvactl: " + line};
}

// The setting `name` names, whatever its case; an error line when it names none.
const bus::Setting* Setting(const std::string& name, std::string* error) {
    const bus::Setting* s = bus::SettingsSchema::find(name);
    if (s == nullptr)
        *error = "norvactl: no setting is called '" + name + "'; the settings are " + AllKeys();
    return s;
}

} // namespace

CtlCommandLine::Result CtlCommandLine::parse(const std::vector<std::string>& args) {
    // Help wins over everything else on the line, so `norvactl set --help` is no error.
    if (std::find(args.begin(), args.end(), "--help") != args.end() ||
        std::find(args.begin(), args.end(), "-h") != args.end()) {
        CtlCommand help;
        help.verb = Verb::Help;
        return {help, std::string()};
    }
    if (args.empty())
        return Bad("no command given; see norvactl --help");

    CtlCommand command;
    const auto known = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                    [&](const VerbName& v) { return args[0] == v.name; });
    if (known == std::end(kVerbs)) {
        if (args[0].starts_with("-"))
            return Bad("unknown option '" + args[0] + "'; see norvactl --help");
        return Bad("unknown command '" + args[0] + "'; see norvactl --help");
    }
    command.verb = known->verb;

    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--json" && command.verb == Verb::Status) {
            command.json = true;
            continue;
        }
        // A value of `set` may begin with a dash, its key never does.
        if (arg.starts_with("-"))
            return Bad("unknown option '" + arg + "' for " + args[0] + "; see norvactl --help");

        std::string error;
        switch (command.verb) {
        case Verb::Get: {
            const bus::Setting* s = Setting(arg, &error);
            if (s == nullptr)
                return {CtlCommand{}, error};
            if (s->kind == bus::Setting::Kind::Secret)
                return Bad(std::string(s->name) + " is never shown");
            command.keys.emplace_back(s->name);
            break;
        }
        case Verb::Set: {
            const std::size_t equals = arg.find('=');
            if (equals == std::string::npos)
                return Bad("'" + arg + "' is not KEY=VALUE");
            const bus::Setting* s = Setting(arg.substr(0, equals), &error);
            if (s == nullptr)
                return {CtlCommand{}, error};
            const std::string value = arg.substr(equals + 1);
            const std::string problem = bus::SettingsSchema::problem(*s, value);
            if (!problem.empty())
                return Bad(problem);
            const bool twice =
                std::any_of(command.values.begin(), command.values.end(),
                            [&](const auto& given) { return given.first == s->name; });
            if (twice)
                return Bad(std::string(s->name) + " is given twice");
            command.values.emplace_back(std::string(s->name), value);
            break;
        }
        default:
            return Bad(args[0] + " takes no argument ('" + arg + "')");
        }
    }
    if (command.verb == Verb::Set && command.values.empty())
        return Bad("set needs at least one KEY=VALUE");
    return {command, std::string()};
}

std::string CtlCommandLine::helpText() {
    return std::string(
               "Usage: norvactl status [--json]\n"
               "       norvactl watch\n"
               "       norvactl start | stop | clear | test-warning\n"
               "       norvactl get [KEY...]\n"
               "       norvactl set KEY=VALUE...\n"
               "       norvactl --help\n"
               "\n"
               "Ask and control the NorvaHB service (norvahbd) over the system bus.\n"
               "\n"
               "Commands:\n"
               "  status [--json]   the heartbeat's mode and state, the counters, the device's\n"
               "                    address, the warning and the sleep lock (--json: as JSON)\n"
               "  watch             a time-stamped line for every event the service announces,\n"
               "                    until interrupted\n"
               "  start, stop       start or stop the heartbeat\n"
               "  clear             clear the counters\n"
               "  test-warning      show the ten-second warning as a test; no restart follows\n"
               "  get [KEY...]      the settings, all or those named (never the password)\n"
               "  set KEY=VALUE...  store the values given, all of them together or none\n"
               "\n") +
           KeysWrapped("Keys: ") +
           "\n"
           "Exit status: 0 done (status: the device responds); 1 refused, or the service\n"
           "could not be reached (status: the device does not respond); 2 bad usage;\n"
           "3 (status) the heartbeat is stopped or the service is not running.\n";
}

} // namespace norva
