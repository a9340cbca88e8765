#include "ui/SettingsPages.h"

#include "app/SettingsFile.h"
#include "ui/CEditIPAddr.h"
#include "ui/StatusView.h"
#include "ui/TForm1Ui.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

namespace norva {

namespace {

QString read(const SettingsFile& ini, const char* section, const char* key, const char* fallback) {
    return QString::fromStdString(ini.ReadString(section, key, fallback));
}

} // namespace

SettingsPages::SettingsPages(const std::unique_ptr<SettingsFile>& MyIni, StatusView& view)
    : MyIni_(MyIni), view_(view) {}

SettingsFile& SettingsPages::ini() const {
    if (!MyIni_)
        throw Error("The settings file is not open");
    return *MyIni_;
}

void SettingsPages::loadSetup() {
    TForm1Ui& ui = view_.ui();
    ui.Freq->setText(read(ini(), "Setup", "Freq", "5"));
    ui.Fail->setText(read(ini(), "Setup", "FailCount", "3"));
    // A stored address that is not one stops the fill here, with the control's error.
    ui.IPAddr->setText(ini().ReadString("Setup", "IPAddr", "0.0.0.0"));
    ui.Port->setText(read(ini(), "Setup", "Port", "9100"));

    // The three buttons form an exclusive group, which refuses to uncheck its checked button;
    // so the button to show is checked instead, which unchecks the other two. Network wins
    // when both are stored as true.
    const bool usb = ini().ReadBool("Setup", "USB", false);
    const bool network = ini().ReadBool("Setup", "Network", false);
    if (network)
        ui.networkRB->setChecked(true);
    else if (usb)
        ui.usbRB->setChecked(true);
    else
        ui.noneRB->setChecked(true);

    ui.comPort->clear();
    const std::string stored = ini().ReadString("Setup", "ComPort", "None");
    int selected = -1;
    for (unsigned n = 1; n <= 50; ++n) {
        if (!IsComPortAvailable || !IsComPortAvailable(n))
            continue;
        const std::string entry = "COM" + std::to_string(n);
        ui.comPort->addItem(QString::fromStdString(entry));
        if (stored == entry)
            selected = ui.comPort->count() - 1;
    }
    ui.comPort->setCurrentIndex(selected);

    ui.startInTrayCB->setChecked(ini().ReadBool("Setup", "StartInTray", false));
    ui.showStatusInTrayCB->setChecked(ini().ReadBool("Setup", "ShowStatusInTray", false));
}

void SettingsPages::loadGSD() {
    TForm1Ui& ui = view_.ui();
    ui.usermane->setText(read(ini(), "GSD", "Username", "Ostra"));
    ui.password->setText(read(ini(), "GSD", "Password", "ferno"));
    ui.alaertPendingActionCB->setChecked(ini().ReadBool("GSD", "AlertPedningAction", false));
}

void SettingsPages::LoadVars() {
    TForm1Ui& ui = view_.ui();
    ui.IPAddr->setText(ini().ReadString("Setup", "IPAddr", ""));
    ui.Port->setText(read(ini(), "Setup", "Port", "9100"));
}

void SettingsPages::Button6Click() {
    TForm1Ui& ui = view_.ui();
    const bool restart = beginApply ? beginApply() : false;

    SettingsFile& file = ini();
    file.WriteString("Setup", "ComPort",
                     ui.comPort->currentIndex() >= 0 ? ui.comPort->currentText().toStdString()
                                                     : "");
    file.WriteString("Setup", "Freq", ui.Freq->text().toStdString());
    file.WriteString("Setup", "FailCount", ui.Fail->text().toStdString());
    file.WriteString("Setup", "IPAddr", ui.IPAddr->Text());
    file.WriteString("Setup", "Port", ui.Port->text().toStdString());
    file.WriteBool("Setup", "StartInTray", ui.startInTrayCB->isChecked());
    file.WriteBool("Setup", "ShowStatusInTray", ui.showStatusInTrayCB->isChecked());
    if (ui.networkRB->isChecked()) {
        file.WriteBool("Setup", "Network", true);
        file.WriteBool("Setup", "USB", false);
    } else if (ui.usbRB->isChecked()) {
        file.WriteBool("Setup", "Network", false);
        file.WriteBool("Setup", "USB", true);
    } else if (ui.noneRB->isChecked()) {
        file.WriteBool("Setup", "Network", false);
        file.WriteBool("Setup", "USB", false);
    }

    if (view_.statusInTray()) {
        if (file.ReadBool("Run", "IsStarted", false))
            view_.setTray(0, "Norva is responding");
        else
            view_.setTray(3, "Heartbeat is not running");
    } else {
        view_.setTray(2, "Norva utility");
    }

    if (endApply)
        endApply(restart);
}

void SettingsPages::Button7Click() {
    TForm1Ui& ui = view_.ui();
    SettingsFile& file = ini();
    file.WriteString("GSD", "username", ui.usermane->text().toStdString());
    file.WriteString("GSD", "Password", ui.password->text().toStdString());
    file.WriteBool("GSD", "AlertPedningAction", ui.alaertPendingActionCB->isChecked());
}

} // namespace norva
