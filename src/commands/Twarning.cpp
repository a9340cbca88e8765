#include "commands/Twarning.h"

#include "ui/Icons.h"

#include <QFont>
#include <QLabel>
#include <QShowEvent>

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

    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, &Twarning::Timer1Timer);
}

void Twarning::ShowPending(std::uint8_t newMode) {
    mode = newMode;
    if (!isVisible())
        show();
    raise();
}

void Twarning::showEvent(QShowEvent* event) {
    // Only our own show() starts the count; the window system re-showing the window (after a
    // desktop switch, say) must not lengthen a running countdown.
    if (!event->spontaneous()) {
        countdown = 10;
        Timer1.start();
    }
    QDialog::showEvent(event);
}

void Twarning::Timer1Timer() {
    --countdown;
    setWindowTitle(QString("Timer = %1").arg(countdown));
    if (countdown != 0)
        return;
    Timer1.stop();
    done(QDialog::Accepted); // hides it, or ends a modal showing
    if (mode == 0 && doRestart)
        doRestart();
    else if (mode == 1 && doShutdown)
        doShutdown();
}

} // namespace norva
