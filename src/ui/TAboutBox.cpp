#include "ui/TAboutBox.h"

#include "ui/Icons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace norva {

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About");
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(Icons::Power(32));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* lines = new QVBoxLayout;
    for (const char* text : {"Product Name:  Norva Utility", "Version:  2.10.09",
                             "Heartbeat requires Norva version 2.00 or Norva-Pro version 1.0 or "
                             "better.",
                             "Shutdown requires Norva-Pro version 1.1 or better."}) {
        auto* line = new QLabel(text);
        line->setWordWrap(true);
        lines->addWidget(line);
    }
    top->addLayout(lines);
    layout->addLayout(top);
    auto* ok = new QPushButton("OK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    setFixedWidth(320);
}

void TAboutBox::ShowOrRaise() {
    show();
    raise();
    activateWindow();
}

} // namespace norva
