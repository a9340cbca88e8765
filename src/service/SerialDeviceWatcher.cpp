#include "service/SerialDeviceWatcher.h"

#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace norva {

namespace fs = std::filesystem;

namespace {

// What can make a port appear in a folder: an entry made, moved in or out, removed (a pin
// taken away lets the fixed name count again), or its owner or mode changed (udev hands a
// new device node to its group a moment after the kernel made it, and only then can the
// service open it). Reads, writes and closes are left out: a watched /dev or /dev/pts sees
// them all the time, and none of them makes a device appear.
constexpr std::uint32_t kFolderChanges = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                         IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Links followed from a pin before giving up on a loop.
constexpr int kMostLinks = 8;

// `folder`, or the nearest folder above it that exists: its change is what creates `folder`.
fs::path nearestFolder(fs::path folder) {
    std::error_code ec;
    while (!folder.empty() && !fs::is_directory(folder, ec)) {
        fs::path parent = folder.parent_path();
        if (parent == folder)
            break;
        folder = std::move(parent);
    }
    return folder;
}

} // namespace

SerialDeviceWatcher::SerialDeviceWatcher(ComPortMap map, QObject* parent)
    : QObject(parent), map_(std::move(map)) {
    poll_.setInterval(PollInterval);
    connect(&poll_, &QTimer::timeout, this, [this] { check(); });
}

SerialDeviceWatcher::~SerialDeviceWatcher() {
    stop();
}

void SerialDeviceWatcher::watch(std::uint16_t n) {
    stop();
    if (n == 0)
        return;
    port_ = n;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        startPolling(std::string("inotify: ") + std::strerror(errno));
    } else {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { readEvents(); });
        rearm();
    }
    // After the watches are in place: whatever came before them is seen here, whatever comes
    // after them is reported by the kernel.
    QMetaObject::invokeMethod(
        this,
        [this, generation = generation_] {
            if (generation == generation_)
                check();
        },
        Qt::QueuedConnection);
}

void SerialDeviceWatcher::stop() {
    ++generation_;
    port_ = 0;
    poll_.stop();
    closeInotify();
}

void SerialDeviceWatcher::closeInotify() {
    if (notifier_) {
        // Possibly inside its own signal: disabled now, deleted once the event loop is back.
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    if (fd_ >= 0)
        ::close(fd_); // its watches go with it
    fd_ = -1;
    watches_.clear();
}

void SerialDeviceWatcher::startPolling(const std::string& reason) {
    closeInotify();
    pollReason_ = reason;
    poll_.start();
}

std::set<fs::path> SerialDeviceWatcher::wantedFolders() const {
    std::set<fs::path> folders{nearestFolder(map_.pinFolder())};
    const fs::path fixed = map_.fixedDevicePath(port_);
    if (!fixed.empty())
        folders.insert(nearestFolder(fixed.parent_path()));
    // The links a pin leads through, each of which may be missing, replaced or repointed.
    fs::path at = map_.pinPath(port_);
    for (int hop = 0; hop < kMostLinks; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(at, ec)))
            break;
        fs::path target = fs::read_symlink(at, ec);
        if (ec)
            break;
        if (target.is_relative())
            target = at.parent_path() / target;
        at = target.lexically_normal();
        folders.insert(nearestFolder(at.parent_path()));
    }
    folders.erase(fs::path());
    return folders;
}

void SerialDeviceWatcher::rearm() {
    const std::set<fs::path> wanted = wantedFolders();
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        const int wd = it->second;
        it = watches_.erase(it);
        // Two paths to one folder share one watch.
        if (std::none_of(watches_.begin(), watches_.end(),
                         [wd](const auto& w) { return w.second == wd; }))
            ::inotify_rm_watch(fd_, wd);
    }
    for (const fs::path& folder : wanted) {
        if (watches_.count(folder))
            continue;
        const int wd = ::inotify_add_watch(fd_, folder.c_str(), kFolderChanges);
        if (wd >= 0) {
            watches_.emplace(folder, wd);
        } else if (errno != ENOENT && errno != ENOTDIR) {
            // Gone meanwhile is told by the folder above; anything else (the watch limit, a
            // folder this user may not read) would leave a change unseen.
            startPolling("inotify on " + folder.string() + ": " + std::strerror(errno));
            return;
        }
    }
}

void SerialDeviceWatcher::readEvents() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got <= 0)
            break; // EAGAIN: all read
        for (ssize_t at = 0; at < got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            if (event.mask & IN_IGNORED) {
                // The folder went away: forget its watch, so it is added again if it returns.
                for (auto it = watches_.begin(); it != watches_.end();)
                    it = it->second == event.wd ? watches_.erase(it) : std::next(it);
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
    rearm();
    check();
}

void SerialDeviceWatcher::check() {
    if (watching() && map_.IsComPortAvailable(port_))
        emit present(port_);
}

} // namespace norva
