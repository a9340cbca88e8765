#include "service/ServiceCheck.h"

#include "bus/BusContract.h"
#include "commands/AddressFilter.h"
#include "platform/Error.h"
#include "platform/StrToInt.h"
#include "service/CheckProbes.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRules.h"
#include "transport/ComPortMap.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace norva {

namespace {

std::string name(const TextKey& key) {
    return std::string(key.section) + "/" + std::string(key.name);
}

bool accessible(const std::filesystem::path& path, int mode, int& error) {
    if (::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0)
        return true;
    error = errno;
    return false;
}

} // namespace

bool ServiceCheck::passed() const {
    for (const auto& line : lines_)
        if (line.kind == Kind::Fail)
            return false;
    return true;
}

std::string ServiceCheck::report() const {
    std::string out;
    for (const auto& [kind, text] : lines_) {
        out += kind == Kind::Info      ? "info  "
               : kind == Kind::Ok      ? "ok    "
               : kind == Kind::Warning ? "warn  "
                                       : "FAIL  ";
        out += text;
        out += '\n';
    }
    return out;
}

void ServiceCheck::checkSettings() {
    const auto& path = options_.settingsFile;
    const auto folder =
        options_.settingsFolder().empty() ? std::filesystem::path(".") : options_.settingsFolder();
    add(Kind::Info, "settings file: " + path.string());

    // The file: readable, and replaceable by the service's crash-safe write.
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    int error = 0;
    if (!exists) {
        add(Kind::Fail, "the settings file does not exist: every setting would have its "
                        "default (no heartbeat mode, the default command password)");
    } else if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd < 0) {
        add(Kind::Fail, "cannot read the settings file: " + std::string(std::strerror(errno)));
    } else {
        ::close(fd);
        add(Kind::Ok, "the settings file can be read");
    }
    if (exists && !accessible(path, R_OK | W_OK, error))
        add(Kind::Fail,
            "the settings file cannot be changed: " + std::string(std::strerror(error)));
    else if (!accessible(folder, W_OK | X_OK, error))
        add(Kind::Fail, "the settings folder " + folder.string() +
                            " cannot be written (the settings are saved through a temporary "
                            "file there): " +
                            std::strerror(error));
    else
        add(Kind::Ok, "the settings file can be written");
    if (exists && (st.st_mode & 0077) != 0)
        add(Kind::Warning, "other users may read the settings file, which holds the command "
                           "password (chmod 600 it)");

    const SettingsFile settings(folder);

    // A number the heartbeat's start converts: empty stops the network start, no whole number
    // fails it. Returns the low 16 bits the start keeps.
    const auto number = [&](const TextKey& key, bool emptyStops) -> std::optional<std::uint16_t> {
        const std::string text = settings.ReadString(key);
        if (text.empty()) {
            add(Kind::Fail, name(key) + " is empty" +
                                (emptyStops ? ": the heartbeat would not start"
                                            : ": the heartbeat's start would fail"));
            return std::nullopt;
        }
        try {
            const std::uint16_t value = Low16(StrToInt(text));
            if (static_cast<std::int32_t>(value) != StrToInt(text))
                add(Kind::Warning, name(key) + " " + text + " is taken as " +
                                       std::to_string(value) + " (its low 16 bits)");
            return value;
        } catch (const Error& e) {
            add(Kind::Fail, name(key) + ": " + e.what() + ": the heartbeat's start would fail");
            return std::nullopt;
        }
    };
    const auto zeroWarnings = [&](const TextKey& freq, std::optional<std::uint16_t> f,
                                  const TextKey& fail, std::optional<std::uint16_t> n) {
        if (f && *f == 0)
            add(Kind::Warning, name(freq) + " is 0: one heartbeat at the start, then one every "
                                            "65536 seconds");
        if (n && *n == 0)
            add(Kind::Warning, name(fail) + " is 0: the alert comes only after 65536 misses");
    };

    // The mode: when both flags are set, the network wins, as the settings page shows it.
    const bool network = settings.ReadBool(keys::Network);
    const bool usb = !network && settings.ReadBool(keys::USB);
    const std::string address = settings.ReadString(keys::IPAddr);
    const auto addressValid = [&]() -> std::string {
        try {
            ValidateIPString(address);
            return {};
        } catch (const Error& e) {
            return e.what();
        }
    };

    if (network) {
        const auto port = number(keys::Port, true);
        const auto freq = number(keys::Freq, true);
        const auto fail = number(keys::FailCount, true);
        add(Kind::Info, "heartbeat mode: network, \"NorvaHB\" to " +
                            (address.empty() ? std::string("(no address)") : address) +
                            " UDP port " + (port ? std::to_string(*port) : "?") + " every " +
                            (freq ? std::to_string(*freq) : "?") + " s, alert after " +
                            (fail ? std::to_string(*fail) : "?") + " misses");
        if (address.empty())
            add(Kind::Fail, "the device address (Setup/IPAddr) is not set: the heartbeat would "
                            "not start");
        else if (const std::string why = addressValid(); !why.empty())
            add(Kind::Fail, "the device address " + address + " is not valid: " + why);
        else
            add(Kind::Ok, "device address " + address);
        if (port && *port == 0)
            add(Kind::Fail, "Setup/Port is 0: no datagram can be sent to port 0");
        else if (port)
            heartbeatPort_ = *port;
        zeroWarnings(keys::Freq, freq, keys::FailCount, fail);
    } else {
        if (address.empty())
            add(Kind::Warning, "the device address (Setup/IPAddr) is not set");
        else if (const std::string why = addressValid(); !why.empty())
            add(Kind::Fail, "the device address " + address + " is not valid: " + why);
        else
            add(Kind::Ok, "device address " + address);
    }

    if (usb) {
        const auto freq = number(keys::comFreq, false);
        const auto fail = number(keys::comFail, false);
        const std::string comPort = settings.ReadString(keys::ComPort);
        add(Kind::Info, "heartbeat mode: USB, on " + comPort + " every " +
                            (freq ? std::to_string(*freq) : "?") + " s, alert after " +
                            (fail ? std::to_string(*fail) : "?") + " misses");
        const std::uint16_t n = ComPortNumber(comPort);
        const ComPortMap ports(folder);
        if (n == 0)
            add(Kind::Fail, "no serial port chosen (Setup/ComPort is \"" + comPort +
                                "\"): the heartbeat would not resume at the start");
        else if (!ports.IsComPortAvailable(n))
            add(Kind::Fail, comPort + " (" + ports.devicePath(n).string() + ") is not present");
        else
            add(Kind::Ok, comPort + " is " + ports.devicePath(n).string());
        zeroWarnings(keys::comFreq, freq, keys::comFail, fail);
    }

    if (!network && !usb)
        add(Kind::Info, "heartbeat mode: none (no heartbeat is sent)");
    else
        add(Kind::Info, settings.ReadBool(keys::IsStarted)
                            ? "at the start the heartbeat resumes (Run/IsStarted is set)"
                            : "at the start the heartbeat stays stopped until Start "
                              "(Run/IsStarted is not set)");
    add(Kind::Info,
        settings.ReadBool(keys::AllowSleep)
            ? "sleep: allowed (Setup/AllowSleep=1): a delay lock; the heartbeat pauses while the "
              "PC sleeps, and the device's own heartbeat watchdog must allow for the sleep"
            : "sleep: held off while the heartbeat runs (a block lock; Setup/AllowSleep=1 would "
              "allow it); a lid or power-key sleep still pauses the heartbeat");

    add(Kind::Info, "command port: TCP " + std::to_string(options_.commandPort) +
                        ", restart and shutdown commands for user name \"" +
                        settings.ReadString(keys::Username) + "\", " +
                        (settings.ReadBool(keys::AlertPedningAction) ? "after a ten-second warning"
                                                                     : "carried out at once"));
    if (settings.ReadString(keys::Username) == keys::Username.fallback &&
        settings.ReadString(keys::Password) == keys::Password.fallback)
        add(Kind::Warning, "the command user name and password are the defaults: whoever "
                           "knows them can restart this computer from the network");
    // Missing, the built-in default still commands (a factory device must); empty, nothing
    // does. Either is not what a finished installation means.
    if (exists) {
        const std::string password = StoredPasswordProblem(StoredPasswordOf(settings));
        if (!password.empty())
            add(Kind::Fail, password);
    }

    // Who may command: every bad entry is named, and a list of only bad entries lets nobody in.
    const AddressFilter acceptFrom(settings.ReadString(keys::AcceptFrom));
    for (const std::string& why : acceptFrom.errors())
        add(Kind::Warning, why);
    if (!acceptFrom.restricts())
        add(Kind::Info, "commands are taken from any address (GSD/AcceptFrom is empty); a "
                        "firewall rule or AcceptFrom naming the device narrows that");
    else if (acceptFrom.size() == 0)
        add(Kind::Fail, "GSD/AcceptFrom holds no usable entry: no command would be taken");
    else
        add(Kind::Ok, "commands are taken only from GSD/AcceptFrom: " +
                          settings.ReadString(keys::AcceptFrom));
}

