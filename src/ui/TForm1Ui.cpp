#include "ui/TForm1Ui.h"

#include "ui/CEditIPAddr.h"
#include "ui/DigitsValidator.h"
#include "ui/Icons.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

namespace norva {

namespace {

QLabel* label(QWidget* parent, const QString& text, int x, int y, int w = 100, int h = 17) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    return l;
}

QLabel* valueLabel(QWidget* parent, int x, int y) {
    auto* l = label(parent, "0", x, y, 60);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

QPushButton* button(QWidget* parent, const QString& text, int x, int y, int w = 75, int h = 25) {
    auto* b = new QPushButton(text, parent);
    b->setGeometry(x, y, w, h);
    return b;
}

// The limit holds typing only (not a maximum length, which would also cut a longer value
// that the settings file holds, and the next Apply would store the cut value).
QLineEdit* digitsEdit(QWidget* parent, int limit, int x, int y, int w) {
    auto* e = new QLineEdit(parent);
    e->setGeometry(x, y, w, 21);
    e->setValidator(new DigitsValidator(limit, e));
    return e;
}

QPixmap heart(int index) {
    switch (index) {
    case 0:
        return Icons::RedHeart(32);
    case 1:
        return Icons::GreenHeart(32);
    default:
        return Icons::GreyHeart(32);
    }
}

} // namespace

void TForm1Ui::setupUi(QMainWindow* window, MessageBoxes* boxes) {
    window->setWindowTitle("Norva Utility");
    window->setWindowIcon(QIcon(Icons::GreenHeart(32)));
    // A fixed frame with a title bar but no buttons: the window is put away through the menu.
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    File = window->menuBar()->addMenu("&File");
    Minimizetotray1 = File->addAction("&Minimize to tray");
    exit1 = File->addAction("&Exit");
    About1 = window->menuBar()->addAction("&About");

    auto* central = new QWidget(window);
    central->setFixedSize(455, 296);
    window->setCentralWidget(central);

    // Hidden outputs first: Memo1 is first in the tab order, the pages second (Button9, third,
    // is made last of all, below).
    Label4 = label(central, "", 8, 255, 200);
    Memo1 = new QPlainTextEdit("Memo1", central);
    Memo1->setGeometry(220, 360, 202, 145);
    // A log, not an editor: read-only also means no blinking caret waking the program
    // twice a second while it holds the first focus.
    Memo1->setReadOnly(true);
    theTabs = new QTabWidget(central);
    theTabs->setGeometry(8, 8, 441, 281);

    // Page "Status"
    auto* status = new QWidget;
    theTabs->addTab(status, "Status");
    Image1 = new QLabel(status);
    Image2 = new QLabel(status);
    Image3 = new QLabel(status);
    QLabel* images[] = {Image1, Image2, Image3};
    for (int i = 0; i < 3; ++i) {
        images[i]->setGeometry(21, 18, 32, 32);
        images[i]->setPixmap(heart(i));
    }
    Image2->hide();
    Image3->hide();
    // Room for three short lines under the heart, for the front end's "service not running".
    Label1 = label(status, "OK", 0, 56, 95, 66);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label1->setWordWrap(true);
    QFont big = Label1->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.3);
    Label1->setFont(big);
    Button2 = button(status, "Start", 99, 15);
    Button4 = button(status, "Stop", 99, 46);

    Details = new QGroupBox(" Network Details ", status);
    Details->setGeometry(220, 18, 199, 151);
    const char* netCaptions[] = {
        "Packets Sent:", "Packets Received:", "NAK Packets:", "Missed Packets:", "IP Address:"};
    for (int i = 0; i < 5; ++i)
        label(Details, netCaptions[i], 10, 22 + i * 19, 110);
    Sent = valueLabel(Details, 128, 22);
    Received = valueLabel(Details, 128, 41);
    NAK = valueLabel(Details, 128, 60);
    Missed = valueLabel(Details, 128, 79);
    IPADD = label(Details, "", 88, 98, 100);
    IPADD->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Button3 = button(Details, "Clear", 114, 118);
    Details->hide();

