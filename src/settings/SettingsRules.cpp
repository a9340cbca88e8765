#include "settings/SettingsRules.h"

#include "platform/Error.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsKeys.h"

#include <algorithm>
#include <cstddef>

namespace norva {

namespace {

const std::string kIllegalSymbols = "IP Address contains illegal symbols";

// Value of a short run of digits; the callers have checked IsAllDigits and the length.
int DigitsValue(const std::string& digits) {
    int value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::string GetDelimitedPiece(const std::string& text, int Index, char delimiter) {
    if (Index < 1) {
        return {};
    }
    std::size_t start = 0;
    for (int piece = 1; piece < Index; ++piece) {
        const std::size_t next = text.find(delimiter, start);
        if (next == std::string::npos) {
            return {};
        }
        start = next + 1;
    }
    const std::size_t end = text.find(delimiter, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

int CountCharOccurrences(const std::string& text, char ch) {
    return static_cast<int>(std::count(text.begin(), text.end(), ch));
}

bool IsAllDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string NormalizeIPString(const std::string& s) {
    if (s.size() > 15) {
        throw NORVA_ASSERTION_FAILED("Illegal length for IPString![" + s + "(" +
                                     std::to_string(s.size()) + ")]");
    }
    if (CountCharOccurrences(s, '.') != 3) {
        throw NORVA_ASSERTION_FAILED("Must include exactly 3 dots! [" + s + "]");
    }
    std::string result;
    for (int K = 1; K <= 4; ++K) {
        const std::string piece = GetDelimitedPiece(s, K, '.');
        if (piece.empty() || piece.size() > 3) {
            throw Error("IPAddress must include 4 pieces of length 1..3. IPAddressString[" + s +
                        "]");
        }
        if (piece.size() > 1 && piece[0] == '0') {
            throw Error("Leading zero not allowed. IPAddressString[" + s + "]");
        }
        result += std::string(3 - piece.size(), '0') + piece;
    }
    return result;
}

void CheckNormalizedIP(const std::string& n, const std::string& s) {
    if (n.size() != 12) {
        throw NORVA_ASSERTION_FAILED("Illegal length for IPString![" + s +
                                     " (Length:" + std::to_string(n.size()) + ") ]");
    }
    for (int K = 1; K <= 4; ++K) {
        const std::string group = n.substr(static_cast<std::size_t>(3 * K - 3), 3);
        if (!IsAllDigits(group)) {
            throw Error(kIllegalSymbols + ". IPAddressString[" + s + "]");
        }
        if (DigitsValue(group) > 255) {
            throw Error("Triplets must be of range 0..255  IPAddressString[" + s + "]");
        }
    }
}

void ValidateIPString(const std::string& s) {
    CheckNormalizedIP(NormalizeIPString(s), s);
}

std::string ComPortName(std::uint16_t n) {
    std::string name = "COM"; // appended: GCC 12 warns falsely about "COM" + string
    name += std::to_string(n);
    return name;
}

std::uint16_t ComPortNumber(std::string_view text) {
    // Compared with each name in turn, so only the exact spelling of a listed port counts.
    for (std::uint16_t n = 1; n <= HighestPort; ++n)
        if (text == ComPortName(n))
            return n;
    return 0;
}

bool HeartbeatFieldsFilled(std::string_view address, std::string_view port, std::string_view freq,
                           std::string_view fail) {
    return !address.empty() && !port.empty() && !freq.empty() && !fail.empty();
}

bool StoredHeartbeatFieldsFilled(const SettingsFile& file) {
    return HeartbeatFieldsFilled(file.ReadString(keys::IPAddr, PageAddressFallback),
                                 file.ReadString(keys::Port), file.ReadString(keys::Freq),
                                 file.ReadString(keys::FailCount));
}

StoredPassword StoredPasswordOf(const SettingsFile& file) {
    // A control character cannot be stored in the file, so this fallback means "missing".
    const std::string value = file.ReadString(keys::Password, "\x01");
    if (value == "\x01")
        return StoredPassword::Missing;
    return value.find_first_not_of(" \t") == std::string::npos ? StoredPassword::Empty
                                                               : StoredPassword::Set;
}

std::string StoredPasswordProblem(StoredPassword state) {
    switch (state) {
    case StoredPassword::Missing:
        return "no command password is stored (GSD/Password): commands are checked against the "
               "built-in default password, which anyone can look up; set your own "
               "on the shutdown page";
    case StoredPassword::Empty:
        return "the stored command password (GSD/Password) is empty: no command is accepted "
               "until a password is set on the shutdown page";
    case StoredPassword::Set:
        break;
    }
    return std::string();
}

} // namespace norva
