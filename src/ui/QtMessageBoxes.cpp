#include "ui/QtMessageBoxes.h"

#include "platform/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>

namespace norva {

namespace {

// Messages mark line breaks with a carriage return alone; a label wants a line feed.
QString lines(const std::string& text) {
    QString s = QString::fromStdString(text);
    s.replace("\r\n", "\n");
    s.replace('\r', '\n');
    return s;
}

} // namespace

void QtMessageBoxes::showError(const std::string& text) {
    // Also on standard error, so a message is not lost when nobody sees the desktop.
    MirrorToStderr(text);
    QMessageBox box(QMessageBox::Critical, QString(), lines(text), QMessageBox::Ok, parent_);
    box.exec();
}

bool QtMessageBoxes::askYesNo(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QString(), lines(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void QtMessageBoxes::beep() {
    QApplication::beep();
}

} // namespace norva
