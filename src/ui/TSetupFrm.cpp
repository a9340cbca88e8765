#include "ui/TSetupFrm.h"

namespace norva {

TSetupFrm::TSetupFrm(QWidget* parent, const std::function<void()>& LoadVars) : QDialog(parent) {
    setWindowTitle("Network Settings");
    if (LoadVars)
        LoadVars();
}

} // namespace norva
