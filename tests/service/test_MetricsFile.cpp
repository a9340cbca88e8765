// The metrics file: its text, pinned in full once, and the file that holds it, replaced whole
// or not at all.
#include "service/MetricsFile.h"
#include "support/TempDir.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using norva::MetricsFile;
namespace fs = std::filesystem;

namespace {

TEST(MetricsFormat, GoldenText) {
    MetricsFile::Values v;
    v.mode = norva::HeartbeatMode::Network;
    v.state = norva::HeartbeatState::Responding;
    v.network = {.sent = 4294967295u, .received = 12, .nak = 1, .missed = 2};
    v.usb = {.sent = 3, .received = 4, .nak = 9, .missed = 5}; // a serial link has no nak
    v.commandsAccepted = 6;
    v.commandsRejected = 7;
    v.powerRequestsFailed = 8;
    v.stateChangedAt = 1733820000;
    v.sleepInhibited = true;
    EXPECT_EQ(MetricsFile::format(v),
              R"(# HELP norvahb_up 1 while the NorvaHB service runs.
# TYPE norvahb_up gauge
norvahb_up 1
# HELP norvahb_heartbeat_running 1 while the heartbeat runs, 0 when stopped.
# TYPE norvahb_heartbeat_running gauge
norvahb_heartbeat_running 1
# HELP norvahb_device_responding 1 while the device answers the heartbeat; 0 when it does not or the heartbeat is stopped.
# TYPE norvahb_device_responding gauge
norvahb_device_responding 1
# HELP norvahb_heartbeat_mode The heartbeat mode of the settings: 1 for the current one.
# TYPE norvahb_heartbeat_mode gauge
norvahb_heartbeat_mode{mode="none"} 0
norvahb_heartbeat_mode{mode="network"} 1
norvahb_heartbeat_mode{mode="usb"} 0
# HELP norvahb_network_sent_total Heartbeats sent to the device over UDP.
# TYPE norvahb_network_sent_total counter
norvahb_network_sent_total 4294967295
# HELP norvahb_network_received_total Datagrams received from the device.
# TYPE norvahb_network_received_total counter
norvahb_network_received_total 12
# HELP norvahb_network_nak_total Negative answers received from the device.
# TYPE norvahb_network_nak_total counter
norvahb_network_nak_total 1
# HELP norvahb_network_missed_total Network heartbeats the device did not answer in time.
# TYPE norvahb_network_missed_total counter
norvahb_network_missed_total 2
# HELP norvahb_usb_sent_total Heartbeats written to the device over the serial link.
# TYPE norvahb_usb_sent_total counter
norvahb_usb_sent_total 3
# HELP norvahb_usb_received_total Answers read from the device over the serial link.
# TYPE norvahb_usb_received_total counter
norvahb_usb_received_total 4
# HELP norvahb_usb_missed_total Serial heartbeats the device did not answer in time.
# TYPE norvahb_usb_missed_total counter
norvahb_usb_missed_total 5
# HELP norvahb_commands_accepted_total Restart and shutdown commands accepted on the command port.
# TYPE norvahb_commands_accepted_total counter
norvahb_commands_accepted_total 6
# HELP norvahb_commands_rejected_total Commands refused on the command port.
# TYPE norvahb_commands_rejected_total counter
norvahb_commands_rejected_total 7
# HELP norvahb_power_requests_failed_total Restart and shutdown requests the login manager refused.
# TYPE norvahb_power_requests_failed_total counter
norvahb_power_requests_failed_total 8
# HELP norvahb_state_change_timestamp_seconds Unix time of the last change between responding, not responding and stopped.
# TYPE norvahb_state_change_timestamp_seconds gauge
norvahb_state_change_timestamp_seconds 1733820000
# HELP norvahb_sleep_inhibited 1 while the service holds the login manager's sleep lock.
# TYPE norvahb_sleep_inhibited gauge
norvahb_sleep_inhibited 1
)");
}

// The lines that depend on the state and the mode, for every one of them.
TEST(MetricsFormat, StateAndModeLines) {
    using M = norva::HeartbeatMode;
    using S = norva::HeartbeatState;
    struct Case {
        bool up;
        M mode;
        S state;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {true,
         M::None,
         S::Stopped,
         {"norvahb_up 1", "norvahb_heartbeat_running 0", "norvahb_device_responding 0",
          "norvahb_heartbeat_mode{mode=\"none\"} 1", "norvahb_heartbeat_mode{mode=\"network\"} 0",
          "norvahb_heartbeat_mode{mode=\"usb\"} 0"}},
        {true,
         M::Usb,
         S::NotResponding,
         {"norvahb_heartbeat_running 1", "norvahb_device_responding 0",
          "norvahb_heartbeat_mode{mode=\"none\"} 0", "norvahb_heartbeat_mode{mode=\"usb\"} 1"}},
        {true,
         M::Network,
         S::Stopped,
         {"norvahb_heartbeat_running 0", "norvahb_device_responding 0",
          "norvahb_heartbeat_mode{mode=\"network\"} 1"}},
        // Waiting for the serial device, the heartbeat does not run.
        {true,
         M::Usb,
         S::WaitingForSerialDevice,
         {"norvahb_heartbeat_running 0", "norvahb_device_responding 0"}},
        {false, M::Network, S::Stopped, {"norvahb_up 0"}},
        // Paused for the PC's sleep, the heartbeat still runs; the device is not answering it.
        {true,
         M::Network,
         S::Sleeping,
         {"norvahb_heartbeat_running 1", "norvahb_device_responding 0",
          "norvahb_sleep_inhibited 0"}},
    };
    for (const auto& c : cases) {
        MetricsFile::Values v;
        v.up = c.up;
        v.mode = c.mode;
        v.state = c.state;
        const std::string text = MetricsFile::format(v);
        for (const auto& line : c.lines)
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << " in\n" << text;
    }
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string readFd(int fd) {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(all.size()))) > 0)
        all.append(buffer, static_cast<std::size_t>(n));
    return all;
}

