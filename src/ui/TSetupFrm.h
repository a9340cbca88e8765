#pragma once

#include <QDialog>
#include <functional>

namespace norva {

// The "Network Settings" dialog is built at start-up but never shown; the settings pages of
// the main window took its place. Building it still reloads the address and port fields
// once (LoadVars), which start-up relies on.
class TSetupFrm : public QDialog {
    Q_OBJECT
public:
    TSetupFrm(QWidget* parent, const std::function<void()>& LoadVars);
};

} // namespace norva
