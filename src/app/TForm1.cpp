#include "app/TForm1.h"

#include "app/LocalBackend.h"
#include "app/ServiceBackend.h"
#include "bus/SettingsSchema.h"
#include "heartbeat/ForeignSources.h"
#include "platform/ErrorBox.h"
#include "platform/MessageBoxes.h"
#include "ui/CEditIPAddr.h"
#include "ui/TAboutBox.h"
#include "ui/TComSelectForm.h"
#include "ui/TSetupFrm.h"
#include "ui/TusbForm.h"
#include "ui/Twarning.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>

namespace norva {

TForm1::TForm1(const AppEnvironment& environment)
    : env(environment), view(*this, ui, tray, *env.boxes), ports(env.settingsFolder), pages(view) {
    if (env.service) {
        service = std::make_unique<ServiceBackend>(*env.service, *this, pages, *env.boxes);
        backend = service.get();
    } else {
        local = std::make_unique<LocalBackend>(env, pages, *this);
        backend = local.get();
    }
    ui.setupUi(this, env.boxes);

    Start1 = PopupMenu1.addAction("Start");
    Stop1 = PopupMenu1.addAction("Stop");
    PopupMenu1.addSeparator();
    Open1 = PopupMenu1.addAction("Open");
    Exit2 = PopupMenu1.addAction("Exit");
    // A StatusNotifier host draws this menu itself; the X11 tray opens it through
    // trayMouseDown.
    tray.setContextMenu(&PopupMenu1);
    tray.setIconIndex(0);
    // The tray's first hint is the application title, which is empty: no tooltip until the
    // first answer or failure.
    tray.setHint(QString());
    tray.setVisible(true);

    // The start-in-tray check looks at the box 50 ms after the window is built and 50 ms
    // after each time the box is ticked, until it has hidden the window once. Waiting for
    // the box to change instead of looking every 50 ms keeps an idle program asleep.
    Timer3.setInterval(50);
    Timer3.setSingleShot(true);
    connectHandlers();
    connect(ui.startInTrayCB, &QCheckBox::toggled, this, [this](bool ticked) {
        if (ticked && !startInTrayDone_)
            Timer3.start();
    });
    Timer3.start();

    // The listener accepts commands from the moment the window exists, and a box of the
    // start-up sequence serves them: so everything a command touches, the warning window
    // included, is built before it, and a command accepted under such a box warns and acts
    // as at any other time.
    warning = new Twarning(this);
    connect(warning, &Twarning::closed, this, [this] { backend->warningClosed(); });
    if (local)
        local->listen(); // a front end leaves the ports to the service
}

TForm1::~TForm1() {
    stopTransports();
}

void TForm1::guarded(const std::function<void()>& entry) {
    RunGuarded(*env.boxes, [this, &entry] {
        try {
            entry();
        } catch (const std::exception&) {
            // An entry under way when the window closed finds the settings released; the
            // program is ending, so that is not worth a box.
            if (!closed_)
                throw;
        }
    });
}

Agent* TForm1::localAgent() {
    return local ? &local->agent() : nullptr;
}

Agent& TForm1::agent() {
    if (!local)
        throw std::logic_error("a front end has no agent of its own");
    return local->agent();
}

void TForm1::connectHandlers() {
    if (local) {
        agent().myPort.PromptForPort = [this](const std::vector<std::string>& entries) {
            return TComSelectForm::Ask(entries, this);
        };
    }
    pages.IsComPortAvailable = [this](unsigned n) {
        return ports.IsComPortAvailable(static_cast<std::uint16_t>(n));
    };

    auto on = [this](auto* sender, auto signal, void (TForm1::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { guarded([this, handler] { (this->*handler)(); }); });
    };
    on(&Timer3, &QTimer::timeout, &TForm1::Timer3Timer);
    on(ui.exit1, &QAction::triggered, &TForm1::exit1Click);
    on(Exit2, &QAction::triggered, &TForm1::exit1Click);
    on(ui.Minimizetotray1, &QAction::triggered, &TForm1::Minimizetotray1Click);
    on(ui.About1, &QAction::triggered, &TForm1::About1Click);
    on(Open1, &QAction::triggered, &TForm1::Open1Click);
    on(Start1, &QAction::triggered, &TForm1::Start1Click);
    on(Stop1, &QAction::triggered, &TForm1::Stop1Click);
    on(ui.Button3, &QPushButton::clicked, &TForm1::Button3Click);
    on(ui.Button1, &QPushButton::clicked, &TForm1::Button3Click);
    on(ui.Button9, &QPushButton::clicked, &TForm1::Button9Click);
    on(&tray, &TrayIcon::doubleClicked, &TForm1::trayDblClick);
    connect(&tray, &TrayIcon::rightButtonPressed, this,
            [this] { guarded([this] { trayMouseDown(Qt::RightButton, QCursor::pos()); }); });
    connect(ui.theTabs, &QTabWidget::currentChanged, this,
            [this](int index) { guarded([this, index] { theTabsChange(index); }); });

    on(ui.Button2, &QPushButton::clicked, &TForm1::Button2Click);
    on(ui.Button4, &QPushButton::clicked, &TForm1::Button4Click);
    on(ui.Button5, &QPushButton::clicked, &TForm1::Button5Click);
    on(ui.Button6, &QPushButton::clicked, &TForm1::Button6Click);
    on(ui.Button7, &QPushButton::clicked, &TForm1::Button7Click);
    on(ui.Button8, &QPushButton::clicked, &TForm1::Button8Click);
}

void TForm1::showStored(const SettingsValues& values) {
    pages.loadSetup(values);
    pages.loadGSD(values);
    ui.IPADD->setText(values.value(
        QString::fromLatin1(bus::setting::IPAddr.name.data(), bus::setting::IPAddr.name.size()),
        QString::fromStdString(ui.IPAddr->Text())));
    if (ui.theTabs->currentIndex() == 0)
        theTabsChange(0);
}

void TForm1::FormCreate() {
    view.useBalloon = env.balloonsAvailable;
    backend->open();
    // The service's settings come once the bus has answered, and again whenever they change
    // elsewhere.
    backend->settingsChanged = [this](const SettingsValues& values) { showStored(values); };
    if (service) {
        // ShowDetailsPanel, until the service's mode has come.
        theTabsChange(0);
        service->begin();
        return;
    }
    const SettingsValues stored = agent().settings(true);
    auto flag = [&stored](const bus::Setting& s) {
        return stored.value(QString::fromLatin1(s.name.data(), s.name.size())) == "1";
    };
    ui.startInTrayCB->setChecked(flag(bus::setting::StartInTray));
    ui.networkRB->setChecked(flag(bus::setting::Network));
    ui.usbRB->setChecked(flag(bus::setting::USB));
    ui.IPADD->setText(stored.value(
        QString::fromLatin1(bus::setting::IPAddr.name.data(), bus::setting::IPAddr.name.size()),
        QString::fromStdString(ui.IPAddr->Text())));
    // ShowDetailsPanel
    theTabsChange(0);
    pages.loadGSD(stored);
    pages.loadSetup(stored);
    // The start-up steps; closed from under the port's message, the program ends there.
    local->begin();
}

void TForm1::BuildDialogs() {
    SetupFrm = new TSetupFrm(this, [this] {
        guarded([this] {
            backend->readSettings([this](const SettingsValues& v) { pages.LoadVars(v); });
        });
    });
    AboutBox = new TAboutBox(this);
    usbForm = new TusbForm(this);
}

bool TForm1::StartUp() {
    startingUp_ = true;
    guarded([this] { FormCreate(); });
    if (!closed_)
        BuildDialogs();
    startingUp_ = false;
    return !closed_;
}

void TForm1::ShowAtStart() {
    ui.theTabs->blockSignals(true);
    ui.theTabs->setCurrentIndex(0);
    ui.theTabs->blockSignals(false);
    show();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm1::Timer3Timer() {
    if (!ui.startInTrayCB->isChecked())
        return;
    Minimizetotray1Click();
    Timer3.stop();
    startInTrayDone_ = true;
}

void TForm1::exit1Click() {
    const char* const question =
        service ? "Closing this program closes this window only: the NorvaHB service goes on "
                  "with Heartbeat and Graceful Shutdown\rContinue?"
                : "Closing this program will disable Heartbeat and Graceful Shutdown\rContinue?";
    if (!env.boxes->askYesNo(question))
        return;
    if (local && agent().myPort.Open())
        agent().myPort.setOpen(false);
    close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // FormClose. The transports stop first, so that no datagram, serial event or command
    // can reach the settings object once it is released.
    stopTransports();
    if (local)
        agent().MyIni.close();
    event->accept();
    if (startingUp_) {
        // The program's event loop has not started, so quit() would be ignored; the close
        // came from inside a box of the start-up (its own loop serves the tray menu and
        // signals). exit() ends that box and makes any later one return at once, and
        // StartUp() reports the close, so the program ends instead of going on.
        QApplication::exit(0);
        return;
    }
    QApplication::quit();
}

void TForm1::stopTransports() {
    if (closed_)
        return;
    closed_ = true;
    if (local)
        agent().Stop();
}

void TForm1::trayMouseDown(Qt::MouseButton button, const QPoint& screenPos) {
    if (button == Qt::RightButton)
        PopupMenu1.popup(screenPos);
}

void TForm1::trayDblClick() {
    show();
    raise();
    activateWindow();
}

void TForm1::Open1Click() {
    trayDblClick();
    view.showBalloon = false;
}

void TForm1::Minimizetotray1Click() {
    if (env.trayAvailable) {
        hide();
    } else {
        // A hidden window with no icon to bring it back would be lost for good (with "Start
        // In Tray" ticked, at every start): the task bar keeps it within reach.
        showMinimized();
        if (!saidNoTray_)
            MirrorToStderr("This desktop has no notification area: the window is minimised "
                           "to the task bar instead of the tray.");
        saidNoTray_ = true;
    }
    tray.setVisible(true);
    view.showBalloon = true;
}

void TForm1::Start1Click() {
    ui.Button2->click();
}

void TForm1::Stop1Click() {
    ui.Button4->click();
}

void TForm1::theTabsChange(int index) {
    switch (index) {
    case 0:
        // ShowDetailsPanel: the panel follows the stored mode, not the radio buttons.
        ui.Details->hide();
        ui.comDetails->hide();
        if (backend->storedMode() == HeartbeatMode::Network)
            ui.Details->show();
        else
            ui.comDetails->show();
        break;
    case 1:
        backend->readSettings([this](const SettingsValues& v) { pages.loadSetup(v); });
        break;
    case 2:
        backend->readSettings([this](const SettingsValues& v) { pages.loadGSD(v); });
        break;
    default:
        break;
    }
}

void TForm1::Button2Click() {
    backend->start();
}

void TForm1::Button3Click() {
    backend->clearCounters();
}

void TForm1::Button4Click() {
    backend->stop();
}

// Cancel shows the stored values again, read afresh: settings changed elsewhere reach the page.
void TForm1::Button5Click() {
    backend->readSettings([this](const SettingsValues& v) { pages.loadSetup(v); });
}

void TForm1::Button6Click() {
    backend->applySettings(pages.heartbeatValues(), {});
}

// The shutdown page's Apply also takes up the command port's guards, which only an edit by
// hand changes (the agent reads them again after every Apply).
void TForm1::Button7Click() {
    backend->applySettings(pages.shutdownValues(), {});
}

void TForm1::Button8Click() {
    backend->readSettings([this](const SettingsValues& v) { pages.loadGSD(v); });
}

void TForm1::About1Click() {
    if (AboutBox)
        AboutBox->ShowOrRaise();
}

void TForm1::Button9Click() {
    // Modally, with the mode the last command left (restart if none did); a front end's
    // service counts, and this window shows its count.
    backend->testWarning();
}

void TForm1::doRestart() {
    if (local)
        agent().power.doRestart();
}

void TForm1::doShutdown() {
    if (local)
        agent().power.doShutdown();
}

void TForm1::iconShown(tAppIcons icon) {
    view.showIcon(icon);
}

void TForm1::statusTextShown(const QString& text) {
    view.setStatusText(text);
}

void TForm1::trayShown(const TrayLook& look) {
    view.showTray(look);
}

void TForm1::noResponse(const QString& balloonText) {
    view.noResponseAlert(balloonText);
}

void TForm1::countersChanged(Link link, const LinkCounters& c) {
    if (link == Link::Network)
        view.showNetworkCounters(c.sent, c.received, c.nak, c.missed);
    else
        view.showSerialCounters(c.sent, c.received, c.missed);
}

void TForm1::deviceMessage(const QString& caption) {
    view.setCaption(caption);
}

void TForm1::foreignDatagrams(const QString& source, std::uint64_t count) {
    view.appendMemo(QString::fromStdString(ForeignSources::Line(source.toStdString(), count)));
}

void TForm1::captionShown(const QString& caption) {
    view.setCaption(caption);
}

void TForm1::statusLine(const QString& text) {
    view.setLabel4(text);
}

void TForm1::logLine(const QString& line) {
    view.appendMemo(line);
}

void TForm1::powerRequestFailed(const QString& action, const QString& error) {
    view.powerRequestRefused(action, error);
}

void TForm1::warningShown(std::uint8_t mode, bool modal) {
    warning->showPending(mode, modal);
}

void TForm1::warningTicked(std::int32_t countdown) {
    warning->showCount(countdown);
}

void TForm1::warningEnded() {
    warning->endShowing();
}

void TForm1::sleepChanged(SleepNote note, const QString& detail) {
    // "sleeping" comes as the status text; only a refused lock is worth a line: the PC may
    // now sleep while the heartbeat runs, and the device power-cycle it.
    if (note == SleepNote::LockRefused)
        logLine("Warning: sleep is not held off while the heartbeat runs (" + detail + ")");
}

} // namespace norva
