#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <functional>

namespace norva {

class Agent;
class MessageBoxes;
class ServiceClient;
class SettingsPages;
class StatusView;
class Twarning;

// The window as the service's front end: it binds no port and sends no heartbeat; what it
// shows comes from the service over the bus, drawn by the same view with the same rules
// (pictures, texts, tray, the alert as this desktop shows it), and its commands go to the
// service.
//
// The settings pages stay what they are: they read and write the agent's settings file, which
// here is a private copy of the service's settings (minus the password, which the service
// never gives out). When the service appears, the copy is filled from it and the pages reload;
// an Apply sends the page's values from the copy to the service, and a refusal shows one box
// and puts the service's values back. The agent itself runs nothing: its HeartbeatStatus only
// turns the service's state into what the window and tray show.
class FrontEnd : public QObject {
    Q_OBJECT
public:
    FrontEnd(ServiceClient& client, Agent& agent, SettingsPages& pages, StatusView& view,
             Twarning& warning, MessageBoxes& boxes, QObject* parent = nullptr);

    // Follows the service from now on: drawn at once when the client knows whether the
    // service runs, else as soon as its lookup has been answered (never "service not running"
    // for a service that runs).
    void Begin();

    // The window's commands.
    void Start();
    void Stop();
    void Clear();
    void ApplyHeartbeatPage(); // after the page has written its values to the copy
    void ApplyShutdownPage();
    void TestWarning();
    // The pages show the service's current values again, read afresh (Cancel, a switch to a
    // settings page): settings changed elsewhere reach the window as a file's reach a window
    // of its own.
    void Reload();

    bool following() const;

    // Told when the pages' copy has been filled from the service, for whatever else of the
    // window shows stored settings (the details panel, the address).
    std::function<void()> settingsLoaded;

private:
    void appeared();
    void vanished();
    void drawState(const QString& state);
    void showAnswered();
    void received(uint& last, uint now);
    void loadSettings();
    void send(const QMap<QString, QString>& values, std::function<void()> applied = {});
    std::function<void(const QString&)> reportRefusal();

    ServiceClient& client_;
    Agent& agent_;
    SettingsPages& pages_;
    StatusView& view_;
    Twarning& warning_;
    MessageBoxes& boxes_;
    bool starting_ = false; // a Start sent, its reply not yet come
    // Started, and the device has not replied since: its first reply draws the tray.
    bool awaitingAnswer_ = false;
    uint networkReceived_ = 0; // the received counters as last drawn
    uint usbReceived_ = 0;
    bool testWarningAsked_ = false; // Button9 sent, its warning not yet shown
};

} // namespace norva
