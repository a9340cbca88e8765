#include "transport/ComPortMap.h"

#include "settings/SettingsRules.h"

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace norva {

namespace {

struct FixedRange {
    uint16_t first; // lowest port number of the range
    uint16_t count;
    const char* prefix; // device name without its index
};

constexpr FixedRange FixedRanges[] = {
    {1, 4, "ttyS"},
    {5, 16, "ttyUSB"},
    {21, 16, "ttyACM"},
};

} // namespace

ComPortMap::ComPortMap(std::filesystem::path settingsFolder, std::filesystem::path devRoot,
                       std::filesystem::path sysRoot)
    : settingsFolder_(std::move(settingsFolder)), devRoot_(std::move(devRoot)),
      sysRoot_(std::move(sysRoot)) {}

std::filesystem::path ComPortMap::pinPath(uint16_t n) const {
    return pinFolder() / ComPortName(n);
}

std::filesystem::path ComPortMap::devicePath(uint16_t n) const {
    if (n == 0)
        return {};
    std::error_code ec;
    const auto pin = pinPath(n);
    // symlink_status, so that a pin whose target is missing still wins and opening it
    // reports the missing device instead of silently falling back to the fixed name.
    if (std::filesystem::symlink_status(pin, ec).type() != std::filesystem::file_type::not_found &&
        !ec)
        return pin;
    return fixedDevicePath(n);
}

std::filesystem::path ComPortMap::fixedDevicePath(uint16_t n) const {
    for (const auto& range : FixedRanges) {
        if (n >= range.first && n < range.first + range.count)
            return devRoot_ / (range.prefix + std::to_string(n - range.first));
    }
    return {};
}

bool ComPortMap::builtInPortHasHardware(unsigned index) const {
    // serial_core publishes the UART type; 0 (PORT_UNKNOWN) means the kernel reserved the
    // name but found no UART behind it.
    std::ifstream in(sysRoot_ / "class" / "tty" / ("ttyS" + std::to_string(index)) / "type");
    unsigned type = 0;
    return static_cast<bool>(in >> type) && type != 0;
}

bool ComPortMap::IsComPortAvailable(uint16_t n) const {
    const auto path = devicePath(n);
    if (path.empty())
        return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const bool pinned = path.parent_path() == pinFolder();
    if (!pinned && n >= FixedRanges[0].first && n < FixedRanges[0].first + FixedRanges[0].count)
        return builtInPortHasHardware(n - FixedRanges[0].first);
    return true;
}

} // namespace norva
