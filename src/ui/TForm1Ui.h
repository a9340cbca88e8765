#pragma once

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;

namespace norva {

class CEditIPAddr;
class MessageBoxes;

// Every control of the main window, under the names the rest of the program uses. Built by
// setupUi() the way a form designer would build it; it holds no behaviour.
struct TForm1Ui {
    void setupUi(QMainWindow* window, MessageBoxes* boxes);

    // Menus
    QMenu* File = nullptr;
    QAction* Minimizetotray1 = nullptr;
    QAction* exit1 = nullptr;
    QAction* About1 = nullptr;

    QTabWidget* theTabs = nullptr;

    // Page "Status"
    QLabel* Image1 = nullptr;       // red heart: failure
    QLabel* Image2 = nullptr;       // green heart: responding
    QLabel* Image3 = nullptr;       // grey heart: stopped
    QLabel* Label1 = nullptr;       // status text
    QPushButton* Button2 = nullptr; // Start
    QPushButton* Button4 = nullptr; // Stop
    QGroupBox* Details = nullptr;   // network counters
    QLabel* Sent = nullptr;
    QLabel* Received = nullptr;
    QLabel* NAK = nullptr;
    QLabel* Missed = nullptr;
    QLabel* IPADD = nullptr;
    QPushButton* Button3 = nullptr;  // Clear
    QGroupBox* comDetails = nullptr; // USB counters
    QLabel* comSent = nullptr;
    QLabel* comRcvd = nullptr;
    QLabel* Label13 = nullptr; // USB NAK: never written
    QLabel* comMissed = nullptr;
    QPushButton* Button1 = nullptr; // Reset

    // Page "Setup: Heartbeat"
    QLineEdit* Freq = nullptr;
    QLineEdit* Fail = nullptr;
    QRadioButton* networkRB = nullptr;
    CEditIPAddr* IPAddr = nullptr;
    QLineEdit* Port = nullptr;
    QRadioButton* usbRB = nullptr;
    QComboBox* comPort = nullptr;
    QRadioButton* noneRB = nullptr;
    QCheckBox* startInTrayCB = nullptr;
    QCheckBox* showStatusInTrayCB = nullptr;
    QPushButton* Button5 = nullptr; // Cancel
    QPushButton* Button6 = nullptr; // Apply

    // Page "Setup: Shutdown"
    QLineEdit* usermane = nullptr;
    QLineEdit* password = nullptr;
    QCheckBox* alaertPendingActionCB = nullptr;
    QPushButton* Button7 = nullptr; // Apply
    QPushButton* Button8 = nullptr; // Cancel

    // Outputs below the visible client area: diagnostics, and the keyboard-only Button9.
    QLabel* Label4 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button9 = nullptr;
};

} // namespace norva