void ServiceCheck::checkSystem(CheckProbes& probes) {
    const bool running = probes.serviceRunning();
    add(Kind::Info, running ? std::string("the service is running (it holds ") + bus::ServiceName +
                                  " on the bus)"
                            : std::string("the service is not running (") + bus::ServiceName +
                                  " has no owner on the bus)");

    // Restart and shutdown commands are carried out by the login manager, without asking
    // anybody for a password.
    for (const std::string method : {"CanReboot", "CanPowerOff"}) {
        const std::string command = method == "CanReboot" ? "restart" : "shutdown";
        std::string error;
        const std::string answer = probes.askLoginManager(method, error);
        if (!error.empty()) {
            add(Kind::Fail, "the login manager cannot be asked (" + method + "): " + error +
                                ": restart and shutdown commands could not be carried out");
            break; // the other question would only fail the same way
        }
        const std::string said = "the login manager answers " + method + ": " + answer;
        if (answer == "yes")
            add(Kind::Ok, said);
        else if (answer == "challenge")
            add(Kind::Warning, said + " (it would want a password, which the service cannot "
                                      "give; run --check as the service's user, whom the "
                                      "polkit rule allows)");
        else
            add(Kind::Fail, said + ": a " + command + " command would be refused");
    }

    // The socket unit holds the command port for the service, whether it runs or not.
    const int commandBind = probes.bindTcp(options_.commandPort);
    if (commandBind == EADDRINUSE && !running && probes.commandSocketHeld())
        add(Kind::Ok, "TCP port " + std::to_string(options_.commandPort) +
                          " (commands) is held for the service by the service manager "
                          "(norvahbd.socket)");
    else
        checkPort(commandBind, "TCP", options_.commandPort, "commands",
                  "the service could not listen for commands", running);
    if (heartbeatPort_)
        checkPort(probes.bindUdp(*heartbeatPort_), "UDP", *heartbeatPort_, "heartbeat",
                  "the heartbeat could not start", running);
}

void ServiceCheck::checkPort(int bindError, const char* protocol, std::uint16_t port,
                             const char* use, const char* consequence, bool serviceRunning) {
    const std::string what =
        std::string(protocol) + " port " + std::to_string(port) + " (" + use + ")";
    if (bindError == 0)
        add(Kind::Ok, what + " is free");
    else if (bindError == EADDRINUSE && serviceRunning)
        add(Kind::Ok, what + " is in use, by the running service");
    else if (bindError == EADDRINUSE)
        add(Kind::Fail, what + " is in use by another program: " + consequence);
    else
        add(Kind::Fail,
            what + " cannot be bound (" + std::strerror(bindError) + "): " + consequence);
}

} // namespace norva