    comDetails = new QGroupBox(" USB Details ", status);
    comDetails->setGeometry(220, 18, 199, 151);
    for (int i = 0; i < 4; ++i)
        label(comDetails, netCaptions[i], 10, 22 + i * 19, 110);
    comSent = valueLabel(comDetails, 128, 22);
    comRcvd = valueLabel(comDetails, 128, 41);
    Label13 = valueLabel(comDetails, 128, 60);
    comMissed = valueLabel(comDetails, 128, 79);
    Button1 = button(comDetails, "Reset", 114, 118);
    comDetails->hide();

    // Page "Setup: Heartbeat"
    auto* setup = new QWidget;
    theTabs->addTab(setup, "Setup: Heartbeat");
    label(setup, "Frequency:", 12, 14, 80);
    Freq = digitsEdit(setup, 3, 92, 12, 40);
    label(setup, "Fail Count:", 150, 14, 70);
    Fail = digitsEdit(setup, 2, 222, 12, 30);
    auto* modes = new QButtonGroup(setup);
    networkRB = new QRadioButton("Network", setup);
    networkRB->setGeometry(12, 44, 100, 20);
    label(setup, "IP Address:", 32, 68, 80);
    IPAddr = new CEditIPAddr(boxes, setup);
    IPAddr->setMinimumWidth(100);
    IPAddr->setGeometry(112, 66, 110, 21);
    label(setup, "Port:", 240, 68, 40);
    Port = digitsEdit(setup, 5, 280, 66, 60);
    usbRB = new QRadioButton("USB", setup);
    usbRB->setGeometry(12, 96, 100, 20);
    label(setup, "Com Port:", 32, 120, 80);
    comPort = new QComboBox(setup);
    comPort->setEditable(false);
    comPort->setGeometry(112, 118, 110, 22);
    noneRB = new QRadioButton("None", setup);
    noneRB->setGeometry(12, 148, 100, 20);
    modes->addButton(networkRB);
    modes->addButton(usbRB);
    modes->addButton(noneRB);
    startInTrayCB = new QCheckBox("Start In Tray", setup);
    startInTrayCB->setGeometry(12, 180, 160, 20);
    showStatusInTrayCB = new QCheckBox("Show Status In Tray", setup);
    showStatusInTrayCB->setGeometry(12, 204, 160, 20);
    Button5 = button(setup, "Cancel", 344, 186);
    Button6 = button(setup, "Apply", 344, 218);

    // Page "Setup: Shutdown"
    auto* shutdown = new QWidget;
    theTabs->addTab(shutdown, "Setup: Shutdown");
    label(shutdown, "Username:", 12, 20, 80);
    usermane = new QLineEdit("Ostra", shutdown);
    usermane->setGeometry(100, 18, 160, 21);
    label(shutdown, "Password:", 12, 52, 80);
    password = new QLineEdit("Ostra", shutdown);
    password->setGeometry(100, 50, 160, 21);
    password->setEchoMode(QLineEdit::Password);
    password->setStyleSheet("lineedit-password-character: 42"); // "*"
    alaertPendingActionCB = new QCheckBox("Alert Pending Action", shutdown);
    alaertPendingActionCB->setGeometry(12, 86, 200, 20);
    Button7 = button(shutdown, "Apply", 344, 218);
    Button8 = button(shutdown, "Cancel", 344, 186);

    // Button9 restarts the computer after ten seconds, so the Tab key must reach it only
    // after the controls of the page on show, never straight from the tab strip. A widget
    // joins the end of the window's focus chain when it is made, so it is made after every
    // page control; the order is then also set explicitly.
    Button9 = button(central, "Button9", 312, 304);
    QWidget::setTabOrder(Memo1, theTabs);
    QWidget::setTabOrder(theTabs, Button9);

    theTabs->setCurrentIndex(0);
    window->adjustSize();
    // A fixed frame: the window manager offers no resizing and no maximise button.
    window->setFixedSize(window->size());
}

} // namespace norva
