#include "service/StoredPageValues.h"

#include "settings/SettingsHandle.h"

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
    // The fields as the heartbeat page's fill shows them: a missing key shows the page's
    // default (the address "0.0.0.0"), so only a key stored empty leaves its field empty. Start
    // in USB mode thus needs no device address here either.
    const SettingsFile& ini = MyIni_.file();
    return !ini.ReadString(keys::IPAddr, "0.0.0.0").empty() &&
           !ini.ReadString(keys::Port).empty() && !ini.ReadString(keys::Freq).empty() &&
           !ini.ReadString(keys::FailCount).empty();
}

bool StoredPageValues::statusInTray() const {
    return MyIni_.file().ReadBool(keys::ShowStatusInTray);
}

} // namespace norva
