#include "service/MetricsFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norva {

namespace {

void metric(std::string& out, const char* name, const char* type, const char* help,
            const std::string& value) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    out.append(name).append(" ").append(value).append("\n");
}

FileOps& systemOps() {
    static FileOps ops;
    return ops;
}

} // namespace

MetricsFile::MetricsFile(std::filesystem::path path, FileOps* ops)
    : path_(std::move(path)), ops_(ops ? ops : &systemOps()) {}

std::string MetricsFile::format(const Values& v) {
    using std::to_string;
    const bool responding = v.state == HeartbeatState::Responding;
    const bool running = responding || v.state == HeartbeatState::NotResponding ||
                         v.state == HeartbeatState::Sleeping;

    std::string out;
    metric(out, "norvahb_up", "gauge", "1 while the NorvaHB service runs.", v.up ? "1" : "0");
    metric(out, "norvahb_heartbeat_running", "gauge", "1 while the heartbeat runs, 0 when stopped.",
           running ? "1" : "0");
    metric(out, "norvahb_device_responding", "gauge",
           "1 while the device answers the heartbeat; 0 when it does not or the heartbeat is "
           "stopped.",
           responding ? "1" : "0");

    out += "# HELP norvahb_heartbeat_mode The heartbeat mode of the settings: 1 for the current "
           "one.\n"
           "# TYPE norvahb_heartbeat_mode gauge\n";
    const std::pair<HeartbeatMode, const char*> modes[] = {{HeartbeatMode::None, "none"},
                                                           {HeartbeatMode::Network, "network"},
                                                           {HeartbeatMode::Usb, "usb"}};
    for (const auto& [mode, label] : modes)
        out.append("norvahb_heartbeat_mode{mode=\"")
            .append(label)
            .append("\"} ")
            .append(v.mode == mode ? "1" : "0")
            .append("\n");

    metric(out, "norvahb_network_sent_total", "counter", "Heartbeats sent to the device over UDP.",
           to_string(v.network.sent));
    metric(out, "norvahb_network_received_total", "counter", "Datagrams received from the device.",
           to_string(v.network.received));
    metric(out, "norvahb_network_nak_total", "counter",
           "Negative answers received from the device.", to_string(v.network.nak));
    metric(out, "norvahb_network_missed_total", "counter",
           "Network heartbeats the device did not answer in time.", to_string(v.network.missed));
    metric(out, "norvahb_usb_sent_total", "counter",
           "Heartbeats written to the device over the serial link.", to_string(v.usb.sent));
    metric(out, "norvahb_usb_received_total", "counter",
           "Answers read from the device over the serial link.", to_string(v.usb.received));
    metric(out, "norvahb_usb_missed_total", "counter",
           "Serial heartbeats the device did not answer in time.", to_string(v.usb.missed));
    metric(out, "norvahb_commands_accepted_total", "counter",
           "Restart and shutdown commands accepted on the command port.",
           to_string(v.commandsAccepted));
    metric(out, "norvahb_commands_rejected_total", "counter",
           "Commands refused on the command port.", to_string(v.commandsRejected));
    metric(out, "norvahb_power_requests_failed_total", "counter",
           "Restart and shutdown requests the login manager refused.",
           to_string(v.powerRequestsFailed));
    metric(out, "norvahb_state_change_timestamp_seconds", "gauge",
           "Unix time of the last change between responding, not responding and stopped.",
           to_string(v.stateChangedAt));
    metric(out, "norvahb_sleep_inhibited", "gauge",
           "1 while the service holds the login manager's sleep lock.",
           v.sleepInhibited ? "1" : "0");
    return out;
}

std::string MetricsFile::write(const Values& values) {
    const std::string content = format(values);
    const auto fail = [&](int error) {
        return "cannot write the metrics file " + path_.string() + ": " + std::strerror(error);
    };

    std::string hidden = ".";
    hidden.append(path_.filename().string()).append(".XXXXXX");
    std::string tmpl = (path_.parent_path() / hidden).string();
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(errno);

    int error = 0;
    if (::fchmod(fd, 0644) != 0)
        error = errno;
    std::size_t done = 0;
    while (error == 0 && done < content.size()) {
        const ssize_t n = ops_->write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        else if (n == 0)
            error = EIO;
        else
            done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ops_->rename(tmpl.c_str(), path_.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(tmpl.c_str());
        return fail(error);
    }
    return {};
}

} // namespace norva
