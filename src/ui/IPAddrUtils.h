#pragma once

#include <string>

namespace norva {

// The address text function only the IP address control needs; the rules an address must meet
// (ValidateIPString and the functions behind it) are settings rules, in settings/SettingsRules.h.

// Octet K (1..4) of the address s, or 0 for any other K. Raises like ValidateIPString.
int GetIPOctet(const std::string& s, int K);

} // namespace norva
