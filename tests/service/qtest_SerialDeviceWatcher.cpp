// The watch for a serial device that is not there yet, on made-up /dev and settings folders:
// a device that appears is reported from the event loop as the kernel tells of it, through
// pins and the links they lead to, and a watch that ended costs nothing.
#include "service/SerialDeviceWatcher.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <vector>

using norva::ComPortMap;
using norva::SerialDeviceWatcher;
using norva::test::TempDir;
namespace fs = std::filesystem;

namespace {

// A character device that every machine has, to stand behind made-up device names (the map
// counts a name as a device when it resolves to a character device).
const fs::path kCharDevice = "/dev/null";

class WatcherTest : public testing::Test {
protected:
    WatcherTest() : watcher(ComPortMap(dir / "cfg", dir / "dev", dir / "sys")) {
        fs::create_directories(dir / "cfg");
        fs::create_directories(dir / "dev");
        QObject::connect(&watcher, &SerialDeviceWatcher::present,
                         [this](std::uint16_t n) { reported.push_back(n); });
    }

    // Runs the event loop until something is reported or `limit` has passed; true when
    // something was. The loop sleeps until an event comes: only the watch can wake it early.
    bool reportWithin(int limitMs = 2000) {
        const auto before = reported.size();
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&watcher, &SerialDeviceWatcher::present, &loop, &QEventLoop::quit);
        limit.start(limitMs);
        if (reported.size() == before)
            loop.exec();
        return reported.size() > before;
    }

    void link(const fs::path& at, const fs::path& to) {
        fs::create_directories(at.parent_path());
        fs::create_symlink(to, at);
    }

    fs::path pin(int n) const {
        return dir / "cfg" / "NorvaHB-ports" / ("COM" + std::to_string(n));
    }

    TempDir dir;
    SerialDeviceWatcher watcher;
    std::vector<std::uint16_t> reported;
};

TEST_F(WatcherTest, AFixedNameThatAppearsIsReportedAtOnceAndNeverPolledFor) {
    watcher.watch(21); // ttyACM0
    EXPECT_TRUE(watcher.watching());
    EXPECT_FALSE(watcher.polling());
    EXPECT_FALSE(reportWithin(300));

    QElapsedTimer took;
    took.start();
    link(dir / "dev" / "ttyACM0", kCharDevice);
    ASSERT_TRUE(reportWithin());
    EXPECT_LT(took.elapsed(), 1000);
    EXPECT_EQ(reported, std::vector<std::uint16_t>{21});
    // Something else in the same folder: reported again while the port is there, so a
    // caller whose open failed hears of the next change.
    fs::create_directory(dir / "dev" / "other");
    EXPECT_TRUE(reportWithin());
}

TEST_F(WatcherTest, APortAlreadyThereIsReportedFromTheEventLoopNotFromTheCall) {
    link(pin(7), kCharDevice);
    watcher.watch(7);
    EXPECT_TRUE(reported.empty());
    ASSERT_TRUE(reportWithin());
    EXPECT_EQ(reported, std::vector<std::uint16_t>{7});
}

// A pin into a folder that does not exist yet (as /dev/serial/by-id before the first USB
// device): the pin folder's creation, the pin, the link's folder and the link are each
// seen, and the port is reported only once the whole chain leads to a device.
TEST_F(WatcherTest, APinIsFollowedThroughFoldersThatAppearLater) {
    const fs::path byId = dir / "dev" / "serial" / "by-id" / "usb-Norva";
    watcher.watch(40); // a pins-only number
    EXPECT_FALSE(reportWithin(200));

    link(pin(40), byId); // pin folder and pin at once; the pin leads nowhere yet
    EXPECT_FALSE(reportWithin(300));
    link(byId, "../../ttyACM3"); // relative, as udev writes them
    EXPECT_FALSE(reportWithin(300));
    link(dir / "dev" / "ttyACM3", kCharDevice);
    ASSERT_TRUE(reportWithin());
    EXPECT_EQ(reported, std::vector<std::uint16_t>{40});
    EXPECT_FALSE(watcher.polling());
}

// The device goes and comes back under a new name, as a pseudo-terminal does: the pin is
// replaced and points into another folder, which is then watched instead (both folders
// exist all along, so only a watch on the new one sees the device come).
TEST_F(WatcherTest, APinMovedToAnotherFolderIsFollowed) {
    fs::create_directories(dir / "pts-a");
    fs::create_directories(dir / "pts-b");
    link(pin(40), dir / "pts-a" / "1");
    watcher.watch(40);
    EXPECT_FALSE(reportWithin(200));
    fs::remove(pin(40));
    link(pin(40), dir / "pts-b" / "2");
    EXPECT_FALSE(reportWithin(300));
    link(dir / "pts-b" / "2", kCharDevice);
    ASSERT_TRUE(reportWithin());
    EXPECT_EQ(reported, std::vector<std::uint16_t>{40});
}

TEST_F(WatcherTest, AStoppedWatchReportsNothingAndHoldsNothing) {
    const auto descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto before = descriptors();
    watcher.watch(21);
    EXPECT_GT(descriptors(), before);
    watcher.stop();
    EXPECT_FALSE(watcher.watching());
    EXPECT_EQ(descriptors(), before);

    link(dir / "dev" / "ttyACM0", kCharDevice);
    EXPECT_FALSE(reportWithin(300));

    // A watch whose port is there, stopped before its first report: the report is dropped.
    watcher.watch(21);
    watcher.stop();
    EXPECT_FALSE(reportWithin(300));
}

} // namespace
