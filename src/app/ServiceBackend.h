#pragma once

#include "app/WindowBackend.h"
#include "bus/ServiceClient.h"
#include "heartbeat/HeartbeatStatus.h"

#include <QObject>
#include <QString>

namespace norva {

class AgentListener;
class MessageBoxes;
class SettingsPages;

// The window as the service's front end: it binds no port and sends no heartbeat; what it
// shows comes from the service over the bus and reaches the window through the same
// AgentListener the agent in this process would call, drawn with the same rules (pictures,
// texts, tray, the alert as this desktop shows it: a HeartbeatStatus of its own turns the
// service's state into them, reading "Show Status In Tray" from the pages), and its commands
// go to the service.
//
// The pages hold no settings of their own: they show the service's values, read from the bus
// when the service appears, on Cancel and a switch to a page, at Start, and when the service's
// mode or address changed; an Apply sends the page's values, and a refusal shows one box and
// puts the service's values back. The service never gives its command password out, so the
// page shows none; an empty one keeps the service's, a typed one is sent and then cleared from
// the field. Nothing is written to a file here.
class ServiceBackend : public QObject, public WindowBackend {
    Q_OBJECT
public:
    ServiceBackend(ServiceClient& client, AgentListener& window, SettingsPages& pages,
                   MessageBoxes& boxes, QObject* parent = nullptr);

    void open() override {}
    // Draws the service at once when the client knows whether it runs, else as soon as its
    // lookup has been answered (never "service not running" for a service that runs).
    void begin() override;
    void start() override;
    void stop() override;
    void clearCounters() override;
    void testWarning() override;
    void warningClosed() override;
    void readSettings(ValuesDone done) override;
    void applySettings(const SettingsValues& values, ApplyDone done) override;
    HeartbeatMode storedMode() const override;
    bool followsService() const override { return true; }

private:
    void appeared();
    void vanished();
    void drawState(const QString& state);
    void showAnswered();
    void received(uint& last, uint now);
    // Reads the service's values; `then` gets them (the pages as the service has them).
    void read(ValuesDone then);
    void reloadPages();
    ServiceClient::Done reportRefusal();

    ServiceClient& client_;
    AgentListener& window_;
    SettingsPages& pages_;
    MessageBoxes& boxes_;
    HeartbeatStatus status_;
    SettingsValues stored_; // the service's values as last read
    // The service left the command user name out of the last read (this user may not
    // configure without a prompt): an empty field on Apply keeps the service's.
    bool userNameHidden_ = false;
    bool passwordProblemShown_ = false; // the service's missing or empty password, told once
    bool starting_ = false;             // a Start sent, its reply not yet come
    // Started, and the device has not replied since: its first reply draws the tray.
    bool awaitingAnswer_ = false;
    uint networkReceived_ = 0; // the received counters as last drawn
    uint usbReceived_ = 0;
    bool testWarningAsked_ = false; // Button9 sent, its warning not yet shown
};

} // namespace norva
