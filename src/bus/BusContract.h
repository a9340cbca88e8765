#pragma once

#include <string_view>

// The bus interface between norvahbd and whatever follows it, spelt once: the service
// (ServiceBus), its client (ServiceClient), the front end and the tests take every name and
// every fixed text that crosses the bus from here. packaging/dbus/com.norva.NorvaHB1.xml
// documents the same interface for other programs; tests/bus/qtest_BusContract.cpp holds the
// two together, and tests/service/qtest_ServiceBus.cpp holds ServiceBus's exported members
// (whose names moc takes from the class itself) to this list. A name changed here changes
// the interface that installed front ends, scripts and the admin's tools call.
//
// The settings that cross the bus, with their kinds and rules, are in SettingsSchema.h.
// Plain C++: the service's plain parts (--check) use it too.
namespace norva::bus {

inline constexpr char ServiceName[] = "com.norva.NorvaHB1";
inline constexpr char ObjectPath[] = "/com/norva/NorvaHB1";
inline constexpr char Interface[] = "com.norva.NorvaHB1";
// Where PropertiesChanged comes from and GetAll is asked.
inline constexpr char PropertiesInterface[] = "org.freedesktop.DBus.Properties";

// A member of the interface with its D-Bus signature: a property's type, a signal's
// arguments, a method's in-arguments (and `out`, its out-arguments), in the interface's order.
struct Member {
    std::string_view name;
    std::string_view signature;
    std::string_view out = "";
};

// The polkit actions a guarded call needs (packaging/polkit/com.norva.NorvaHB1.policy).
namespace action {
// Start, Stop, Clear.
inline constexpr char Control[] = "com.norva.NorvaHB1.control";
// ApplySettings, TestWarning.
inline constexpr char Configure[] = "com.norva.NorvaHB1.configure";
} // namespace action

// The errors a method call fails with.
namespace error {
// Polkit said anything but yes; nothing changed. The message is one of the refusal texts.
inline constexpr char NotAuthorized[] = "com.norva.NorvaHB1.Error.NotAuthorized";
// ApplySettings refused a value; the message names the key and what it takes.
inline constexpr char InvalidSettings[] = "com.norva.NorvaHB1.Error.InvalidSettings";
// The call was allowed and failed (the settings file could not be written, ...).
inline constexpr char Failed[] = "com.norva.NorvaHB1.Error.Failed";
// An authorization check for the same caller is still under way (a password prompt open);
// nothing was done. One check at a time per caller, so no caller can pile them up.
inline constexpr char Busy[] = "com.norva.NorvaHB1.Error.Busy";
} // namespace error

// The message of a NotAuthorized error: which answer polkit gave. The client tells them
// apart, so the user hears whether they cancelled, may not, or nobody could be asked.
namespace refusal {
inline constexpr char Refused[] = "not authorized";
inline constexpr char Cancelled[] = "the authentication was cancelled";
// Followed by ": " and the reason polkit could not be asked.
inline constexpr char Unchecked[] = "the authorization could not be checked";
} // namespace refusal

namespace method {
inline constexpr char Start[] = "Start";
inline constexpr char Stop[] = "Stop";
inline constexpr char Clear[] = "Clear";
inline constexpr char ReadSettings[] = "ReadSettings";
inline constexpr char ApplySettings[] = "ApplySettings";
inline constexpr char TestWarning[] = "TestWarning";
// Needs no polkit action: it only takes the warning off screen (the count goes on).
inline constexpr char CloseWarning[] = "CloseWarning";
// Needs the control action, checked with the caller's interactive flag: from then on, until
// the caller leaves the bus, StatusLine and LogLine are sent to it (and only to such callers),
// since they tell which packets on the command port had the right credentials.
inline constexpr char FollowLines[] = "FollowLines";

inline constexpr Member All[] = {
    {Start, ""},
    {Stop, ""},
    {Clear, ""},
    {ReadSettings, "", "a{ss}"},
    {ApplySettings, "a{ss}"},
    {TestWarning, ""},
    {CloseWarning, ""},
    {FollowLines, ""},
};
} // namespace method

namespace prop {
inline constexpr char Mode[] = "Mode";
inline constexpr char State[] = "State";
inline constexpr char NetworkSent[] = "NetworkSent";
inline constexpr char NetworkReceived[] = "NetworkReceived";
inline constexpr char NetworkNak[] = "NetworkNak";
inline constexpr char NetworkMissed[] = "NetworkMissed";
inline constexpr char UsbSent[] = "UsbSent";
inline constexpr char UsbReceived[] = "UsbReceived";
inline constexpr char UsbMissed[] = "UsbMissed";
inline constexpr char DeviceAddress[] = "DeviceAddress";
inline constexpr char WarningOnScreen[] = "WarningOnScreen";
inline constexpr char WarningMode[] = "WarningMode";
inline constexpr char WarningCountdown[] = "WarningCountdown";
// The sleep lock is held; the PC may sleep while the heartbeat runs (a delay lock, not a block).
inline constexpr char SleepInhibited[] = "SleepInhibited";
inline constexpr char AllowSleep[] = "AllowSleep";
// Commands rejected on the command port since the service started, whatever the reason: the
// count every caller may read, where the lines themselves go only to FollowLines callers.
inline constexpr char RejectedCommands[] = "RejectedCommands";
// Empty while a command password is stored; else the line saying what that means (missing:
// the built-in default commands; empty: nothing does). A front end shows it once.
inline constexpr char CommandPasswordProblem[] = "CommandPasswordProblem";

inline constexpr Member All[] = {
    {Mode, "s"},
    {State, "s"},
    {NetworkSent, "u"},
    {NetworkReceived, "u"},
    {NetworkNak, "u"},
    {NetworkMissed, "u"},
    {UsbSent, "u"},
    {UsbReceived, "u"},
    {UsbMissed, "u"},
    {DeviceAddress, "s"},
    {WarningOnScreen, "b"},
    {WarningMode, "y"},
    {WarningCountdown, "i"},
    {SleepInhibited, "b"},
    {AllowSleep, "b"},
    {RejectedCommands, "u"},
    {CommandPasswordProblem, "s"},
};
} // namespace prop

namespace sig {
inline constexpr char NoResponse[] = "NoResponse";
inline constexpr char Answered[] = "Answered";
inline constexpr char DeviceMessage[] = "DeviceMessage";
inline constexpr char CommandAccepted[] = "CommandAccepted";
inline constexpr char WarningShown[] = "WarningShown";
inline constexpr char WarningTicked[] = "WarningTicked";
inline constexpr char WarningEnded[] = "WarningEnded";
inline constexpr char Caption[] = "Caption";
// These two are sent only to the callers that FollowLines allowed (a signal with a
// destination), never broadcast: "Bad Password" and the command lines are per packet.
inline constexpr char StatusLine[] = "StatusLine";
inline constexpr char LogLine[] = "LogLine";
inline constexpr char PowerRequestFailed[] = "PowerRequestFailed";
inline constexpr char Error[] = "Error";

inline constexpr Member All[] = {
    {NoResponse, "s"},   {Answered, ""},       {DeviceMessage, "s"},       {CommandAccepted, "ss"},
    {WarningShown, "y"}, {WarningTicked, "i"}, {WarningEnded, ""},         {Caption, "s"},
    {StatusLine, "s"},   {LogLine, "s"},       {PowerRequestFailed, "ss"}, {Error, "s"},
};
} // namespace sig

// The values of the State property.
namespace state {
inline constexpr char Responding[] = "responding";
inline constexpr char NotResponding[] = "not responding";
inline constexpr char Stopped[] = "stopped";
// Started in USB mode, the serial device missing or gone; the heartbeat resumes when it is back.
inline constexpr char WaitingForSerialDevice[] = "waiting for the serial device";
// Started, and paused while the PC sleeps.
inline constexpr char Sleeping[] = "sleeping";
} // namespace state

// The values of the Mode property: the heartbeat's mode as stored.
namespace mode {
inline constexpr char None[] = "none";
inline constexpr char Network[] = "network";
inline constexpr char Usb[] = "usb";
} // namespace mode

} // namespace norva::bus
