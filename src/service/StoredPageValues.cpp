#include "service/StoredPageValues.h"

#include "settings/SettingsHandle.h"
#include "settings/SettingsRules.h"

namespace norva {

namespace {

QString text(const SettingsHandle& handle, const TextKey& key) {
    // Read as the desktop's pages read it, so both compare a command with the same text.
    return QString::fromStdString(handle.file().ReadString(key));
}

} // namespace

QString StoredPageValues::userName() const {
    return text(MyIni_, keys::Username);
}

QString StoredPageValues::password() const {
    return text(MyIni_, keys::Password);
}

bool StoredPageValues::alertPendingAction() const {
    return MyIni_.file().ReadBool(keys::AlertPedningAction);
}

bool StoredPageValues::networkMode() const {
    return MyIni_.file().ReadBool(keys::Network);
}

bool StoredPageValues::usbMode() const {
    return !networkMode() && MyIni_.file().ReadBool(keys::USB);
}

bool StoredPageValues::noneMode() const {
    return !networkMode() && !usbMode();
}

bool StoredPageValues::heartbeatFieldsFilled() const {
    // The fields as the heartbeat page's fill shows them, so Start in USB mode needs no device
    // address here either.
    return StoredHeartbeatFieldsFilled(MyIni_.file());
}

bool StoredPageValues::statusInTray() const {
    return MyIni_.file().ReadBool(keys::ShowStatusInTray);
}

} // namespace norva
