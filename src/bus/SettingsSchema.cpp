#include "bus/SettingsSchema.h"

#include "settings/SettingsRules.h"

#include <algorithm>
#include <exception>

namespace norva::bus {

namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace

const Setting* SettingsSchema::find(std::string_view name) {
    for (const Setting& s : setting::All)
        if (sameIgnoringCase(name, s.name))
            return &s;
    return nullptr;
}

std::string SettingsSchema::problem(std::string_view name, const std::string& value) {
    const Setting* s = find(name);
    if (!s)
        return std::string(name) + " is not a setting of the two pages";
    return problem(*s, value);
}

std::string SettingsSchema::problem(const Setting& setting, const std::string& value) {
    const std::string name(setting.name);
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20)
            return name + ": a value holds no control characters or line breaks";
    switch (setting.kind) {
    case Setting::Kind::Flag:
        if (value != "0" && value != "1")
            return name + ": \"0\" or \"1\"";
        break;
    case Setting::Kind::Number:
        // The page's fields take up to five digits; the heartbeat does not start on an empty
        // one, so an empty value is allowed as it is on the page.
        if (value.size() > 5 || !IsAllDigits(value))
            return name + ": up to five digits";
        break;
    case Setting::Kind::Address:
        try {
            ValidateIPString(value);
        } catch (const std::exception&) {
            return name + ": four dotted decimal numbers, such as 192.168.1.10";
        }
        break;
    case Setting::Kind::Port: {
        // Empty is what the heartbeat page stores when it lists no port to select.
        if (!value.empty() && value != "None" && ComPortNumber(value) == 0)
            return name + ": \"None\" or COM1 to " + ComPortName(HighestPort);
        break;
    }
    case Setting::Kind::Text:
        break;
    case Setting::Kind::Secret: {
        // Stored as sent or refused: the file reader drops blanks at either end and a pair of
        // quotes around the value, and a packet carries at most 21 bytes, so any of those
        // would store a password no device could send. An empty one would accept no command.
        auto edge = [](char c) { return c == ' ' || c == '"' || c == '\''; };
        if (value.empty() || value.size() > 21 || edge(value.front()) || edge(value.back()))
            return name + ": 1 to 21 bytes, with no blank or quote at either end";
        break;
    }
    }
    return std::string();
}

} // namespace norva::bus
