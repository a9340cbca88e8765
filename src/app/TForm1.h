#pragma once

#include "agent/AgentListener.h"
#include "app/AppEnvironment.h"
#include "app/WindowBackend.h"
#include "transport/ComPortMap.h"
#include "ui/SettingsPages.h"
#include "ui/StatusView.h"
#include "ui/TForm1Ui.h"
#include "ui/TrayIcon.h"

#include <QMainWindow>
#include <QMenu>
#include <QTimer>
#include <memory>

namespace norva {

class Agent;
class LocalBackend;
class ServiceBackend;
class TAboutBox;
class TSetupFrm;
class Twarning;
class TusbForm;

// The application object and main window. It draws what its backend announces (it is that
// backend's AgentListener) and sends its commands to it: the agent in this process, which
// reads the settings pages as they are shown now, or the service norvahbd when the
// environment names one (the window is then its front end, and holds no agent at all).
class TForm1 : public QMainWindow, public AgentListener {
    Q_OBJECT
public:
    // Builds the window and its components, the warning window included; the command
    // listener starts listening here, last, and a port that cannot be bound raises its error
    // to the caller.
    explicit TForm1(const AppEnvironment& env);
    ~TForm1() override;

    // Program start after the window is built: the start-up sequence (an error ends it and is
    // shown in the error box), then the other windows. False when the window was closed
    // meanwhile (Exit or a signal from under one of its boxes): nothing more has been done
    // then, the box that was open has been ended, and the program must end without running
    // its event loop.
    bool StartUp();
    // The start-up sequence, run once after the window is built.
    void FormCreate();
    // The other windows, built once after this one, in their order.
    void BuildDialogs();

    // Handlers
    void Timer3Timer();
    void exit1Click();
    void trayMouseDown(Qt::MouseButton button, const QPoint& screenPos);
    void trayDblClick();
    void Open1Click();
    void Minimizetotray1Click();
    void Start1Click();
    void Stop1Click();
    void theTabsChange(int index);
    void Button2Click(); // Start
    void Button3Click();
    void Button4Click(); // Stop
    void Button5Click(); // heartbeat page: Cancel
    void Button6Click(); // heartbeat page: Apply
    void Button7Click(); // shutdown page: Apply
    void Button8Click(); // shutdown page: Cancel
    void About1Click();
    void Button9Click();
    void doRestart();
    void doShutdown();

    // Shows the window centred on the screen with the Status page active.
    void ShowAtStart();

    // The agent running here; null in a front end.
    Agent* localAgent();
    // The agent running here, for a window that has one.
    Agent& agent();

    // AgentListener: what the backend announces, drawn.
    void iconShown(tAppIcons icon) override;
    void statusTextShown(const QString& text) override;
    void trayShown(const TrayLook& look) override;
    void noResponse(const QString& balloonText) override;
    void countersChanged(Link link, const LinkCounters& counters) override;
    void serialPortLost() override {}
    void settingsApplied() override {}
    void deviceMessage(const QString& caption) override;
    void foreignDatagrams(const QString& source, std::uint64_t count) override;
    void captionShown(const QString& caption) override;
    void statusLine(const QString& text) override;
    void logLine(const QString& line) override;
    void commandAccepted(const QString&, const QString&) override {}
    void commandRejected() override {}
    void powerRequestFailed(const QString& action, const QString& error) override;
    void warningShown(std::uint8_t mode, bool modal) override;
    void warningTicked(std::int32_t countdown) override;
    void warningEnded() override;
    void sleepChanged(SleepNote note, const QString& detail) override;

    const AppEnvironment env;
    TForm1Ui ui;
    // The tray's menu. Declared before the tray so that it outlives it: on a StatusNotifier
    // host Qt's icon exports the menu over D-Bus and holds on to its exported form until the
    // icon is gone.
    QMenu PopupMenu1;
    QAction* Start1 = nullptr;
    QAction* Stop1 = nullptr;
    QAction* Open1 = nullptr;
    QAction* Exit2 = nullptr;
    TrayIcon tray;
    StatusView view;
    QTimer Timer3;

    ComPortMap ports;    // the serial ports the heartbeat page lists
    SettingsPages pages; // the pages' values as shown now, for the agent
    Twarning* warning = nullptr;
    // One of the two, for the life of the window; `backend` is it.
    std::unique_ptr<LocalBackend> local;
    std::unique_ptr<ServiceBackend> service;
    WindowBackend* backend = nullptr;

    TSetupFrm* SetupFrm = nullptr;
    TAboutBox* AboutBox = nullptr;
    TusbForm* usbForm = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override; // FormClose

private:
    void guarded(const std::function<void()>& entry);
    void connectHandlers();
    // The stored settings shown: the pages, the address and the details panel.
    void showStored(const SettingsValues& values);
    void stopTransports();
    bool closed_ = false;
    bool startingUp_ = false;
    bool startInTrayDone_ = false;
    bool saidNoTray_ = false;
};

} // namespace norva
