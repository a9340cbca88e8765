#include "ui/TusbForm.h"

namespace norva {

TusbForm::TusbForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle("USB/ Serial Settings");
}

} // namespace norva
