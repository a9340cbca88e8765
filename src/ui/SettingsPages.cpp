#include "ui/SettingsPages.h"

#include "settings/SettingsHandle.h"
#include "settings/SettingsRules.h"
#include "ui/CEditIPAddr.h"
#include "ui/StatusView.h"
#include "ui/TForm1Ui.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

namespace norva {

namespace {

QString read(const SettingsFile& ini, const TextKey& key) {
    return QString::fromStdString(ini.ReadString(key));
}

} // namespace

SettingsPages::SettingsPages(SettingsHandle& MyIni, StatusView& view)
    : MyIni_(MyIni), view_(view) {}

SettingsFile& SettingsPages::ini() const {
    return MyIni_.file();
}

QString SettingsPages::userName() const {
    return view_.ui().usermane->text();
}

QString SettingsPages::password() const {
    return view_.ui().password->text();
}

bool SettingsPages::alertPendingAction() const {
    return view_.ui().alaertPendingActionCB->isChecked();
}

bool SettingsPages::noneMode() const {
    return view_.ui().noneRB->isChecked();
}

bool SettingsPages::networkMode() const {
    return view_.ui().networkRB->isChecked();
}

bool SettingsPages::usbMode() const {
    return view_.ui().usbRB->isChecked();
}

bool SettingsPages::heartbeatFieldsFilled() const {
    const TForm1Ui& ui = view_.ui();
    // Reading the address control's text also fills its empty fields with "0".
    const std::string address = ui.IPAddr->Text();
    return HeartbeatFieldsFilled(address, ui.Port->text().toStdString(),
                                 ui.Freq->text().toStdString(), ui.Fail->text().toStdString());
}

bool SettingsPages::statusInTray() const {
    return view_.ui().showStatusInTrayCB->isChecked();
}

void SettingsPages::loadSetup() {
    TForm1Ui& ui = view_.ui();
    ui.Freq->setText(read(ini(), keys::Freq));
    ui.Fail->setText(read(ini(), keys::FailCount));
    // A stored address that is not one stops the fill here, with the control's error.
    ui.IPAddr->setText(ini().ReadString(keys::IPAddr, PageAddressFallback));
    ui.Port->setText(read(ini(), keys::Port));

    // The three buttons form an exclusive group, which refuses to uncheck its checked button;
    // so the button to show is checked instead, which unchecks the other two. Network wins
    // when both are stored as true.
    const bool usb = ini().ReadBool(keys::USB);
    const bool network = ini().ReadBool(keys::Network);
    if (network)
        ui.networkRB->setChecked(true);
    else if (usb)
        ui.usbRB->setChecked(true);
    else
        ui.noneRB->setChecked(true);

    ui.comPort->clear();
    const std::string stored = ini().ReadString(keys::ComPort);
    int selected = -1;
    for (std::uint16_t n = 1; n <= HighestPort; ++n) {
        if (!IsComPortAvailable || !IsComPortAvailable(n))
            continue;
        const std::string entry = ComPortName(n);
        ui.comPort->addItem(QString::fromStdString(entry));
        if (stored == entry)
            selected = ui.comPort->count() - 1;
    }
    ui.comPort->setCurrentIndex(selected);

    ui.startInTrayCB->setChecked(ini().ReadBool(keys::StartInTray));
    ui.showStatusInTrayCB->setChecked(ini().ReadBool(keys::ShowStatusInTray));
}

void SettingsPages::loadGSD() {
    TForm1Ui& ui = view_.ui();
    ui.usermane->setText(read(ini(), keys::Username));
    ui.password->setText(read(ini(), keys::Password));
    ui.alaertPendingActionCB->setChecked(ini().ReadBool(keys::AlertPedningAction));
}

void SettingsPages::LoadVars() {
    TForm1Ui& ui = view_.ui();
    ui.IPAddr->setText(ini().ReadString(keys::IPAddr));
    ui.Port->setText(read(ini(), keys::Port));
}

void SettingsPages::Button6Click() {
    TForm1Ui& ui = view_.ui();
    const bool restart = beginApply ? beginApply() : false;

    SettingsFile& file = ini();
    file.WriteString(keys::ComPort, ui.comPort->currentIndex() >= 0
                                        ? ui.comPort->currentText().toStdString()
                                        : "");
    file.WriteString(keys::Freq, ui.Freq->text().toStdString());
    file.WriteString(keys::FailCount, ui.Fail->text().toStdString());
    file.WriteString(keys::IPAddr, ui.IPAddr->Text());
    file.WriteString(keys::Port, ui.Port->text().toStdString());
    file.WriteBool(keys::StartInTray, ui.startInTrayCB->isChecked());
    file.WriteBool(keys::ShowStatusInTray, ui.showStatusInTrayCB->isChecked());
    if (ui.networkRB->isChecked()) {
        file.WriteBool(keys::Network, true);
        file.WriteBool(keys::USB, false);
    } else if (ui.usbRB->isChecked()) {
        file.WriteBool(keys::Network, false);
        file.WriteBool(keys::USB, true);
    } else if (ui.noneRB->isChecked()) {
        file.WriteBool(keys::Network, false);
        file.WriteBool(keys::USB, false);
    }

    // The heartbeat control shows the tray for the new settings and starts the heartbeat
    // again.
    if (endApply)
        endApply(restart);
}

void SettingsPages::Button7Click() {
    TForm1Ui& ui = view_.ui();
    SettingsFile& file = ini();
    file.WriteString(keys::usernameWritten, ui.usermane->text().toStdString());
    file.WriteString(keys::Password, ui.password->text().toStdString());
    file.WriteBool(keys::AlertPedningAction, ui.alaertPendingActionCB->isChecked());
}

} // namespace norva
