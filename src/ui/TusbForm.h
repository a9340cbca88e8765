#pragma once

#include <QDialog>

namespace norva {

// The "USB/ Serial Settings" dialog: built at start-up, never shown, without effect.
class TusbForm : public QDialog {
    Q_OBJECT
public:
    explicit TusbForm(QWidget* parent);
};

} // namespace norva
