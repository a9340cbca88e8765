#include "app/TForm1.h"

#include "app/FrontEnd.h"
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
    : env(environment), view(*this, ui, tray, *env.boxes),
      agent(env.settingsFolder, env.commandPort, pages, *env.boxes, *env.power),
      pages(agent.MyIni, view) {
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
    warning = new Twarning(agent.pending, this);
    if (env.service)
        frontEnd = new FrontEnd(*env.service, agent, pages, view, *warning, *env.boxes, this);
    else
        agent.Listen(); // a front end leaves the ports to the service
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

void TForm1::connectHandlers() {
    agent.myPort.PromptForPort = [this](const std::vector<std::string>& entries) {
        return TComSelectForm::Ask(entries, this);
    };

    // The heartbeat and the command port announce what the user is to see; the window
    // draws it.
    connect(&agent.status, &HeartbeatStatus::iconShown, this,
            [this](tAppIcons icon) { view.showIcon(icon); });
    connect(&agent.status, &HeartbeatStatus::statusTextShown, this,
            [this](const QString& text) { view.setStatusText(text); });
    connect(&agent.status, &HeartbeatStatus::trayShown, this,
            [this](const TrayLook& look) { view.showTray(look); });
    connect(&agent.status, &HeartbeatStatus::noResponse, this,
            [this](const QString& text) { view.noResponseAlert(text); });
    connect(&agent.network, &NetworkMonitor::countersChanged, this,
            [this](std::uint32_t sent, std::uint32_t rcvd, std::uint32_t bad,
                   std::uint32_t missed) { view.showNetworkCounters(sent, rcvd, bad, missed); });
    connect(&agent.network, &NetworkMonitor::captionRequested, this,
            [this](const QString& caption) { view.setCaption(caption); });
    connect(&agent.serial, &SerialMonitor::countersChanged, this,
            [this](std::uint32_t sent, std::uint32_t rcvd, std::uint32_t missed) {
                view.showSerialCounters(sent, rcvd, missed);
            });
    connect(&agent.protocol, &CommandProtocol::captionRequested, this,
            [this](const QString& caption) { view.setCaption(caption); });
    connect(&agent.protocol, &CommandProtocol::label4Requested, this,
            [this](const QString& text) { view.setLabel4(text); });
    connect(&agent.protocol, &CommandProtocol::memoLineRequested, this,
            [this](const QString& line) { view.appendMemo(line); });
    connect(&agent.power, &PowerActions::captionRequested, this,
            [this](const QString& caption) { view.setCaption(caption); });
    connect(&agent.power, &PowerActions::powerRequestFailed, this,
            [this](const QString& action, const QString& error) {
                view.powerRequestRefused(action, error);
            });

    agent.control.loadSetup = [this] { pages.loadSetup(); };
    pages.IsComPortAvailable = [this](unsigned n) { return agent.myPort.IsComPortAvailable(n); };
    // A front end's Apply goes to the service (FrontEnd), which brackets it with its own
    // heartbeat; the window's heartbeat control runs nothing and draws nothing then. Asked of
    // the environment: the front end itself is built after these connections.
    if (!env.service) {
        pages.beginApply = [this] { return agent.control.BeginApply(); };
        pages.endApply = [this](bool restart) { agent.control.EndApply(restart); };
    }

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

    auto click = [this](QPushButton* button, std::function<void()> handler) {
        connect(button, &QPushButton::clicked, this, [this, handler] { guarded(handler); });
    };
    click(ui.Button2, [this] { frontEnd ? frontEnd->Start() : agent.control.Button2Click(); });
    click(ui.Button4, [this] { frontEnd ? frontEnd->Stop() : agent.control.Button4Click(); });
    click(ui.Button5, [this] {
        pages.Button5Click();
        if (frontEnd)
            frontEnd->Reload();
    });
    click(ui.Button6, [this] {
        pages.Button6Click();
        if (frontEnd)
            frontEnd->ApplyHeartbeatPage();
    });
    // The shutdown page's Apply also takes up the command port's guards, which only an edit
    // by hand changes; a front end sends the page to the service, which does the same.
    click(ui.Button7, [this] {
        pages.Button7Click();
        if (frontEnd)
            frontEnd->ApplyShutdownPage();
        else
            agent.ReadCommandSettings();
    });
    click(ui.Button8, [this] {
        pages.Button8Click();
        if (frontEnd)
            frontEnd->Reload();
    });
}

void TForm1::FormCreate() {
    view.useBalloon = env.balloonsAvailable;
    agent.MyIni.open(env.settingsFolder);
    // The listener started before the file was open, on the guards' defaults; from here on
    // the file's hold. (A front end has no listener: the service keeps the guards.)
    if (!frontEnd)
        agent.ReadCommandSettings();
    const SettingsFile& ini = agent.MyIni.file();
    ui.startInTrayCB->setChecked(ini.ReadBool(keys::StartInTray));
    ui.networkRB->setChecked(ini.ReadBool(keys::Network));
    ui.usbRB->setChecked(ini.ReadBool(keys::USB));
    ui.IPADD->setText(QString::fromStdString(ini.ReadString(keys::IPAddr, ui.IPAddr->Text())));
    // ShowDetailsPanel
    theTabsChange(0);
    agent.status.failed = false;
    pages.loadGSD();
    pages.loadSetup();
    if (frontEnd) {
        // The service runs the heartbeat and the command port; the window follows it. The
        // address and the details panel show the service's settings once they have come.
        frontEnd->settingsLoaded = [this] {
            ui.IPADD->setText(QString::fromStdString(
                agent.MyIni.file().ReadString(keys::IPAddr, ui.IPAddr->Text())));
            if (ui.theTabs->currentIndex() == 0)
                theTabsChange(0);
        };
        frontEnd->Begin();
        return;
    }
    agent.control.OpenStoredPort();
    if (closed_)
        return; // closed from under the port's message: the program ends here
    agent.control.ResumeHeartbeat();
    agent.notice.Run();
    agent.control.ShowStartTray();
}

void TForm1::BuildDialogs() {
    SetupFrm = new TSetupFrm(this, [this] { guarded([this] { pages.LoadVars(); }); });
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
        frontEnd ? "Closing this program closes this window only: the NorvaHB service goes on "
                   "with Heartbeat and Graceful Shutdown\rContinue?"
                 : "Closing this program will disable Heartbeat and Graceful Shutdown\rContinue?";
    if (!env.boxes->askYesNo(question))
        return;
    if (agent.myPort.Open())
        agent.myPort.setOpen(false);
    close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // FormClose. The transports stop first, so that no datagram, serial event or command
    // can reach the settings object once it is released.
    stopTransports();
    agent.MyIni.close();
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
    agent.Stop();
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
        if (agent.MyIni.isOpen() && agent.MyIni.file().ReadBool(keys::Network))
            ui.Details->show();
        else
            ui.comDetails->show();
        break;
    case 1:
        pages.loadSetup();
        if (frontEnd)
            frontEnd->Reload(); // and again once the service's current values have come
        break;
    case 2:
        pages.loadGSD();
        if (frontEnd)
            frontEnd->Reload();
        break;
    default:
        break;
    }
}

void TForm1::Button3Click() {
    if (frontEnd) {
        frontEnd->Clear();
        return;
    }
    agent.serial.ComClearStats();
    agent.network.ClearStats();
}

void TForm1::About1Click() {
    if (AboutBox)
        AboutBox->ShowOrRaise();
}

void TForm1::Button9Click() {
    if (frontEnd) {
        frontEnd->TestWarning(); // the service counts; this window shows its count, modally
        return;
    }
    // Modally, with the mode the last command left (restart if none did).
    agent.pending.ShowPending(agent.pending.mode, true);
}

void TForm1::doRestart() {
    agent.power.doRestart();
}

void TForm1::doShutdown() {
    agent.power.doShutdown();
}

} // namespace norva
