#include "ui/SettingsPages.h"

#include "bus/SettingsSchema.h"
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

using namespace bus::setting;

QString Name(const bus::Setting& setting) {
    return QString::fromLatin1(setting.name.data(), static_cast<qsizetype>(setting.name.size()));
}

// A text value as stored, or the key's default when none is given.
QString text(const SettingsValues& stored, const bus::Setting& setting) {
    return stored.value(Name(setting),
                        QString::fromLatin1(setting.key.fallback.data(),
                                            static_cast<qsizetype>(setting.key.fallback.size())));
}

bool flag(const SettingsValues& stored, const bus::Setting& setting) {
    return stored.value(Name(setting)) == QLatin1String("1");
}

QString flagValue(bool set) {
    return set ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

SettingsPages::SettingsPages(StatusView& view) : view_(view) {}

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

void SettingsPages::loadSetup(const SettingsValues& stored) {
    TForm1Ui& ui = view_.ui();
    ui.Freq->setText(text(stored, Freq));
    ui.Fail->setText(text(stored, FailCount));
    // A stored address that is not one stops the fill here, with the control's error.
    ui.IPAddr->setText(
        stored.value(Name(IPAddr), QString::fromLatin1(PageAddressFallback)).toStdString());
    ui.Port->setText(text(stored, Port));

    // The three buttons form an exclusive group, which refuses to uncheck its checked button;
    // so the button to show is checked instead, which unchecks the other two. Network wins
    // when both are stored as true.
    if (flag(stored, Network))
        ui.networkRB->setChecked(true);
    else if (flag(stored, USB))
        ui.usbRB->setChecked(true);
    else
        ui.noneRB->setChecked(true);

    ui.comPort->clear();
    const std::string port = text(stored, ComPort).toStdString();
    int selected = -1;
    for (std::uint16_t n = 1; n <= HighestPort; ++n) {
        if (!IsComPortAvailable || !IsComPortAvailable(n))
            continue;
        const std::string entry = ComPortName(n);
        ui.comPort->addItem(QString::fromStdString(entry));
        if (port == entry)
            selected = ui.comPort->count() - 1;
    }
    ui.comPort->setCurrentIndex(selected);

    ui.startInTrayCB->setChecked(flag(stored, StartInTray));
    ui.showStatusInTrayCB->setChecked(flag(stored, ShowStatusInTray));
}

void SettingsPages::loadGSD(const SettingsValues& stored) {
    TForm1Ui& ui = view_.ui();
    ui.usermane->setText(text(stored, Username));
    ui.password->setText(text(stored, Password));
    ui.alaertPendingActionCB->setChecked(flag(stored, AlertPedningAction));
}

void SettingsPages::LoadVars(const SettingsValues& stored) {
    TForm1Ui& ui = view_.ui();
    ui.IPAddr->setText(stored.value(Name(IPAddr)).toStdString());
    ui.Port->setText(text(stored, Port));
}

SettingsValues SettingsPages::heartbeatValues() const {
    const TForm1Ui& ui = view_.ui();
    SettingsValues values;
    // No port listed to select stores an empty port.
    values.insert(Name(ComPort),
                  ui.comPort->currentIndex() >= 0 ? ui.comPort->currentText() : QString());
    values.insert(Name(Freq), ui.Freq->text());
    values.insert(Name(FailCount), ui.Fail->text());
    values.insert(Name(IPAddr), QString::fromStdString(ui.IPAddr->Text()));
    values.insert(Name(Port), ui.Port->text());
    values.insert(Name(StartInTray), flagValue(ui.startInTrayCB->isChecked()));
    values.insert(Name(ShowStatusInTray), flagValue(ui.showStatusInTrayCB->isChecked()));
    // Exactly one of the three is checked; the flags are stored only for a checked one.
    if (ui.networkRB->isChecked() || ui.usbRB->isChecked() || ui.noneRB->isChecked()) {
        values.insert(Name(Network), flagValue(ui.networkRB->isChecked()));
        values.insert(Name(USB), flagValue(ui.usbRB->isChecked()));
    }
    return values;
}

void SettingsPages::clearPassword() {
    view_.ui().password->clear();
}

SettingsValues SettingsPages::shutdownValues() const {
    const TForm1Ui& ui = view_.ui();
    return {{Name(Username), ui.usermane->text()},
            {Name(Password), ui.password->text()},
            {Name(AlertPedningAction), flagValue(ui.alaertPendingActionCB->isChecked())}};
}

} // namespace norva
