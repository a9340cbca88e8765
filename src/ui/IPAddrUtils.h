#pragma once

#include <string>

namespace norva {

// Text helpers behind the IP address control. Addresses are plain ASCII dotted IPv4 text;
// Index and K count from 1.

// The Index-th piece of text split at delimiter; empty when there are fewer pieces.
std::string GetDelimitedPiece(const std::string& text, int Index, char delimiter);

// How often ch occurs in text.
int CountCharOccurrences(const std::string& text, char ch);

// True when every character is '0'..'9' (so also for the empty text).
bool IsAllDigits(const std::string& text);

// Four three-digit groups without dots, e.g. "192.168.1.10" -> "192168001010". A string
// longer than 15 characters or without exactly 3 dots is an AssertionFailed; an empty,
// over-long or zero-led piece is an Error.
std::string NormalizeIPString(const std::string& s);

// Checks that each group of the normalised form n is an octet 0..255; s is the address
// it came from, for the message.
void CheckNormalizedIP(const std::string& n, const std::string& s);

// Raises when s is not four dotted decimal octets.
void ValidateIPString(const std::string& s);

// Octet K (1..4) of the address s, or 0 for any other K. Raises like ValidateIPString.
int GetIPOctet(const std::string& s, int K);

} // namespace norva
