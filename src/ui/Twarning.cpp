#include "ui/Twarning.h"

#include "ui/Icons.h"

#include <QFont>
#include <QHideEvent>
#include <QLabel>

namespace norva {

Twarning::Twarning(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Warning");
    // A fixed dialog frame whose title bar has the close button only; without the customize
    // hint window managers add minimise and maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(334, 75);
    QFont font("Tahoma");
    font.setPointSize(8);
    setFont(font);

    QFont big("Tahoma");
    big.setPixelSize(13);
    auto* line1 = new QLabel("Graceful shutdown Initiated", this);
    line1->setFont(big);
    line1->move(89, 20);
    auto* line2 = new QLabel("By Norva-Pro", this);
    line2->setFont(big);
    line2->move(131, 39);
    auto* picture = new QLabel(this);
    picture->setGeometry(24, 21, 32, 32);
    picture->setPixmap(Icons::Warning(32));
}

void Twarning::showPending(std::uint8_t, bool modal) {
    if (modal) {
        exec();
        return;
    }
    if (!isVisible())
        show();
    raise();
}

void Twarning::showCount(std::int32_t countdown) {
    // The caption says "Warning" only until the first tick, and keeps the last count between
    // showings.
    setWindowTitle(QString("Timer = %1").arg(countdown));
}

void Twarning::endShowing() {
    done(QDialog::Accepted); // hides it, or ends a modal showing
}

void Twarning::hideEvent(QHideEvent* event) {
    // The window system hiding the window (a desktop switch, say) is not the user closing it.
    if (!event->spontaneous())
        emit closed();
    QDialog::hideEvent(event);
}

} // namespace norva