// A reader that has the old file open keeps reading the old text, whole: the new text comes
// as another file put in its place, never as a rewrite of the one being read.
TEST(MetricsFileWrite, ReplacesTheFileWholeReadableByAll) {
    norva::test::TempDir dir;
    // The mode is the file's own, whatever the service's umask.
    struct Umask {
        mode_t old = ::umask(077);
        ~Umask() { ::umask(old); }
    } umask;
    MetricsFile file(dir / "norvahb.prom");
    MetricsFile::Values v;
    ASSERT_EQ(file.write(v), "");
    const std::string first = MetricsFile::format(v);
    EXPECT_EQ(dir.read("norvahb.prom"), first);

    const int reader = ::open((dir / "norvahb.prom").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    v.network.sent = 1;
    v.state = norva::HeartbeatState::Responding;
    ASSERT_EQ(file.write(v), "");
    EXPECT_EQ(dir.read("norvahb.prom"), MetricsFile::format(v));
    EXPECT_EQ(readFd(reader), first);
    ::close(reader);

    struct stat st {};
    ASSERT_EQ(::stat((dir / "norvahb.prom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"norvahb.prom"});
}

// Fails one of the write's system calls, as a full disk or a failing disk would.
class FailingOps : public norva::FileOps {
public:
    enum class Step { Write, Rename };
    explicit FailingOps(Step s) : step(s) {}
    ssize_t write(int fd, const void* data, std::size_t size) override {
        if (step != Step::Write)
            return FileOps::write(fd, data, size);
        // Half of it goes out, then the disk is full.
        if (!wrote) {
            wrote = true;
            return FileOps::write(fd, data, size / 2);
        }
        errno = ENOSPC;
        return -1;
    }
    // Not flushed to the disk (see MetricsFile.h): a write that asked for it would fail here.
    int fsync(int) override {
        errno = EIO;
        return -1;
    }
    int rename(const char* from, const char* to) override {
        if (step != Step::Rename)
            return FileOps::rename(from, to);
        errno = EXDEV;
        return -1;
    }
    Step step;
    bool wrote = false;
};

TEST(MetricsFileWrite, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
    const std::pair<FailingOps::Step, std::string> cases[] = {
        {FailingOps::Step::Write, "No space left on device"},
        {FailingOps::Step::Rename, "Invalid cross-device link"},
    };
    for (const auto& [step, reason] : cases) {
        norva::test::TempDir dir;
        dir.write("norvahb.prom", "old\n");
        FailingOps ops(step);
        MetricsFile file(dir / "norvahb.prom", &ops);
        EXPECT_EQ(file.write({}), "cannot write the metrics file " +
                                      (dir / "norvahb.prom").string() + ": " + reason);
        EXPECT_EQ(dir.read("norvahb.prom"), "old\n");
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"norvahb.prom"}) << reason;
    }
}

// Folders no one can write to, root included: one that is missing, and a file in the way.
TEST(MetricsFileWrite, AnUnwritableFolderIsReported) {
    norva::test::TempDir dir;
    dir.write("not-a-folder", "x");
    const std::pair<fs::path, std::string> cases[] = {
        {dir / "missing" / "norvahb.prom", "No such file or directory"},
        {dir / "not-a-folder" / "norvahb.prom", "Not a directory"},
    };
    for (const auto& [path, reason] : cases) {
        MetricsFile file(path);
        EXPECT_EQ(file.write({}), "cannot write the metrics file " + path.string() + ": " + reason);
    }
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"not-a-folder"});
}

} // namespace
