#pragma once

#include "settings/SettingsKeys.h"

#include <span>
#include <string>
#include <string_view>

namespace norva::bus {

// One value of the two settings pages as it crosses the bus (ReadSettings, ApplySettings):
// its name there, "Section/Key" in the settings file's own spelling; what kind of value it
// is, which decides the rule a stored value must follow; the page it belongs to; and the key
// of the settings file it is.
struct Setting {
    enum class Kind {
        Flag,    // "0" or "1"
        Number,  // up to five digits, or empty as the page allows
        Address, // four dotted decimal numbers
        Port,    // "None" or COM1 to COM50
        Text,    // anything on one line
        Secret,  // 1 to 21 bytes on one line, no blank or quote at either end; never read out
    };
    enum class Page { Heartbeat, Shutdown };

    std::string_view name;
    Kind kind;
    Page page;
    TextKey key; // a flag's fallback is unused: ReadBool has its own

    constexpr FlagKey flag() const { return {key.section, key.name}; }
};

namespace setting {

constexpr TextKey asText(const FlagKey& key) {
    return {key.section, key.name, ""};
}

using K = Setting::Kind;
using P = Setting::Page;

inline constexpr Setting StartInTray{"Setup/StartInTray", K::Flag, P::Heartbeat,
                                     asText(keys::StartInTray)};
inline constexpr Setting ShowStatusInTray{"Setup/ShowStatusInTray", K::Flag, P::Heartbeat,
                                          asText(keys::ShowStatusInTray)};
inline constexpr Setting Network{"Setup/Network", K::Flag, P::Heartbeat, asText(keys::Network)};
inline constexpr Setting USB{"Setup/USB", K::Flag, P::Heartbeat, asText(keys::USB)};
inline constexpr Setting IPAddr{"Setup/IPAddr", K::Address, P::Heartbeat, keys::IPAddr};
inline constexpr Setting Port{"Setup/Port", K::Number, P::Heartbeat, keys::Port};
inline constexpr Setting Freq{"Setup/Freq", K::Number, P::Heartbeat, keys::Freq};
inline constexpr Setting FailCount{"Setup/FailCount", K::Number, P::Heartbeat, keys::FailCount};
inline constexpr Setting ComPort{"Setup/ComPort", K::Port, P::Heartbeat, keys::ComPort};
// Written in the spelling the shutdown page's Apply uses; read whatever its case.
inline constexpr Setting Username{"GSD/username", K::Text, P::Shutdown, keys::usernameWritten};
inline constexpr Setting Password{"GSD/Password", K::Secret, P::Shutdown, keys::Password};
inline constexpr Setting AlertPedningAction{"GSD/AlertPedningAction", K::Flag, P::Shutdown,
                                            asText(keys::AlertPedningAction)};

inline constexpr Setting All[] = {
    StartInTray, ShowStatusInTray, Network, USB,      IPAddr,   Port,
    Freq,        FailCount,        ComPort, Username, Password, AlertPedningAction};

// The name on the bus is the file's section and key, so a caller who knows the file knows
// the bus, and the two cannot drift apart.
constexpr bool NamedAsInTheFile(const Setting& s) {
    return s.name.size() == s.key.section.size() + 1 + s.key.name.size() &&
           s.name.substr(0, s.key.section.size()) == s.key.section &&
           s.name[s.key.section.size()] == '/' &&
           s.name.substr(s.key.section.size() + 1) == s.key.name;
}
constexpr bool AllNamedAsInTheFile() {
    for (const Setting& s : All)
        if (!NamedAsInTheFile(s))
            return false;
    return true;
}
static_assert(AllNamedAsInTheFile(), "a setting's bus name is its section/key in the file");

} // namespace setting

// The rules of the settings that cross the bus: which names there are, and which values each
// takes. The service checks every value of an ApplySettings call with them before it stores
// any; a front end can ask them before it sends.
class SettingsSchema {
public:
    static std::span<const Setting> all() { return setting::All; }

    // The setting called `name`, whatever its case (as the file's keys); null when there is none.
    static const Setting* find(std::string_view name);

    // Why `value` cannot be stored under `name`, one line naming the setting and what it
    // takes; empty when it can.
    static std::string problem(std::string_view name, const std::string& value);
    static std::string problem(const Setting& setting, const std::string& value);
};

} // namespace norva::bus
