#include "ui/QtMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace norva {

void QtMessageBoxes::showError(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, QString(), QString::fromStdString(text), QMessageBox::Ok,
                    parent_);
    box.exec();
}

bool QtMessageBoxes::askYesNo(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QString(), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void QtMessageBoxes::beep() { QApplication::beep(); }

} // namespace norva
