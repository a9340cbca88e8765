#include "ui/IPAddrUtils.h"

#include "platform/StrToInt.h"
#include "settings/SettingsRules.h"

#include <cstddef>

namespace norva {

int GetIPOctet(const std::string& s, int K) {
    const std::string n = NormalizeIPString(s);
    CheckNormalizedIP(n, s);
    if (K < 1 || K > 4) {
        return 0;
    }
    return StrToInt(n.substr(static_cast<std::size_t>(3 * K - 3), 3));
}

} // namespace norva
