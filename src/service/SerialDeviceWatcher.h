#pragma once

#include "transport/ComPortMap.h"

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>

class QSocketNotifier;

namespace norva {

// Waits for one serial port, COMn, to be installed (ComPortMap's sense: its path leads to a
// character device), as a USB device enumerated after the service started, or plugged in
// again, comes.
//
// The kernel tells of it: an inotify descriptor, watched by the event loop, on the folders
// whose change can make the port appear: the pin folder (or, while it does not exist, the
// nearest folder above it that does), the folder of the port's fixed device name, and the
// folder of every link a pin leads through (a /dev/serial/by-id name, a /dev/pts line, each
// again its nearest existing folder). After each change the set is worked out again, so a
// pin that now points elsewhere is followed there. Nothing is polled; if inotify cannot be
// had at all (descriptors or watches used up), the port is looked for every PollInterval
// instead, and polling() says so.
//
// While nothing is watched (before watch(), after stop()) the watcher holds no descriptor,
// no timer and no notifier, and costs nothing.
//
// Lives on the thread that runs its event loop; `present` comes from that loop only.
class SerialDeviceWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int PollInterval = 2000; // ms, only without inotify

    explicit SerialDeviceWatcher(ComPortMap map, QObject* parent = nullptr);
    ~SerialDeviceWatcher() override;
    SerialDeviceWatcher(const SerialDeviceWatcher&) = delete;
    SerialDeviceWatcher& operator=(const SerialDeviceWatcher&) = delete;

    // Starts waiting for COMn (n from 1), in place of any earlier wait. `present` follows from
    // the event loop, never inside this call: once at the start when the port is there
    // already (so that a device that came between the caller's own look and this watch is
    // not missed), then after every change in a watched folder that leaves the port there.
    // The wait goes on until stop(), so a caller whose open failed (the device not yet
    // accessible, say) hears of the next change.
    void watch(std::uint16_t n);
    // Ends the wait; a report not yet delivered is dropped.
    void stop();

    bool watching() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // Looking every PollInterval, as inotify could not be had.
    bool polling() const { return poll_.isActive(); }
    // Why inotify could not be had, when polling().
    const std::string& pollReason() const { return pollReason_; }

signals:
    // COMn is installed now.
    void present(std::uint16_t n);

private:
    std::set<std::filesystem::path> wantedFolders() const;
    void rearm();
    void readEvents();
    void check();
    void startPolling(const std::string& reason);
    void closeInotify();

    ComPortMap map_;
    std::uint16_t port_ = 0;
    std::uint64_t generation_ = 0; // a new wait or stop() drops the reports of the old one
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::map<std::filesystem::path, int> watches_; // folder → watch descriptor
    QTimer poll_;
    std::string pollReason_;
};

} // namespace norva
