#pragma once

#include <QDialog>

namespace norva {

// The About window: product name, version and which device versions the two functions need.
// It does not block the main window.
class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    // Shows it, or brings it to the front when it is already open.
    void ShowOrRaise();
};

} // namespace norva
