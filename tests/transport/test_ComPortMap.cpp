#include "support/TempDir.h"
#include "transport/ComPortMap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using norva::ComPortMap;
using norva::test::TempDir;
namespace fs = std::filesystem;

namespace {

// A made-up machine: /dev and /sys under a temporary folder, with symbolic links to
// /dev/null standing for character devices, and pins beside a settings folder.
class FakeMachine {
public:
    FakeMachine() {
        fs::create_directories(dir_ / "dev");
        fs::create_directories(dir_ / "cfg" / ComPortMap::PinFolderName);

        builtIn(0, "4");     // a 16550A
        builtIn(1, "0");     // listed by the kernel, no UART behind it
        builtIn(2, nullptr); // no type reported at all
        device("ttyUSB0");
        device("ttyUSB15");
        dir_.write("dev/ttyUSB1", "not a device");
        device("ttyACM0");
        device("ttyACM15");
        fs::create_symlink(dir_ / "dev" / "gone", dir_ / "dev" / "ttyACM1");

        pin(5, "/nonexistent/ttyX"); // pins win, even over an existing device
        pin(7, (dir_ / "dev" / "ttyUSB0").string());
        pin(40, "/dev/null");
        dir_.write("regular", "");
        pin(41, (dir_ / "regular").string());
    }

    ComPortMap map() const { return ComPortMap(dir_ / "cfg", dir_ / "dev", dir_ / "sys"); }
    fs::path root() const { return dir_.path(); }

private:
    void device(const std::string& name) const {
        fs::create_symlink("/dev/null", dir_ / "dev" / name);
    }
    void builtIn(int index, const char* type) const {
        const std::string name = "ttyS" + std::to_string(index);
        device(name);
        fs::create_directories(dir_ / "sys" / "class" / "tty" / name);
        if (type)
            dir_.write("sys/class/tty/" + name + "/type", std::string(type) + "\n");
    }
    void pin(int n, const std::string& target) const {
        fs::create_symlink(target,
                           dir_ / "cfg" / ComPortMap::PinFolderName / ("COM" + std::to_string(n)));
    }

    TempDir dir_;
};

struct MapCase {
    const char* name;
    uint16_t n;
    const char* path; // relative to the fake root; "" for none
    bool available;
};

class ComPortMapCases : public testing::TestWithParam<MapCase> {};

TEST_P(ComPortMapCases, MapsNumberToDeviceAndTellsWhetherInstalled) {
    const auto& c = GetParam();
    FakeMachine machine;
    const auto map = machine.map();
    const fs::path expected = *c.path ? machine.root() / c.path : fs::path();
    EXPECT_EQ(map.devicePath(c.n), expected);
    EXPECT_EQ(map.IsComPortAvailable(c.n), c.available);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComPortMapCases,
    testing::Values(MapCase{"Zero", 0, "", false}, MapCase{"BuiltInWithUart", 1, "dev/ttyS0", true},
                    MapCase{"BuiltInWithoutUart", 2, "dev/ttyS1", false},
                    MapCase{"BuiltInTypeUnknown", 3, "dev/ttyS2", false},
                    MapCase{"BuiltInMissing", 4, "dev/ttyS3", false},
                    MapCase{"PinToMissingDeviceWins", 5, "cfg/NorvaHB-ports/COM5", false},
                    MapCase{"UsbNotACharacterDevice", 6, "dev/ttyUSB1", false},
                    MapCase{"PinToExistingDevice", 7, "cfg/NorvaHB-ports/COM7", true},
                    MapCase{"UsbAbsent", 8, "dev/ttyUSB3", false},
                    MapCase{"LastUsb", 20, "dev/ttyUSB15", true},
                    MapCase{"FirstAcm", 21, "dev/ttyACM0", true},
                    MapCase{"AcmDanglingLink", 22, "dev/ttyACM1", false},
                    MapCase{"LastAcm", 36, "dev/ttyACM15", true},
                    MapCase{"PinOnlyRangeUnpinned", 37, "", false},
                    MapCase{"PinOnlyRangePinned", 40, "cfg/NorvaHB-ports/COM40", true},
                    MapCase{"PinToRegularFile", 41, "cfg/NorvaHB-ports/COM41", false},
                    MapCase{"HighestUnpinned", 50, "", false},
                    MapCase{"BeyondRange", 51, "", false}),
    [](const testing::TestParamInfo<MapCase>& c) { return std::string(c.param.name); });

TEST(ComPortMap, DefaultsToTheSystemDeviceFolder) {
    TempDir settings;
    const ComPortMap map(settings.path());
    EXPECT_EQ(map.devicePath(1), fs::path("/dev/ttyS0"));
    EXPECT_EQ(map.devicePath(5), fs::path("/dev/ttyUSB0"));
    EXPECT_EQ(map.devicePath(21), fs::path("/dev/ttyACM0"));
    EXPECT_EQ(map.pinFolder(), settings.path() / "NorvaHB-ports");
}

} // namespace
