#include "ui/TComSelectForm.h"

#include "settings/SettingsRules.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace norva {

TComSelectForm::TComSelectForm(const std::vector<std::string>& entries, QWidget* parent)
    : QDialog(parent), PortsComboBox(new QComboBox) {
    setWindowTitle("Select Port");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("The configured serial port is not valid."));
    layout->addWidget(new QLabel("Please choose another port."));
    for (const auto& entry : entries)
        PortsComboBox->addItem(QString::fromStdString(entry));
    layout->addWidget(PortsComboBox);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

std::optional<std::uint16_t> TComSelectForm::chosenPort() const {
    const std::uint16_t n = ComPortNumber(PortsComboBox->currentText().toStdString());
    if (n == 0)
        return std::nullopt;
    return n;
}

std::optional<std::uint16_t> TComSelectForm::Ask(const std::vector<std::string>& entries,
                                                 QWidget* parent) {
    TComSelectForm form(entries, parent);
    if (form.exec() != QDialog::Accepted)
        return std::nullopt;
    return form.chosenPort();
}

} // namespace norva
