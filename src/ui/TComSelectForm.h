#pragma once

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QComboBox;

namespace norva {

// "Select Port": asked when the serial heartbeat has to open a port whose number was never
// set. Lists the installed ports, the first one preselected.
class TComSelectForm : public QDialog {
    Q_OBJECT
public:
    TComSelectForm(const std::vector<std::string>& entries, QWidget* parent = nullptr);

    // The number of the chosen "COMn" entry, or nothing for Cancel or an empty list.
    std::optional<std::uint16_t> chosenPort() const;

    // Shows the dialog modally and returns the choice.
    static std::optional<std::uint16_t> Ask(const std::vector<std::string>& entries,
                                            QWidget* parent);

    QComboBox* PortsComboBox;
};

} // namespace norva
