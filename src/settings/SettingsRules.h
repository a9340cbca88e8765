#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norva {

class SettingsFile;

// The rules a settings value has to meet, in plain C++, so that everything that takes a value
// (the settings pages, the service's bus, its start-up and --check) asks the same question
// and gets the same answer and the same error text.

// --- Address text ----------------------------------------------------------------------------
// Addresses are plain ASCII dotted IPv4 text; Index counts from 1.

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

// --- Serial ports ----------------------------------------------------------------------------

// The serial ports are numbered COM1 to COM<HighestPort>: every list of ports, every check of
// a stored port and every port the settings may hold stays within this range.
inline constexpr std::uint16_t HighestPort = 50;

// "COM" followed by n in decimal: how a port is listed, stored and named in messages.
std::string ComPortName(std::uint16_t n);

// The n from 1 to HighestPort whose ComPortName is exactly text (case and all, so "com3",
// "COM03" and "COM51" are none), or 0. "None", the stored choice of no port, is 0 too.
std::uint16_t ComPortNumber(std::string_view text);

// --- The heartbeat page ----------------------------------------------------------------------

// What the heartbeat page's address field shows when no address is stored.
inline constexpr std::string_view PageAddressFallback = "0.0.0.0";

// Whether the address, "Port", "Freq" and "Fail" fields all hold something: nothing starts
// the network heartbeat without them, and Start starts nothing while one is empty.
bool HeartbeatFieldsFilled(std::string_view address, std::string_view port, std::string_view freq,
                           std::string_view fail);

// The same for the stored settings, read as the heartbeat page's fill shows them: a missing
// key shows the page's default (the address PageAddressFallback), so only a key stored empty
// leaves its field empty.
bool StoredHeartbeatFieldsFilled(const SettingsFile& file);

// --- The shutdown page -----------------------------------------------------------------------

// The command password as stored. Missing, the command port compares with the built-in default
// ("ferno"): a device with factory settings must still command, but anyone can look that up.
// Stored empty (or blanks, or "" in quotes: the file reads them all as empty) it is no password
// and no command is accepted.
enum class StoredPassword { Set, Missing, Empty };
StoredPassword StoredPasswordOf(const SettingsFile& file);
// One line saying what the state means for the command port; empty for Set. The service logs it
// at every start (a warning, an error for Empty), --check fails with it, the desktop program
// shows it in its log at its start.
std::string StoredPasswordProblem(StoredPassword state);

} // namespace norva
