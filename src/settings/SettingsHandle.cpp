#include "settings/SettingsHandle.h"

#include "platform/Error.h"

namespace norva {

namespace {

[[noreturn]] void notOpen() {
    throw Error("The settings file is not open");
}

} // namespace

void SettingsHandle::open(const std::filesystem::path& folder, FileOps* ops) {
    file_.emplace(folder, ops);
}

void SettingsHandle::close() {
    file_.reset();
}

SettingsFile& SettingsHandle::file() {
    if (!file_)
        notOpen();
    return *file_;
}

const SettingsFile& SettingsHandle::file() const {
    if (!file_)
        notOpen();
    return *file_;
}

} // namespace norva
