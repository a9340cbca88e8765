#pragma once

#include <cstdint>
#include <filesystem>

namespace norva {

// How a port number n (the "COMn" the user picks and the settings store) finds its device
// on Linux, which has no COM names of its own.
//
// 1. Pins win: a symbolic link named "COMn" in the folder "NorvaHB-ports" beside the
//    settings file maps COMn to whatever it points at, for any n from 1 up. That is how a
//    user gives a device a number of their choosing (for instance a /dev/serial/by-id
//    name, which survives replugging), and how tests put a pseudo-terminal behind a number.
// 2. Otherwise the number maps to a fixed device name, whatever order things were plugged
//    in:
//        COM1  - COM4   /dev/ttyS0   - /dev/ttyS3     built-in ports
//        COM5  - COM20  /dev/ttyUSB0 - /dev/ttyUSB15  USB serial converters
//        COM21 - COM36  /dev/ttyACM0 - /dev/ttyACM15  USB modem-class devices (the Norva)
//        COM37 - COM50  pins only (HighestPort, settings/SettingsRules.h, is the last number
//                       the program lists and stores)
//
// A port counts as installed when its device exists and is a character device. The kernel
// lists the built-in ttyS ports even where no UART is fitted; those count only when sysfs
// reports a UART type for them. Nothing here ever opens a device, so a port held by another
// program is still reported installed.
class ComPortMap {
public:
    static constexpr const char* PinFolderName = "NorvaHB-ports";

    // `settingsFolder` is the folder of the settings file; `devRoot` and `sysRoot` stand for
    // /dev and /sys, so tests can offer a made-up set of devices.
    explicit ComPortMap(std::filesystem::path settingsFolder,
                        std::filesystem::path devRoot = "/dev",
                        std::filesystem::path sysRoot = "/sys");

    // The path to open for COMn: the pin when there is one, else the fixed device name;
    // empty for 0 and for numbers that have neither. The path may not exist.
    std::filesystem::path devicePath(uint16_t n) const;

    // Whether COMn is installed (see above). False for 0.
    bool IsComPortAvailable(uint16_t n) const;

    std::filesystem::path pinFolder() const { return settingsFolder_ / PinFolderName; }
    // Where a pin for COMn would be, whether there is one or not.
    std::filesystem::path pinPath(uint16_t n) const;
    // The fixed device name of COMn, whatever pin there is; empty for 0 and the pins-only
    // numbers.
    std::filesystem::path fixedDevicePath(uint16_t n) const;

private:
    bool builtInPortHasHardware(unsigned index) const;

    std::filesystem::path settingsFolder_;
    std::filesystem::path devRoot_;
    std::filesystem::path sysRoot_;
};

} // namespace norva
